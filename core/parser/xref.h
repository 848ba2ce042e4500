// Cross-reference data and the trailer: where each object lives.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "arena.h"
#include "parser/error.h"
#include "parser/object.h"
#include "types.h"

namespace quarvel {

struct XrefEntry {
    enum class Kind : std::uint8_t { Free = 0, InUse = 1, Compressed = 2 };
    Kind kind = Kind::Free;
    // InUse: byte offset of the header; Compressed: number of the object
    // stream; Free: the value written in the entry.
    std::uint32_t offset_or_stream = 0;
    // InUse/Free: generation; Compressed: index within the object stream.
    std::uint16_t gen_or_index = 0;

    friend bool operator==(const XrefEntry&, const XrefEntry&) = default;
};

// Object number to entry; a later insert for a number replaces the earlier.
class XrefMap {
  public:
    void insert(std::uint32_t num, XrefEntry e) { map_[num] = e; }
    const XrefEntry* find(std::uint32_t num) const;
    std::size_t size() const { return map_.size(); }
    void reserve(std::size_t n) { map_.reserve(n); }
    template <typename F> void for_each(F&& f) const {
        for (const auto& [num, e] : map_) f(num, e);
    }

  private:
    std::unordered_map<std::uint32_t, XrefEntry> map_;
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
};

Result<std::size_t> find_startxref(std::string_view data);
Result<std::uint64_t> parse_positive_int(Cursor& cur);
Result<XrefSection> parse_xref_table(std::string_view data, std::size_t offset, Arena& arena);
Result<XrefSection> parse_xref_stream_obj(const PdfDict& dict, std::string_view stream_bytes);
Result<Trailer> extract_trailer_fields(const PdfDict& dict);

// The objects packed in an object stream, by object number. `body` is the
// decoded body, already owned by `arena` (the objects view into it).
using ObjStmMap = std::unordered_map<std::uint32_t, PdfObject>;
Result<ObjStmMap> parse_objstm(const PdfDict& dict, std::string_view body, Arena& arena);

} // namespace quarvel
