#include "fonts/cid_collections.h"

#include <algorithm>
#include <span>

namespace quarvel {

namespace {

// A CID whose text is not one BMP character: its code points are
// pool[offset, offset + length).
struct CidException {
    std::uint16_t cid;
    std::uint16_t offset;
    std::uint16_t length;
};

// One collection: the BMP character of each CID by index, 0 where the
// collection gives none and 0xFFFF where the exceptions hold the text.
struct CidCollection {
    std::string_view name;
    std::span<const std::uint16_t> bmp;
    std::span<const CidException> exceptions;
    std::span<const char32_t> pool;
};

constexpr std::uint16_t kInExceptions = 0xFFFF;

#include "fonts/cid_collections_data.inc"

const CidCollection* find(std::string_view name) {
    for (const CidCollection& c : kCollections) {
        if (c.name == name) return &c;
    }
    return nullptr;
}

std::u32string_view text(std::string_view registry_ordering, std::uint32_t cid) {
    const CidCollection* c = find(registry_ordering);
    if (c == nullptr || cid >= c->bmp.size()) return {};
    if (c->bmp[cid] != kInExceptions) return {};
    const auto it =
        std::lower_bound(c->exceptions.begin(), c->exceptions.end(), cid,
                         [](const CidException& e, std::uint32_t v) { return e.cid < v; });
    if (it == c->exceptions.end() || it->cid != cid) return {};
    return std::u32string_view(c->pool.data() + it->offset, it->length);
}

} // namespace

std::optional<char32_t> cid_to_unicode(std::string_view registry_ordering, std::uint32_t cid) {
    const CidCollection* c = find(registry_ordering);
    if (c == nullptr || cid >= c->bmp.size() || c->bmp[cid] == 0) return std::nullopt;
    if (c->bmp[cid] != kInExceptions) return c->bmp[cid];
    const std::u32string_view t = text(registry_ordering, cid);
    if (t.size() != 1) return std::nullopt;
    return t[0];
}

std::u32string_view cid_to_unicode_sequence(std::string_view registry_ordering, std::uint32_t cid) {
    const std::u32string_view t = text(registry_ordering, cid);
    return t.size() > 1 ? t : std::u32string_view();
}

} // namespace quarvel
