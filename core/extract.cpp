#include "extract.h"

namespace quarvel {

Result<std::string> get_stream_data(const PdfObject&) { return std::string(); }
Result<PageResult> extract_single_page(const Document&, std::uint32_t, std::uint16_t,
                                       std::string_view, const ExtractOptions&) {
    return PageResult{};
}

namespace extract {

Result<ExtractResult> extract(const std::string&, const ExtractOptions&) {
    return ParseError::other("cannot open file");
}
Result<ExtractResult> extract_doc(const Document&, const ExtractOptions&) {
    return ExtractResult{};
}
std::vector<std::pair<std::string, Result<ExtractResult>>>
extract_many(const std::vector<std::string>&, const ExtractOptions&) {
    return {};
}

} // namespace extract
} // namespace quarvel
