#include "document.h"

namespace quarvel {

Mapping Mapping::from_bytes(std::string bytes) {
    Mapping m;
    m.owned_ = std::move(bytes);
    m.view_ = m.owned_;
    return m;
}
Mapping Mapping::adopt_mmap(void*, std::size_t) { return {}; }
Mapping::Mapping(Mapping&& other) noexcept { *this = std::move(other); }
Mapping& Mapping::operator=(Mapping&& other) noexcept {
    owned_ = std::move(other.owned_);
    view_ = owned_;
    return *this;
}
Mapping::~Mapping() = default;
void Mapping::release() {}

Result<RawStream> parse_object_stream_raw(std::string_view, std::size_t, Arena&) {
    return ParseError::unexpected_eof();
}
Document::Document(Mapping mapping, XrefMap xref, Trailer trailer)
    : mapping_(std::move(mapping)), xref_(std::move(xref)), trailer_(trailer) {}
Result<std::unique_ptr<Document>> Document::open(const std::string&) {
    return ParseError::other("cannot open file");
}
Result<std::unique_ptr<Document>> Document::from_mmap(Mapping) {
    return ParseError::other("recovery: could not find Catalog root");
}
Result<ObjectPtr> Document::get_object(std::uint32_t) const {
    return ParseError::other("object not in xref");
}
Result<std::vector<ObjectId>> Document::page_refs() const {
    return ParseError::other("missing /Pages in catalog");
}

} // namespace quarvel
