// Cross-reference data and the trailer: where each object lives.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "read_options.h"
#include "syntax/arena.h"
#include "syntax/error.h"
#include "syntax/object.h"
#include "syntax/types.h"

namespace quarvel {

struct XrefEntry {
    enum class Kind : std::uint8_t { Free = 0, InUse = 1, Compressed = 2 };
    Kind kind = Kind::Free;
    // InUse: byte offset of the header; Compressed: number of the object
    // stream; Free: the value written in the entry. The compact reader keeps
    // the low 32 bits of an offset; the full reader all 64.
    std::uint64_t offset_or_stream = 0;
    // InUse/Free: generation; Compressed: index within the object stream.
    std::uint16_t gen_or_index = 0;

    friend bool operator==(const XrefEntry&, const XrefEntry&) = default;
};

// Object number to entry; a later insert for a number replaces the earlier.
//
// Most entries are held one by one in a hash map. A cross-reference stream
// whose rows are zero bytes wide (/W [0 0 0]) describes every object of a
// subsection identically however large its count, so such subsections are
// held as runs of numbers: a /Size near four billion costs one run, not
// billions of entries. Runs and single entries never overlap: each insert
// takes its numbers away from whatever held them before.
class XrefMap {
  public:
    void insert(std::uint32_t num, XrefEntry e);
    // Gives `e` to the `count` numbers from `first` on (wrapping past
    // 2^32 - 1 to 0; counts above 2^32 cover every number).
    void insert_run(std::uint32_t first, std::uint64_t count, XrefEntry e);
    const XrefEntry* find(std::uint32_t num) const;
    // Numbers with an entry, runs counted number by number.
    std::uint64_t size() const;
    void reserve(std::size_t n) { map_.reserve(n); }
    // Visits the single entries, then each run as (first, last, entry).
    template <typename F> void for_each(F&& f) const {
        for (const auto& [num, e] : map_)
            f(num, e);
    }
    template <typename F> void for_each_run(F&& f) const {
        for (const auto& [first, run] : runs_)
            f(first, run.last, run.entry);
    }

  private:
    struct Run {
        std::uint32_t last;
        XrefEntry entry;
    };
    // Removes [first, last] from the runs, splitting those that straddle it.
    void carve_runs(std::uint32_t first, std::uint32_t last);

    std::unordered_map<std::uint32_t, XrefEntry> map_;
    std::map<std::uint32_t, Run> runs_; // keyed by first number, disjoint
};

struct Trailer {
    ObjectId root;
    std::uint32_t size = 0;
    std::optional<ObjectId> info;
    std::optional<ObjectId> encrypt;
};

struct XrefSection {
    XrefMap map;
    Trailer trailer;
    // The trailer dictionary (or cross-reference stream dictionary) as
    // written: the full reader follows its /Prev and /XRefStm and reads /ID
    // and a direct /Encrypt from it.
    PdfDict trailer_dict;
};

Result<std::size_t> find_startxref(std::string_view data);
Result<std::uint64_t> parse_positive_int(Cursor& cur);
// The full reader (`mode` Full) reads trailers leniently: an older section
// of an updated file may leave out /Root or /Size, which the newest gives.
Result<XrefSection> parse_xref_table(std::string_view data, std::size_t offset, Arena& arena,
                                     ReadMode mode = ReadMode::Specified);
Result<XrefSection> parse_xref_stream_obj(const PdfDict& dict, std::string_view stream_bytes,
                                          ReadMode mode = ReadMode::Specified);
Result<Trailer> extract_trailer_fields(const PdfDict& dict, ReadMode mode = ReadMode::Specified);
// The integer under `key`, which a trailer-like dictionary must have.
Result<std::int64_t> required_integer(const PdfDict& dict, std::string_view key);

} // namespace quarvel
