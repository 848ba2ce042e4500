// The bytes a string object stands for. The parser keeps a string's text as
// written (escapes and hex digits undecoded) so that parsing stays
// zero-copy; whoever needs the bytes themselves (a decrypter, a reader of
// web addresses) decodes them here.
#pragma once

#include <string>
#include <string_view>

#include "syntax/types.h"

namespace quarvel {

// The text between a literal string's parentheses, escapes decoded: \n \r
// \t \b \f, \ddd octal (a value beyond a byte keeps its low byte), \ at the
// end of a line joins the lines, an unescaped CR or CR LF reads as LF, and
// any other escaped character stands for itself.
std::string literal_string_bytes(std::string_view raw);

// The text between a hex string's angle brackets, decoded: bytes other
// than hex digits are skipped, an odd final digit is followed by 0.
std::string hex_string_bytes(std::string_view raw);

// The bytes of a String or HexString; empty for any other type.
std::string string_bytes(const PdfObject& object);

// `bytes` as upper-case hex digits, the text of a HexString that holds them.
std::string to_hex(std::string_view bytes);

} // namespace quarvel
