// Links: the external hyperlinks of every page, and on request the links
// that go to a place in the same document.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "file/document.h"

namespace quarvel {

struct PageLink {
    std::string uri; // UTF-8; empty for an internal link
    std::array<double, 4> bbox{};
    std::uint32_t page = 0; // 0-based position in the page list
    // A link to a place in this document: the page it goes to (0-based) and
    // the destination's y in user space where it gives one.
    bool internal = false;
    std::optional<std::uint32_t> target_page{};
    std::optional<double> target_top{};
};

namespace links {

// The web links of every page in page and annotation order; with
// `internal`, the links to pages of this document among them.
Result<std::vector<PageLink>> extract_links(const Document& document, bool internal = false);

} // namespace links
} // namespace quarvel
