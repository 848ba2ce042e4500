// Name trees and number trees (/Dests names, /PageLabels): every leaf pair
// in key order, the walk bounded and safe from /Kids that come back.
#pragma once

#include <functional>
#include <string_view>

#include "file/document.h"

namespace quarvel::docinfo {

// The catalogue dictionary, or nothing when /Root does not lead to one.
ObjectPtr catalog(const Document& document);

// The value under `key` in a dictionary, resolved; null when absent. The
// pointer keeps whatever holds the value alive.
ObjectPtr get_resolved(const Document& document, const ObjectPtr& dict, std::string_view key);

// Calls `visit(key, value)` for each pair of the tree's leaves (`leaf_key`
// is "Names" or "Nums"), depth first in /Kids order, values as written
// (a large tree's values are mostly never asked for, so none is read). A
// node reached a second time, deeper than limits::kMaxTreeDepth or past
// limits::kMaxTreeNodes is skipped with what lies under it; what was read
// before stays. `visit` returns false to stop.
void walk_tree(const Document& document, const ObjectPtr& root, std::string_view leaf_key,
               const std::function<bool(const PdfObject& key, const ObjectPtr& value)>& visit);

} // namespace quarvel::docinfo
