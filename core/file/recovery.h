// Rebuilding the cross-reference data by scanning the file for object
// headers, when the file's own cross-reference section cannot be read.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "syntax/error.h"
#include "file/xref.h"
#include "syntax/types.h"

namespace quarvel {

// What the recovery scanner sees of one dictionary entry.
struct PdfObj {
    enum class Kind { Name, Ref, Other, Dict };
    // User-provided, so that clang does not instantiate the entry vector's
    // constructor while PdfObj (inside the pair) is still incomplete.
    PdfObj() {}
    Kind kind = Kind::Other;
    std::string_view name;                                 // Name: bytes after the slash
    ObjectId ref;                                          // Ref
    std::vector<std::pair<std::string_view, PdfObj>> dict; // Dict: entries in file order
};

Result<XrefSection> recover_xref_by_scan(std::string_view data);

// What the full reader's recovery learns from the same scan: every header
// (later ones winning) and, in file order, the /Root of each trailer and
// cross-reference stream dictionary, the object streams and the catalogues
// written as plain objects. Objects inside object streams are the caller's
// to index: it can decode them.
struct ObjectScan {
    XrefMap map;
    std::uint32_t max_num = 0;
    std::vector<ObjectId> trailer_roots;
    std::vector<std::uint32_t> object_streams;
    std::vector<std::uint32_t> catalogs;
    // Where each `trailer` keyword stands, and the numbers of the
    // cross-reference streams: an encrypted file's /ID is read from the
    // last of them.
    std::vector<std::size_t> trailers;
    std::vector<std::uint32_t> xref_streams;
    std::optional<ObjectId> encrypt;
};
ObjectScan scan_objects(std::string_view data);

// Scans the dictionary after the `obj` keyword at `pos`: nothing, Other (not
// a dictionary) or Dict.
std::optional<PdfObj> try_parse_object_at(std::string_view data, std::size_t pos);

} // namespace quarvel
