// The object parser: PDF object syntax to `PdfObject`, one object at a time,
// zero-copy over a byte view.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "read_options.h"
#include "syntax/arena.h"
#include "syntax/error.h"
#include "syntax/types.h"

namespace quarvel {

namespace detail {

// Byte classes of object syntax, one table so that the hot loops (skipping
// whitespace, scanning names and numbers) cost one load per byte.
enum PdfByteClass : std::uint8_t {
    kPdfWhitespace = 1, // NUL TAB LF CR SPACE; form feed is not whitespace here
    kPdfDelimiter = 2,  // whitespace and % ( ) / < > [ ] { }
    kPdfDigit = 4,      // 0-9
    kPdfHexDigit = 8,   // 0-9 A-F a-f
};

inline constexpr std::array<std::uint8_t, 256> kPdfByteClasses = [] {
    std::array<std::uint8_t, 256> t{};
    for (unsigned char c : {0x00, 0x09, 0x0A, 0x0D, 0x20}) t[c] |= kPdfWhitespace | kPdfDelimiter;
    for (unsigned char c : std::string_view("%()/<>[]{}")) t[c] |= kPdfDelimiter;
    for (unsigned c = '0'; c <= '9'; ++c) t[c] |= kPdfDigit | kPdfHexDigit;
    for (unsigned c = 'A'; c <= 'F'; ++c) t[c] |= kPdfHexDigit;
    for (unsigned c = 'a'; c <= 'f'; ++c) t[c] |= kPdfHexDigit;
    return t;
}();

inline constexpr std::array<std::uint8_t, 256> kPdfHexValues = [] {
    std::array<std::uint8_t, 256> t{};
    for (unsigned c = '0'; c <= '9'; ++c) t[c] = static_cast<std::uint8_t>(c - '0');
    for (unsigned c = 'A'; c <= 'F'; ++c) t[c] = static_cast<std::uint8_t>(c - 'A' + 10);
    for (unsigned c = 'a'; c <= 'f'; ++c) t[c] = static_cast<std::uint8_t>(c - 'a' + 10);
    return t;
}();

} // namespace detail

// Byte classes of object syntax.
constexpr bool is_pdf_whitespace(std::uint8_t b) { // NUL TAB LF CR SPACE (not form feed)
    return (detail::kPdfByteClasses[b] & detail::kPdfWhitespace) != 0;
}
constexpr bool is_pdf_delimiter(std::uint8_t b) { // whitespace and % ( ) / < > [ ] { }
    return (detail::kPdfByteClasses[b] & detail::kPdfDelimiter) != 0;
}
constexpr bool is_pdf_digit(std::uint8_t b) {
    return (detail::kPdfByteClasses[b] & detail::kPdfDigit) != 0;
}
constexpr bool is_pdf_hex_digit(std::uint8_t b) {
    return (detail::kPdfByteClasses[b] & detail::kPdfHexDigit) != 0;
}
// The value of a hex digit, and 0 for any other byte: hex strings skip
// non-digits (tested with is_pdf_hex_digit), while a CMap's hex tokens
// count each one as a digit of value 0.
constexpr std::uint8_t hex_value(std::uint8_t b) {
    return detail::kPdfHexValues[b];
}

// The nearest double to a real token (sign, digits, point, exponent) that
// std::from_chars found beyond a double's range: an infinity of the token's
// sign when it is too large, a zero of its sign when too small. Shared by
// the object parser and the content lexer, which round such tokens alike.
double real_beyond_range(std::string_view token);

// The double nearest to a real token as the lexers cut it (optional sign,
// digits, point, digits, exponent), rounded exactly as std::from_chars
// rounds it with real_beyond_range applied past the range; nothing when the
// conversion does not take the whole token ("1e", "."). Short decimals
// convert without a conversion call; the rest go through fast_float.
std::optional<double> real_from_token(std::string_view token);

// A position in a byte view. `arena` receives the decoded bytes of names
// with #XX escapes; the objects parsed through this cursor view into it, so
// they live as long as the arena and the buffer `data` views.
struct Cursor {
    std::string_view data;
    std::size_t pos = 0;
    Arena* arena = nullptr;
    // Arrays and dictionaries open around the object being parsed; bounded
    // by limits::kMaxObjectDepth.
    std::size_t depth = 0;
    // The full reader checks a stream's direct /Length against the
    // `endstream` that must follow it, and searches when it does not fit.
    ReadMode mode = ReadMode::Specified;

    Cursor(std::string_view d, Arena& a, std::size_t p = 0) : data(d), pos(p), arena(&a) {}

    bool at_end() const { return pos >= data.size(); }
    std::size_t remaining() const { return pos < data.size() ? data.size() - pos : 0; }
    // The byte at `pos`; requires !at_end().
    std::uint8_t peek() const { return static_cast<std::uint8_t>(data[pos]); }
    // True when the bytes at `pos` are `s` (bounds checked).
    bool starts_with(std::string_view s) const {
        return remaining() >= s.size() && data.compare(pos, s.size(), s) == 0;
    }

    // Skips whitespace and % comments (a comment ends after its first CR or
    // LF); stops at the first other byte or at the end.
    void skip_ws();
};

// Skips whitespace and comments, then parses exactly one object. A
// dictionary comes back as a Dictionary even when `stream` follows.
// Arrays and dictionaries nested deeper than limits::kMaxObjectDepth fail
// with UnexpectedByte for the bracket that opens the level too many.
Result<PdfObject> parse_object(Cursor& cur);

// Attaches the body to a dictionary: `cur` stands after the dictionary's >>.
// A direct /Length that is negative is treated like an indirect one: the
// body runs to the first `endstream`.
Result<PdfObject> parse_stream(Cursor& cur, PdfDict dict);

// The pieces `parse_object` dispatches to.
Result<PdfObject> parse_dict(Cursor& cur); // after <<
Result<PdfObject> parse_name(Cursor& cur); // after /
Result<PdfObject> parse_number_or_ref(Cursor& cur);
Result<std::int64_t> parse_integer_raw(Cursor& cur);
Result<PdfObject> parse_literal(Cursor& cur, std::string_view keyword, PdfObject value);

} // namespace quarvel
