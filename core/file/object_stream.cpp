#include "file/object_stream.h"

#include <algorithm>

#include "file/xref.h"

namespace quarvel {

// --- stream objects ---------------------------------------------------------

// Moves past an object's header, "num gen obj". Neither number is compared
// with anything: an entry may point at another number's header, and that
// object is taken as it stands.
Status read_object_header(Cursor& cur) {
    cur.skip_ws();
    QUARVEL_TRY(std::uint64_t num, parse_positive_int(cur));
    (void)num;
    cur.skip_ws();
    QUARVEL_TRY(std::uint64_t gen, parse_positive_int(cur));
    (void)gen;
    cur.skip_ws();
    if (!cur.starts_with("obj")) return ParseError::other("expected 'obj' keyword");
    cur.pos += 3;
    return Ok{};
}

Result<RawStream> parse_object_stream_raw(std::string_view data, std::size_t offset, Arena& arena,
                                          ReadMode mode) {
    if (offset > data.size()) return ParseError::unexpected_eof();
    Cursor cur(data.substr(offset), arena);
    cur.mode = mode;
    QUARVEL_TRY(Ok header, read_object_header(cur));
    (void)header;
    QUARVEL_TRY(PdfObject dict, parse_object(cur));
    if (!dict.is_dict()) return ParseError::other("expected dict for ObjStm");
    cur.skip_ws();
    if (!cur.starts_with("stream")) return ParseError::other("expected stream after dict");
    QUARVEL_TRY(PdfObject stream, parse_stream(cur, std::move(dict.dict())));
    if (!stream.is_stream()) return ParseError::other("expected stream");
    const std::string_view body = stream.stream_data();
    return RawStream{std::move(stream.dict()), body};
}

// --- object streams ---------------------------------------------------------

Result<ObjStmIndex> index_objstm(const PdfDict& dict, std::string_view body) {
    QUARVEL_TRY(const std::int64_t n_raw, required_integer(dict, "N"));
    QUARVEL_TRY(const std::int64_t first_raw, required_integer(dict, "First"));
    const auto n = static_cast<std::uint32_t>(n_raw);
    const auto first = static_cast<std::uint32_t>(first_raw);

    ObjStmIndex index;
    index.body = body;
    // A /First beyond the decoded body leaves no room for any object text
    // (a truncated or lying stream): the stream holds no objects.
    if (first > body.size()) return index;

    struct Entry {
        std::uint32_t num;
        std::uint64_t start; // absolute offset in the body
    };
    std::vector<Entry> entries;
    const std::string_view header = body.substr(0, first);
    // Each pair takes at least four bytes of header ("1 0 " ), so the
    // header's length, not /N, bounds what is worth reserving.
    entries.reserve(std::min<std::size_t>(n, header.size() / 4 + 1));
    // Only digits are read from the header: no name can need an arena.
    Arena scratch;
    Cursor cur(header, scratch);
    for (std::uint32_t i = 0; i < n; ++i) {
        cur.skip_ws();
        QUARVEL_TRY(const std::uint64_t num, parse_positive_int(cur));
        cur.skip_ws();
        QUARVEL_TRY(const std::uint64_t off, parse_positive_int(cur));
        entries.push_back({static_cast<std::uint32_t>(num), off + first});
    }
    if (!entries.empty()) entries.front().start = first;

    index.slots.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::uint64_t start = entries[i].start;
        const std::uint64_t end = i + 1 < entries.size() ? entries[i + 1].start : body.size();
        if (start >= end || end > body.size()) continue;
        index.slots.push_back({entries[i].num, static_cast<std::size_t>(start),
                               static_cast<std::size_t>(end)});
    }
    index.by_number.reserve(index.slots.size());
    for (std::size_t i = 0; i < index.slots.size(); ++i) {
        index.by_number.emplace_back(index.slots[i].num, static_cast<std::uint32_t>(i));
    }
    std::sort(index.by_number.begin(), index.by_number.end());
    return index;
}

Result<PdfObject> ObjStmIndex::parse(std::uint32_t num, Arena& arena) const {
    auto first = std::lower_bound(by_number.begin(), by_number.end(), std::pair{num, 0u});
    auto last = first;
    while (last != by_number.end() && last->first == num) ++last;
    for (auto it = last; it != first;) {
        const Slot& slot = slots[(--it)->second];
        Cursor obj(body.substr(slot.start, slot.end - slot.start), arena);
        auto parsed = parse_object(obj);
        if (parsed.ok()) return parsed;
    }
    return ParseError::other("object not found in ObjStm");
}

Result<ObjStmMap> parse_objstm(const PdfDict& dict, std::string_view body, Arena& arena) {
    QUARVEL_TRY(ObjStmIndex index, index_objstm(dict, body));
    ObjStmMap objects;
    objects.reserve(index.slots.size());
    for (const ObjStmIndex::Slot& slot : index.slots) {
        Cursor obj(body.substr(slot.start, slot.end - slot.start), arena);
        auto parsed = parse_object(obj);
        if (parsed.ok()) objects.insert_or_assign(slot.num, std::move(parsed).value());
    }
    return objects;
}

} // namespace quarvel
