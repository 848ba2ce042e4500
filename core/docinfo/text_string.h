// Text strings and dates as the document's own dictionaries write them:
// titles, authors, bookmark titles, field names and values, page label
// prefixes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "syntax/types.h"

namespace quarvel::docinfo {

// The UTF-8 text of a text string's bytes: UTF-16BE after its byte order
// mark, UTF-8 after its mark (PDF 2.0), else PDFDocEncoding. UTF-16LE after
// its own mark is read too (some producers write it). Language escapes
// (U+001B ... U+001B) are dropped, and so are NULs at the end, which C
// producers leave behind.
std::string decode_text_string(std::string_view bytes);

// The text of a String or HexString object (escapes decoded first); empty
// for any other type.
std::string text_string(const PdfObject& object);

// A date as ISO 8601 text, from PDF's D:YYYYMMDDHHmmSSOHH'mm' read
// leniently: the D: prefix optional, every part after the year optional
// (defaults as the PDF standard gives them), the apostrophes optional,
// anything after the time zone ignored. Nothing when the year is not four
// digits or a part is out of range. Without a zone the text has no offset;
// Z, or an offset of zero written as Z, reads "Z".
std::optional<std::string> pdf_date_iso(std::string_view text);

// An XMP date (ISO 8601 already: YYYY[-MM[-DD[THH:MM[:SS[.s]][zone]]]]) in
// the same form as pdf_date_iso gives; nothing when it does not parse.
std::optional<std::string> xmp_date_iso(std::string_view text);

} // namespace quarvel::docinfo
