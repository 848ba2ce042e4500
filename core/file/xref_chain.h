// The full reader's cross-reference data: every section of the file, from
// the newest back through /Prev and hybrid files' /XRefStm, newer entries
// winning, with tolerance for offsets that point a few bytes off.
#pragma once

#include <cstddef>
#include <string_view>

#include "file/xref.h"
#include "syntax/arena.h"
#include "syntax/error.h"

namespace quarvel {

// The merged sections; the trailer and trailer dictionary are the newest
// section's. Fails when startxref is missing or any section of the chain
// cannot be read, so that the caller falls back to the recovery scan.
Result<XrefSection> read_xref_chain(std::string_view data, Arena& arena);

// Where a section really starts when `offset` points a little off: the
// offset itself when an `xref` keyword or an `N G obj` header stands there
// (after whitespace), else the nearest one within
// limits::kXrefOffsetSlack bytes either side.
std::optional<std::size_t> locate_xref_section(std::string_view data, std::size_t offset);

} // namespace quarvel
