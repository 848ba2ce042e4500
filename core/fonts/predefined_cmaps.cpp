#include "fonts/predefined_cmaps.h"

#include <algorithm>

namespace quarvel {

namespace {

using CodespaceRange = PredefinedCMap::CodespaceRange;
using CidRun = PredefinedCMap::Run;
using PredefinedCMapData = PredefinedCMap;

#include "fonts/predefined_cmaps_data.inc"

// Maps stored as differences from another map, followed to the map stored
// whole. The generator keeps every chain at most this long, so a longer
// one cannot occur; the bound keeps a lookup finite whatever the table says.
constexpr int kMaxBaseChain = 4;

bool in_range(const CodespaceRange& r, std::string_view bytes) {
    if (bytes.size() < r.length) return false;
    for (std::size_t i = 0; i < r.length; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b < r.low[i] || b > r.high[i]) return false;
    }
    return true;
}

} // namespace

std::size_t PredefinedCMap::code_length(std::string_view bytes) const {
    if (bytes.empty()) return 0;
    std::size_t first_byte_match = 0;
    for (std::size_t n = 1; n <= 4; ++n) {
        for (const CodespaceRange& r : codespace) {
            if (r.length != n) continue;
            if (in_range(r, bytes)) return n;
            const auto b = static_cast<unsigned char>(bytes[0]);
            if (first_byte_match == 0 && b >= r.low[0] && b <= r.high[0]) first_byte_match = n;
        }
    }
    return std::min(first_byte_match != 0 ? first_byte_match : 1, bytes.size());
}

std::optional<std::uint32_t> PredefinedCMap::cid(std::uint32_t code, std::size_t length) const {
    if (length < 1 || length > 4) return std::nullopt;
    const PredefinedCMap* m = this;
    for (int depth = 0; depth <= kMaxBaseChain; ++depth) {
        const std::span<const Run> runs = m->runs[length - 1];
        // The last run starting at or before the code is the only one that
        // can hold it.
        const auto it =
            std::upper_bound(runs.begin(), runs.end(), code,
                             [](std::uint32_t v, const Run& r) { return v < r.first_code; });
        if (it != runs.begin()) {
            const Run& r = *(it - 1);
            if (code - r.first_code <= r.count_minus_one) {
                if (r.cid == kUnmapped) return std::nullopt;
                return std::uint32_t{r.cid} + (code - r.first_code);
            }
        }
        if (m->base < 0 || std::size_t(m->base) >= std::size(kPredefined)) return std::nullopt;
        m = &kPredefined[m->base];
    }
    return std::nullopt;
}

const PredefinedCMap* find_predefined_cmap(std::string_view name) {
    const auto it =
        std::lower_bound(std::begin(kPredefined), std::end(kPredefined), name,
                         [](const PredefinedCMap& m, std::string_view n) { return m.name < n; });
    return it != std::end(kPredefined) && it->name == name ? &*it : nullptr;
}

} // namespace quarvel
