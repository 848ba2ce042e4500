#include "parser/object.h"

namespace quarvel {

bool is_pdf_whitespace(std::uint8_t b) {
    return b == 0 || b == 9 || b == 10 || b == 13 || b == 32;
}
bool is_pdf_delimiter(std::uint8_t) { return false; }
void Cursor::skip_ws() {}
Result<PdfObject> parse_object(Cursor&) { return ParseError::unexpected_eof(); }
Result<PdfObject> parse_stream(Cursor&, PdfDict) { return ParseError::unexpected_eof(); }
Result<PdfObject> parse_dict(Cursor&) { return ParseError::unexpected_eof(); }
Result<PdfObject> parse_name(Cursor&) { return ParseError::unexpected_eof(); }
Result<PdfObject> parse_number_or_ref(Cursor&) { return ParseError::unexpected_eof(); }
Result<std::int64_t> parse_integer_raw(Cursor&) { return ParseError::unexpected_eof(); }
Result<PdfObject> parse_literal(Cursor&, std::string_view, PdfObject) {
    return ParseError::unexpected_eof();
}

} // namespace quarvel
