// Object streams and indirect stream objects read straight from the file:
// the raw reader the cross-reference stream and object-stream code share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "read_options.h"
#include "syntax/arena.h"
#include "syntax/error.h"
#include "syntax/object.h"
#include "syntax/types.h"

namespace quarvel {

// The dictionary pairs and raw (still encoded) body of a stream object.
struct RawStream {
    PdfDict dict;
    std::string_view body;
};

// Reads the indirect stream object whose header is at `offset` of `data`.
Result<RawStream> parse_object_stream_raw(std::string_view data, std::size_t offset, Arena& arena,
                                          ReadMode mode = ReadMode::Specified);

// Moves past an object's header, "num gen obj".
Status read_object_header(Cursor& cur);

// Where each object of an object stream lies in its decoded body, read from
// the stream's header: objects are parsed one by one when asked for, so a
// stream of a hundred thousand annotations costs nothing until one is read.
struct ObjStmIndex {
    struct Slot {
        std::uint32_t num;
        std::size_t start; // in `body`
        std::size_t end;
    };
    std::string_view body; // owned by the arena the index was built with
    std::vector<Slot> slots; // in header order; empty ranges left out
    // (number, slot) pairs sorted by number, then by slot.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> by_number;

    // The object `num` as the stream defines it: its last definition that
    // parses, like a stream read whole where later entries replace earlier
    // ones. Fails with "object not found in ObjStm".
    Result<PdfObject> parse(std::uint32_t num, Arena& arena) const;
};
Result<ObjStmIndex> index_objstm(const PdfDict& dict, std::string_view body);

// The objects packed in an object stream, by object number, all parsed.
// `body` is the decoded body, already owned by `arena` (the objects view
// into it).
using ObjStmMap = std::unordered_map<std::uint32_t, PdfObject>;
Result<ObjStmMap> parse_objstm(const PdfDict& dict, std::string_view body, Arena& arena);

} // namespace quarvel
