#include "fonts/predefined_cmaps.h"

#include <algorithm>
#include <vector>

#include "fonts/packed_table.h"

namespace quarvel {

namespace {

using CodespaceRange = PredefinedCMap::CodespaceRange;
using Run = PredefinedCMap::Run;

// A compiled-in map before its runs are inflated: they start at `offset`
// in the packed runs.
struct PredefinedEntry {
    std::string_view name;
    std::string_view registry_ordering;
    bool unicode_codes;
    std::span<const CodespaceRange> codespace;
    std::int16_t base;
    std::size_t offset;
};

#include "fonts/predefined_cmaps_data.inc"

// Maps stored as differences from another map, followed to the map stored
// whole. The generator keeps every chain at most this long, so a longer
// one cannot occur; the bound keeps a lookup finite whatever the table says.
constexpr int kMaxBaseChain = 4;

// Every map with its runs, inflated once and constant from then on, in the
// order of kPredefined.
struct Registry {
    std::vector<Run> runs;
    std::vector<PredefinedCMap> maps;
};

// Reads the varints the generator wrote (see encode_runs there); false at
// the end of the bytes or on a value past 32 bits, which only damaged data
// holds.
class Varints {
  public:
    explicit Varints(std::span<const unsigned char> bytes, std::size_t at) : b_(bytes), at_(at) {}
    bool next(std::uint32_t& v) {
        std::uint64_t x = 0;
        for (int shift = 0; shift < 35; shift += 7) {
            if (at_ >= b_.size()) return false;
            const unsigned char c = b_[at_++];
            x |= std::uint64_t{c & 0x7Fu} << shift;
            if ((c & 0x80) == 0) {
                if (x > 0xFFFFFFFF) return false;
                v = static_cast<std::uint32_t>(x);
                return true;
            }
        }
        return false;
    }
    std::size_t left() const { return b_.size() - std::min(at_, b_.size()); }

  private:
    std::span<const unsigned char> b_;
    std::size_t at_;
};

// Decodes one map's runs onto `runs`; its four lengths' run counts go to
// `counts`. False (and the map left without runs) if the data is damaged.
bool decode_runs(std::span<const unsigned char> raw, std::size_t offset, std::vector<Run>& runs,
                 std::array<std::size_t, 4>& counts) {
    Varints in(raw, offset);
    const std::size_t start = runs.size();
    for (std::size_t& count : counts) {
        std::uint32_t n = 0;
        // Each run takes at least three bytes: a larger count is damage.
        if (!in.next(n) || n > in.left() / 3) return false;
        std::uint64_t prev_end = 0;
        std::int64_t prev_cid = 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            std::uint32_t gap = 0, more = 0, zigzag = 0;
            if (!in.next(gap) || !in.next(more) || !in.next(zigzag)) {
                runs.resize(start);
                return false;
            }
            const std::int64_t cid = prev_cid + ((zigzag & 1) != 0 ? -std::int64_t{zigzag >> 1} - 1
                                                                   : std::int64_t{zigzag >> 1});
            const std::uint64_t first = prev_end + gap;
            if (more > 0xFFFF || cid < 0 || cid > 0xFFFF || first > 0xFFFFFFFF) {
                runs.resize(start);
                return false;
            }
            runs.push_back({static_cast<std::uint32_t>(first), static_cast<std::uint16_t>(more),
                            static_cast<std::uint16_t>(cid)});
            prev_end = first + more + 1;
            prev_cid = cid;
        }
        count = n;
    }
    return true;
}

const Registry& registry() {
    static const Registry r = [] {
        Registry reg;
        const std::vector<unsigned char> raw = inflate_packed_table(kRuns, kRunsSize);
        std::vector<std::array<std::size_t, 4>> counts(std::size(kPredefined));
        for (std::size_t i = 0; i < std::size(kPredefined); ++i) {
            counts[i].fill(0);
            if (!decode_runs(raw, kPredefined[i].offset, reg.runs, counts[i])) counts[i].fill(0);
        }
        // Spans are taken once every run is in place, so no growth of the
        // vector can move them.
        std::size_t at = 0;
        for (std::size_t i = 0; i < std::size(kPredefined); ++i) {
            const PredefinedEntry& e = kPredefined[i];
            PredefinedCMap m{e.name, e.registry_ordering, e.unicode_codes, e.codespace, {}, e.base};
            for (std::size_t len = 0; len < 4; ++len) {
                m.runs[len] = std::span<const Run>(reg.runs).subspan(at, counts[i][len]);
                at += counts[i][len];
            }
            reg.maps.push_back(m);
        }
        return reg;
    }();
    return r;
}

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
    const std::vector<PredefinedCMap>& maps = registry().maps;
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
        if (m->base < 0 || std::size_t(m->base) >= maps.size()) return std::nullopt;
        m = &maps[m->base];
    }
    return std::nullopt;
}

const PredefinedCMap* find_predefined_cmap(std::string_view name) {
    const auto it =
        std::lower_bound(std::begin(kPredefined), std::end(kPredefined), name,
                         [](const PredefinedEntry& e, std::string_view n) { return e.name < n; });
    if (it == std::end(kPredefined) || it->name != name) return nullptr;
    const std::vector<PredefinedCMap>& maps = registry().maps;
    const auto i = static_cast<std::size_t>(it - std::begin(kPredefined));
    return i < maps.size() ? &maps[i] : nullptr;
}

} // namespace quarvel
