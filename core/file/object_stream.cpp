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

Result<ObjStmMap> parse_objstm(const PdfDict& dict, std::string_view body, Arena& arena) {
    QUARVEL_TRY(const std::int64_t n_raw, required_integer(dict, "N"));
    QUARVEL_TRY(const std::int64_t first_raw, required_integer(dict, "First"));
    const auto n = static_cast<std::uint32_t>(n_raw);
    const auto first = static_cast<std::uint32_t>(first_raw);

    ObjStmMap objects;
    // A /First beyond the decoded body leaves no room for any object text
    // (a truncated or lying stream): the stream holds no objects.
    if (first > body.size()) return objects;

    struct Slot {
        std::uint32_t num;
        std::uint64_t start; // absolute offset in the body
    };
    std::vector<Slot> slots;
    const std::string_view header = body.substr(0, first);
    // Each pair takes at least four bytes of header ("1 0 " ), so the
    // header's length, not /N, bounds what is worth reserving.
    slots.reserve(std::min<std::size_t>(n, header.size() / 4 + 1));
    Cursor cur(header, arena);
    for (std::uint32_t i = 0; i < n; ++i) {
        cur.skip_ws();
        QUARVEL_TRY(const std::uint64_t num, parse_positive_int(cur));
        cur.skip_ws();
        QUARVEL_TRY(const std::uint64_t off, parse_positive_int(cur));
        slots.push_back({static_cast<std::uint32_t>(num), off + first});
    }
    if (!slots.empty()) slots.front().start = first;

    objects.reserve(slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const std::uint64_t start = slots[i].start;
        const std::uint64_t end = i + 1 < slots.size() ? slots[i + 1].start : body.size();
        if (start >= end || end > body.size()) continue;
        Cursor obj(
            body.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)),
            arena);
        auto parsed = parse_object(obj);
        if (parsed.ok()) objects.insert_or_assign(slots[i].num, std::move(parsed).value());
    }
    return objects;
}

} // namespace quarvel
