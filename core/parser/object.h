// The object parser: PDF object syntax to `PdfObject`, one object at a time,
// zero-copy over a byte view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "arena.h"
#include "parser/error.h"
#include "types.h"

namespace quarvel {

// Byte classes of object syntax.
bool is_pdf_whitespace(std::uint8_t b); // NUL TAB LF CR SPACE (not form feed)
bool is_pdf_delimiter(std::uint8_t b);  // whitespace and % ( ) / < > [ ] { }

// A position in a byte view. `arena` receives the decoded bytes of names
// with #XX escapes; the objects parsed through this cursor view into it.
struct Cursor {
    std::string_view data;
    std::size_t pos = 0;
    Arena* arena = nullptr;
    // Arrays and dictionaries open around the object being parsed; bounded
    // by limits::kMaxObjectDepth.
    std::size_t depth = 0;

    Cursor(std::string_view d, Arena& a, std::size_t p = 0) : data(d), pos(p), arena(&a) {}

    bool at_end() const { return pos >= data.size(); }
    std::size_t remaining() const { return pos < data.size() ? data.size() - pos : 0; }
    std::uint8_t peek() const { return static_cast<std::uint8_t>(data[pos]); }
    // True when the bytes at `pos` are `s` (bounds checked).
    bool starts_with(std::string_view s) const { return data.substr(pos).starts_with(s); }

    // Skips whitespace and % comments.
    void skip_ws();
};

// Skips whitespace and comments, then parses exactly one object. A
// dictionary comes back as a Dictionary even when `stream` follows.
Result<PdfObject> parse_object(Cursor& cur);

// Attaches the body to a dictionary: `cur` stands after the dictionary's >>.
Result<PdfObject> parse_stream(Cursor& cur, PdfDict dict);

// The pieces `parse_object` dispatches to.
Result<PdfObject> parse_dict(Cursor& cur); // after <<
Result<PdfObject> parse_name(Cursor& cur); // after /
Result<PdfObject> parse_number_or_ref(Cursor& cur);
Result<std::int64_t> parse_integer_raw(Cursor& cur);
Result<PdfObject> parse_literal(Cursor& cur, std::string_view keyword, PdfObject value);

} // namespace quarvel
