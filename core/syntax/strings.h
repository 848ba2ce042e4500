// PDF strings: the bytes a literal or a hex string stands for.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quarvel {

// How a literal string's escapes and line ends read. The defaults are the
// PDF standard's rules; kContentStreamStringRules are the content lexer's.
struct LiteralStringRules {
    // \b and \f are backspace and form feed; otherwise the letters b and f.
    bool control_escapes = true;
    // A backslash before CR, LF or CR LF continues the string without a line
    // end; otherwise the escaped CR or LF byte is kept.
    bool line_continuation = true;
    // An unescaped CR or CR LF reads as LF; otherwise it is kept as written.
    bool line_ends_as_lf = true;
    // \8 and \9 open a numeric escape of value 8 or 9, which up to two octal
    // digits extend; otherwise they stand for the digit itself.
    bool decimal_escape_start = false;
};

// The content lexer reads strings closer to their bytes: its show-text
// operands have always kept line ends and read \b, \f and \8, \9 this way,
// and the text extracted from the corpus depends on it.
inline constexpr LiteralStringRules kContentStreamStringRules{
    .control_escapes = false,
    .line_continuation = false,
    .line_ends_as_lf = false,
    .decimal_escape_start = true,
};

struct DecodedString {
    std::string bytes;
    // Just past the ')' that closed the string, or the input's size when the
    // input ended first.
    std::size_t end = 0;
};

// Decodes a literal string from just after its '(' to the ')' that balances
// it, or to the end of `data`. Given only the bytes between the parentheses,
// as the object parser keeps them, it decodes all of them: their parentheses
// balance. A backslash ending the data stands for nothing; an octal value
// beyond a byte keeps its low eight bits.
DecodedString decode_literal_string(std::string_view data, LiteralStringRules rules = {});

// The bytes of a hex string given what lies between its < and >: bytes other
// than hex digits are skipped, and an odd final digit is followed by 0.
std::string decode_hex_string(std::string_view digits);

// The same bytes written to `out`, which has room for digits.size() / 2 + 1;
// returns how many were written.
std::size_t decode_hex_string_into(std::string_view digits, char* out);

} // namespace quarvel
