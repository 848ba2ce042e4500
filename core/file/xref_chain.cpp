#include "file/xref_chain.h"

#include <algorithm>
#include <unordered_set>

#include "file/object_stream.h"
#include "resource_limits.h"
#include "syntax/filters.h"

namespace quarvel {
namespace {

bool header_at(std::string_view data, std::size_t at, Arena& scratch) {
    Cursor cur(data, scratch, at);
    return read_object_header(cur).ok();
}

bool section_starts_at(std::string_view data, std::size_t at, Arena& scratch) {
    while (at < data.size() && is_pdf_whitespace(static_cast<std::uint8_t>(data[at]))) ++at;
    return data.substr(std::min(at, data.size())).starts_with("xref") ||
           (at < data.size() && is_pdf_digit(static_cast<std::uint8_t>(data[at])) &&
            header_at(data, at, scratch));
}

// Reads the section at `offset` (already located) into `section`.
Result<XrefSection> read_section(std::string_view data, std::size_t offset, Arena& arena) {
    while (offset < data.size() && is_pdf_whitespace(static_cast<std::uint8_t>(data[offset]))) {
        ++offset;
    }
    if (data.substr(offset).starts_with("xref")) {
        return parse_xref_table(data, offset, arena, ReadMode::Full);
    }
    Cursor cur(data, arena, offset);
    cur.mode = ReadMode::Full;
    QUARVEL_TRY(Ok header, read_object_header(cur));
    (void)header;
    QUARVEL_TRY(PdfObject dict, parse_object(cur));
    if (!dict.is_dict()) return ParseError::other("expected dict for ObjStm");
    QUARVEL_TRY(PdfObject stream, parse_stream(cur, std::move(dict.dict())));
    if (!stream.is_stream()) return ParseError::other("expected stream");
    QUARVEL_TRY(std::string rows, decode_filters(stream.stream_data(), stream.get("Filter"),
                                                  stream.get("DecodeParms")));
    return parse_xref_stream_obj(stream.dict(), rows, ReadMode::Full);
}

std::optional<std::uint64_t> offset_entry(const PdfDict& dict, std::string_view key) {
    const PdfObject* v = dict_get(dict, key);
    if (v == nullptr || !v->is_int() || v->as_int() < 0) return std::nullopt;
    return static_cast<std::uint64_t>(v->as_int());
}

// Adds the entries of an older section where no newer one has spoken.
void merge_older(XrefMap& into, const XrefMap& older) {
    older.for_each([&](std::uint32_t num, const XrefEntry& e) {
        if (into.find(num) == nullptr) into.insert(num, e);
    });
    older.for_each_run([&](std::uint32_t first, std::uint32_t last, const XrefEntry& e) {
        // Runs come only from zero-width rows; the numbers a newer section
        // defined keep their entries.
        for (std::uint64_t n = first; n <= last; ++n) {
            if (into.find(static_cast<std::uint32_t>(n)) == nullptr) {
                into.insert(static_cast<std::uint32_t>(n), e);
            }
            if (n - first >= limits::kMaxXrefRunMerge) break;
        }
    });
}

} // namespace

std::optional<std::size_t> locate_xref_section(std::string_view data, std::size_t offset) {
    Arena scratch;
    if (offset < data.size() && section_starts_at(data, offset, scratch)) return offset;
    const std::size_t from = offset > limits::kXrefOffsetSlack ? offset - limits::kXrefOffsetSlack : 0;
    const std::size_t to = std::min(data.size(), offset + limits::kXrefOffsetSlack);
    if (from >= to) return std::nullopt;
    std::optional<std::size_t> best;
    auto consider = [&](std::size_t at) {
        const std::size_t distance = at > offset ? at - offset : offset - at;
        const std::size_t best_distance =
            best ? (*best > offset ? *best - offset : offset - *best) : SIZE_MAX;
        if (distance < best_distance) best = at;
    };
    const std::string_view window = data.substr(from, to - from);
    for (std::size_t at = window.find("xref"); at != std::string_view::npos;
         at = window.find("xref", at + 1)) {
        // `startxref` is not a section.
        if (at >= 5 && window.substr(at - 5, 5) == "start") continue;
        consider(from + at);
    }
    for (std::size_t at = window.find("obj"); at != std::string_view::npos;
         at = window.find("obj", at + 1)) {
        // Back from the keyword to the start of "N G ".
        std::size_t start = from + at;
        int fields = 0;
        while (start > 0 && fields < 2) {
            std::size_t end = start;
            while (end > 0 && data[end - 1] == ' ') --end;
            std::size_t begin = end;
            while (begin > 0 && is_pdf_digit(static_cast<std::uint8_t>(data[begin - 1]))) --begin;
            if (begin == end) break;
            start = begin;
            ++fields;
        }
        if (fields == 2 && header_at(data, start, scratch)) consider(start);
    }
    return best;
}

Result<XrefSection> read_xref_chain(std::string_view data, Arena& arena) {
    QUARVEL_TRY(const std::size_t start, find_startxref(data));
    XrefSection merged;
    std::unordered_set<std::size_t> visited;
    std::size_t next = start;
    bool more = true;
    bool newest = true;
    std::size_t sections = 0;
    while (more) {
        auto located = locate_xref_section(data, next);
        if (!located) return ParseError::other("expected 'xref' keyword");
        // A /Prev that leads back to a section already read closes a loop.
        if (!visited.insert(*located).second) break;
        if (++sections > limits::kMaxXrefSections) break;
        QUARVEL_TRY(XrefSection section, read_section(data, *located, arena));

        // A hybrid file's table names a cross-reference stream whose
        // entries (the objects in object streams) belong to the same
        // update and win over the table's own.
        if (auto stm = offset_entry(section.trailer_dict, "XRefStm");
            stm && visited.insert(static_cast<std::size_t>(*stm)).second) {
            if (auto at = locate_xref_section(data, static_cast<std::size_t>(*stm))) {
                if (auto hidden = read_section(data, *at, arena); hidden.ok()) {
                    XrefMap table = std::move(section.map);
                    section.map = std::move(hidden->map);
                    merge_older(section.map, table);
                }
            }
        }
        const auto prev = offset_entry(section.trailer_dict, "Prev");
        if (newest) {
            merged = std::move(section);
            newest = false;
        } else {
            merge_older(merged.map, section.map);
            if (merged.trailer.root.num == 0) merged.trailer.root = section.trailer.root;
            if (!merged.trailer.encrypt) merged.trailer.encrypt = section.trailer.encrypt;
        }
        more = prev && std::in_range<std::size_t>(*prev);
        if (more) next = static_cast<std::size_t>(*prev);
    }
    return merged;
}

} // namespace quarvel
