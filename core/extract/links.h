// Links: the external hyperlinks of every page.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "file/document.h"

namespace quarvel {

struct PageLink {
    std::string uri; // UTF-8
    std::array<double, 4> bbox{};
    std::uint32_t page = 0; // 0-based position in the page list
};

namespace links {

Result<std::vector<PageLink>> extract_links(const Document& document);

} // namespace links
} // namespace quarvel
