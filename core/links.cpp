#include "links.h"

namespace quarvel::links {

Result<std::vector<PageLink>> extract_links(const Document&) {
    return std::vector<PageLink>{};
}

} // namespace quarvel::links
