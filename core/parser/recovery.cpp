#include "parser/recovery.h"

namespace quarvel {

Result<XrefSection> recover_xref_by_scan(std::string_view) {
    return ParseError::other("recovery: could not find Catalog root");
}
std::optional<PdfObj> try_parse_object_at(std::string_view, std::size_t) { return std::nullopt; }

} // namespace quarvel
