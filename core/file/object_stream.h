// Object streams and indirect stream objects read straight from the file:
// the raw reader the cross-reference stream and object-stream code share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>

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

// The objects packed in an object stream, by object number. `body` is the
// decoded body, already owned by `arena` (the objects view into it).
using ObjStmMap = std::unordered_map<std::uint32_t, PdfObject>;
Result<ObjStmMap> parse_objstm(const PdfDict& dict, std::string_view body, Arena& arena);

} // namespace quarvel
