// The document's outline (bookmarks) and page labels, read from the
// catalogue without interpreting any page content.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "docinfo/destinations.h"
#include "file/document.h"

namespace quarvel::docinfo {

// One bookmark, depth first.
struct OutlineEntry {
    int level = 1; // 1 for the outline's top level
    std::string title; // UTF-8
    std::optional<std::uint32_t> page; // 0-based, where the destination is in this document
    std::optional<double> top;         // the destination's y in user space, where given
    std::optional<std::string> uri;    // a /URI action's target
};

// Every bookmark that could be read; a broken outline gives what was read
// before the break. An item reached a second time (a /Next or /First that
// comes back) ends its chain; levels deeper than limits::kMaxOutlineDepth
// are left out, and the walk stops after limits::kMaxOutlineEntries.
std::vector<OutlineEntry> read_outline(const Document& document);
std::vector<OutlineEntry> read_outline(const Document& document, const Destinations& destinations);

// One label per page, or nothing when the document has no /PageLabels.
std::optional<std::vector<std::string>> read_page_labels(const Document& document);
std::optional<std::vector<std::string>> read_page_labels(const Document& document,
                                                         std::size_t page_count);

} // namespace quarvel::docinfo
