#include "parser/xref.h"

namespace quarvel {

const XrefEntry* XrefMap::find(std::uint32_t num) const {
    auto it = map_.find(num);
    return it == map_.end() ? nullptr : &it->second;
}
Result<std::size_t> find_startxref(std::string_view) {
    return ParseError::other("startxref not found");
}
Result<std::uint64_t> parse_positive_int(Cursor&) { return ParseError::invalid_number(); }
Result<XrefSection> parse_xref_table(std::string_view, std::size_t, Arena&) {
    return ParseError::other("expected 'xref' keyword");
}
Result<XrefSection> parse_xref_stream_obj(const PdfDict&, std::string_view) {
    return ParseError::other("missing /W in xref stream");
}
Result<Trailer> extract_trailer_fields(const PdfDict&) {
    return ParseError::other("missing required trailer field");
}
Result<ObjStmMap> parse_objstm(const PdfDict&, std::string_view, Arena&) {
    return ParseError::other("missing required trailer field");
}

} // namespace quarvel
