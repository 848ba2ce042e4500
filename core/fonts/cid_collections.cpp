#include "fonts/cid_collections.h"

#include <algorithm>
#include <span>
#include <vector>

#include "fonts/packed_table.h"

namespace quarvel {

namespace {

// A CID whose text is not one BMP character: its code points are
// pool[offset, offset + length).
struct CidException {
    std::uint16_t cid;
    std::uint16_t offset;
    std::uint16_t length;
};

// One collection: `count` CIDs whose BMP characters start at `offset` in
// the packed table (0 where the collection gives none, 0xFFFF where the
// exceptions hold the text).
struct CidCollection {
    std::string_view name;
    std::size_t offset;
    std::size_t count;
    std::span<const CidException> exceptions;
    std::span<const char32_t> pool;
};

constexpr std::uint16_t kInExceptions = 0xFFFF;

#include "fonts/cid_collections_data.inc"

// The BMP characters of every collection, inflated from the packed deltas
// once and constant from then on; empty if the compiled-in data is damaged.
const std::vector<std::uint16_t>& bmp_table() {
    static const std::vector<std::uint16_t> table = [] {
        const std::vector<unsigned char> raw = inflate_packed_table(kBmpDeltas, kBmpDeltasSize);
        std::vector<std::uint16_t> out;
        if (raw.empty()) return out;
        out.resize(raw.size() / 2);
        for (const CidCollection& c : kCollections) {
            if (c.offset + 2 * c.count > raw.size()) return std::vector<std::uint16_t>();
            std::uint16_t v = 0;
            for (std::size_t i = 0; i < c.count; ++i) {
                v = static_cast<std::uint16_t>(
                    v + ((raw[c.offset + i] << 8) | raw[c.offset + c.count + i]));
                out[c.offset / 2 + i] = v;
            }
        }
        return out;
    }();
    return table;
}

// The BMP character (or marker) of a CID, 0 when the collection has none.
std::uint16_t bmp_of(const CidCollection& c, std::uint32_t cid) {
    const std::vector<std::uint16_t>& table = bmp_table();
    if (cid >= c.count || c.offset / 2 + cid >= table.size()) return 0;
    return table[c.offset / 2 + cid];
}

const CidCollection* find(std::string_view name) {
    for (const CidCollection& c : kCollections) {
        if (c.name == name) return &c;
    }
    return nullptr;
}

std::u32string_view text(std::string_view registry_ordering, std::uint32_t cid) {
    const CidCollection* c = find(registry_ordering);
    if (c == nullptr || bmp_of(*c, cid) != kInExceptions) return {};
    const auto it =
        std::lower_bound(c->exceptions.begin(), c->exceptions.end(), cid,
                         [](const CidException& e, std::uint32_t v) { return e.cid < v; });
    if (it == c->exceptions.end() || it->cid != cid) return {};
    return std::u32string_view(c->pool.data() + it->offset, it->length);
}

} // namespace

std::optional<char32_t> cid_to_unicode(std::string_view registry_ordering, std::uint32_t cid) {
    const CidCollection* c = find(registry_ordering);
    if (c == nullptr) return std::nullopt;
    const std::uint16_t bmp = bmp_of(*c, cid);
    if (bmp == 0) return std::nullopt;
    if (bmp != kInExceptions) return bmp;
    const std::u32string_view t = text(registry_ordering, cid);
    if (t.size() != 1) return std::nullopt;
    return t[0];
}

std::u32string_view cid_to_unicode_sequence(std::string_view registry_ordering, std::uint32_t cid) {
    const std::u32string_view t = text(registry_ordering, cid);
    return t.size() > 1 ? t : std::u32string_view();
}

} // namespace quarvel
