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

// Scans the dictionary after the `obj` keyword at `pos`: nothing, Other (not
// a dictionary) or Dict.
std::optional<PdfObj> try_parse_object_at(std::string_view data, std::size_t pos);

} // namespace quarvel
