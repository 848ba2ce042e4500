#include "file/xref.h"

#include <algorithm>
#include <limits>

namespace quarvel {

// --- XrefMap ----------------------------------------------------------------

void XrefMap::insert(std::uint32_t num, XrefEntry e) {
    if (!runs_.empty()) carve_runs(num, num);
    map_[num] = e;
}

void XrefMap::insert_run(std::uint32_t first, std::uint64_t count, XrefEntry e) {
    if (count == 0) return;
    constexpr std::uint64_t kNumbers = std::uint64_t{1} << 32;
    if (count >= kNumbers) {
        // Rows past the 2^32-th name the same numbers again with the same
        // entry: every number is covered once.
        first = 0;
        count = kNumbers;
    }
    const std::uint64_t end = std::uint64_t{first} + count; // one past the last, unwrapped
    if (end > kNumbers) {
        insert_run(first, kNumbers - first, e);
        insert_run(0, end - kNumbers, e);
        return;
    }
    const auto last = static_cast<std::uint32_t>(end - 1);
    carve_runs(first, last);
    // Single entries inside the run are replaced by it; walk whichever of
    // the two (the range, the map) is smaller.
    if (count < map_.size()) {
        for (std::uint64_t n = first; n <= last; ++n)
            map_.erase(static_cast<std::uint32_t>(n));
    } else {
        std::erase_if(map_, [&](const auto& kv) { return kv.first >= first && kv.first <= last; });
    }
    runs_.emplace(first, Run{last, e});
}

void XrefMap::carve_runs(std::uint32_t first, std::uint32_t last) {
    auto it = runs_.upper_bound(first);
    if (it != runs_.begin()) {
        auto prev = std::prev(it);
        if (prev->second.last >= first) it = prev;
    }
    while (it != runs_.end() && it->first <= last) {
        const std::uint32_t run_first = it->first;
        const Run run = it->second;
        it = runs_.erase(it);
        if (run_first < first) runs_.emplace(run_first, Run{first - 1, run.entry});
        if (run.last > last) {
            it = runs_.emplace(last + 1, Run{run.last, run.entry}).first;
            ++it;
        }
    }
}

const XrefEntry* XrefMap::find(std::uint32_t num) const {
    auto it = map_.find(num);
    if (it != map_.end()) return &it->second;
    if (runs_.empty()) return nullptr;
    auto run = runs_.upper_bound(num);
    if (run == runs_.begin()) return nullptr;
    --run;
    return run->second.last >= num ? &run->second.entry : nullptr;
}

std::uint64_t XrefMap::size() const {
    std::uint64_t n = map_.size();
    for (const auto& [first, run] : runs_)
        n += std::uint64_t{run.last} - first + 1;
    return n;
}

// --- startxref, numbers -----------------------------------------------------

Result<std::size_t> find_startxref(std::string_view data) {
    constexpr std::size_t kWindow = 1024;
    constexpr std::string_view kKeyword = "startxref";
    const std::string_view window =
        data.size() > kWindow ? data.substr(data.size() - kWindow) : data;
    const std::size_t at = window.rfind(kKeyword);
    if (at == std::string_view::npos) return ParseError::other("startxref not found");
    // Only digits are read after the keyword: no name can need the arena.
    Arena scratch;
    Cursor cur(window, scratch, at + kKeyword.size());
    cur.skip_ws();
    QUARVEL_TRY(std::uint64_t offset, parse_positive_int(cur));
    return static_cast<std::size_t>(offset);
}

Result<std::uint64_t> parse_positive_int(Cursor& cur) {
    const std::size_t start = cur.pos;
    std::uint64_t value = 0;
    bool overflow = false;
    std::size_t p = start;
    while (p < cur.data.size() && is_pdf_digit(static_cast<std::uint8_t>(cur.data[p]))) {
        const auto digit = static_cast<std::uint64_t>(cur.data[p] - '0');
        if (value > (std::uint64_t{std::numeric_limits<std::int64_t>::max()} - digit) / 10) {
            overflow = true;
        } else {
            value = value * 10 + digit;
        }
        ++p;
    }
    if (p == start || overflow) return ParseError::invalid_number();
    cur.pos = p;
    return value;
}

// --- trailer ----------------------------------------------------------------

Result<std::int64_t> required_integer(const PdfDict& dict, std::string_view key) {
    const PdfObject* v = dict_get(dict, key);
    if (v == nullptr) return ParseError::other("missing required trailer field");
    if (!v->is_int()) return ParseError::other("expected integer for trailer field");
    return v->as_int();
}

namespace {

Result<ObjectId> required_reference(const PdfDict& dict, std::string_view key) {
    const PdfObject* v = dict_get(dict, key);
    if (v == nullptr) return ParseError::other("missing required trailer field");
    if (!v->is_ref()) return ParseError::other("expected reference for trailer field");
    return v->as_ref();
}

// The first entry under `key` that is a reference; entries of other types
// (a direct /Encrypt dictionary, an /Info written as a number) are passed
// over.
std::optional<ObjectId> first_reference(const PdfDict& dict, std::string_view key) {
    for (const DictEntry& e : dict) {
        if (e.key == key && e.value.is_ref()) return e.value.as_ref();
    }
    return std::nullopt;
}

} // namespace

Result<Trailer> extract_trailer_fields(const PdfDict& dict, ReadMode mode) {
    Trailer t;
    if (mode == ReadMode::Full) {
        if (auto root = first_reference(dict, "Root")) t.root = *root;
        if (const PdfObject* size = dict_get(dict, "Size"); size != nullptr && size->is_int()) {
            t.size = static_cast<std::uint32_t>(size->as_int());
        }
    } else {
        QUARVEL_TRY(t.root, required_reference(dict, "Root"));
        QUARVEL_TRY(const std::int64_t size, required_integer(dict, "Size"));
        t.size = static_cast<std::uint32_t>(size);
    }
    t.info = first_reference(dict, "Info");
    t.encrypt = first_reference(dict, "Encrypt");
    return t;
}

// --- classic table ----------------------------------------------------------

Result<XrefSection> parse_xref_table(std::string_view data, std::size_t offset, Arena& arena,
                                     ReadMode mode) {
    if (offset > data.size()) return ParseError::other("expected 'xref' keyword");
    Cursor cur(data.substr(offset), arena);
    if (!cur.starts_with("xref")) return ParseError::other("expected 'xref' keyword");
    cur.pos += 4;

    XrefSection section;
    for (;;) {
        cur.skip_ws();
        if (cur.starts_with("trailer")) {
            cur.pos += 7;
            QUARVEL_TRY(PdfObject dict, parse_object(cur));
            if (!dict.is_dict()) return ParseError::other("trailer must be a dictionary");
            QUARVEL_TRY(section.trailer, extract_trailer_fields(dict.dict(), mode));
            section.trailer_dict = std::move(dict.dict());
            return section;
        }
        QUARVEL_TRY(const std::uint64_t first, parse_positive_int(cur));
        cur.skip_ws();
        QUARVEL_TRY(const std::uint64_t count, parse_positive_int(cur));
        cur.skip_ws();
        // Each entry consumes input, so a huge count ends at the end of the
        // table with an error rather than looping.
        for (std::uint64_t k = 0; k < count; ++k) {
            QUARVEL_TRY(const std::uint64_t off, parse_positive_int(cur));
            cur.skip_ws();
            QUARVEL_TRY(const std::uint64_t gen, parse_positive_int(cur));
            cur.skip_ws();
            if (cur.at_end()) return ParseError::other("expected 'n' or 'f' in xref entry");
            XrefEntry e;
            const std::uint8_t kind = cur.peek();
            if (kind == 'n') {
                e.kind = XrefEntry::Kind::InUse;
            } else if (kind == 'f') {
                e.kind = XrefEntry::Kind::Free;
            } else {
                return ParseError::other("expected 'n' or 'f' in xref entry");
            }
            ++cur.pos;
            cur.skip_ws();
            e.offset_or_stream = mode == ReadMode::Full ? off : static_cast<std::uint32_t>(off);
            e.gen_or_index = static_cast<std::uint16_t>(gen);
            section.map.insert(static_cast<std::uint32_t>(first + k), e);
        }
    }
}

// --- cross-reference stream -------------------------------------------------

namespace {

// A big-endian field of a cross-reference stream row. `wide` tells whether
// any byte above the low 64 bits was non-zero, so that a type field wider
// than eight bytes cannot pass for 0, 1 or 2.
struct Field {
    std::uint64_t value = 0;
    bool wide = false;
};

Field read_field(std::string_view row, std::size_t at, std::size_t width) {
    Field f;
    for (std::size_t i = 0; i < width; ++i) {
        if ((f.value >> 56) != 0) f.wide = true;
        f.value = (f.value << 8) | static_cast<std::uint8_t>(row[at + i]);
    }
    return f;
}

std::uint64_t low_int_bits(const PdfObject& v, std::uint64_t mask) {
    return v.is_int() ? static_cast<std::uint64_t>(v.as_int()) & mask : 0;
}

} // namespace

Result<XrefSection> parse_xref_stream_obj(const PdfDict& dict, std::string_view stream_bytes,
                                          ReadMode mode) {
    const PdfObject* w = dict_get(dict, "W");
    if (w == nullptr) return ParseError::other("missing /W in xref stream");
    if (!w->is_array() || w->as_array().size() < 3) {
        return ParseError::other("/W must be an array of 3 integers");
    }
    std::size_t widths[3];
    for (std::size_t i = 0; i < 3; ++i) {
        widths[i] = static_cast<std::size_t>(low_int_bits(w->as_array()[i], 0xFFFF));
    }
    std::int64_t size = 0;
    if (mode == ReadMode::Full) {
        const PdfObject* v = dict_get(dict, "Size");
        size = v != nullptr && v->is_int() ? v->as_int() : 0;
    } else {
        QUARVEL_TRY(size, required_integer(dict, "Size"));
    }

    struct Subsection {
        std::uint32_t first;
        std::uint32_t count;
    };
    std::vector<Subsection> subsections;
    const PdfObject* index = nullptr;
    for (const DictEntry& e : dict) {
        if (e.key == "Index" && e.value.is_array()) {
            index = &e.value;
            break;
        }
    }
    if (index != nullptr) {
        const PdfArray& a = index->as_array();
        subsections.reserve(a.size() / 2);
        for (std::size_t i = 0; i + 1 < a.size(); i += 2) {
            subsections.push_back({static_cast<std::uint32_t>(low_int_bits(a[i], 0xFFFFFFFF)),
                                   static_cast<std::uint32_t>(low_int_bits(a[i + 1], 0xFFFFFFFF))});
        }
    } else {
        subsections.push_back({0, static_cast<std::uint32_t>(size)});
    }

    // The stream's dictionary is also the section's trailer.
    XrefSection section;
    QUARVEL_TRY(section.trailer, extract_trailer_fields(dict, mode));
    if (mode == ReadMode::Full) section.trailer_dict = dict;

    // Exact arithmetic: a sum of 32-bit counts or its product with a row of
    // up to three 65535-byte fields that does not fit 64 bits cannot fit the
    // body either.
    const std::uint64_t row_size = std::uint64_t{widths[0]} + widths[1] + widths[2];
    std::uint64_t rows = 0;
    bool overflow = false;
    for (const Subsection& s : subsections)
        overflow |= __builtin_add_overflow(rows, s.count, &rows);
    std::uint64_t needed = 0;
    overflow |= __builtin_mul_overflow(rows, row_size, &needed);
    if (overflow || needed > stream_bytes.size()) {
        return ParseError::other("xref stream data too short");
    }

    if (row_size == 0) {
        // Zero-width rows carry no data: every row is InUse at offset 0,
        // generation 0, however many there are.
        const XrefEntry e{XrefEntry::Kind::InUse, 0, 0};
        for (const Subsection& s : subsections)
            section.map.insert_run(s.first, s.count, e);
        return section;
    }

    // `rows` fits the body here, so the map is sized by real data.
    section.map.reserve(static_cast<std::size_t>(rows));
    std::size_t at = 0;
    for (const Subsection& s : subsections) {
        for (std::uint32_t k = 0; k < s.count; ++k) {
            const Field type =
                widths[0] == 0 ? Field{1, false} : read_field(stream_bytes, at, widths[0]);
            at += widths[0];
            const Field f2 = read_field(stream_bytes, at, widths[1]);
            at += widths[1];
            const Field f3 = read_field(stream_bytes, at, widths[2]);
            at += widths[2];
            if (type.wide || type.value > 2) {
                // Other types are reserved, and stand for the null object.
                if (mode == ReadMode::Full) continue;
                return ParseError::other("unknown xref stream entry type");
            }
            XrefEntry e;
            e.kind = static_cast<XrefEntry::Kind>(type.value);
            e.offset_or_stream =
                mode == ReadMode::Full ? f2.value : static_cast<std::uint32_t>(f2.value);
            e.gen_or_index = static_cast<std::uint16_t>(f3.value);
            section.map.insert(s.first + k, e);
        }
    }
    return section;
}

} // namespace quarvel
