#include "docinfo/outline.h"

namespace quarvel::docinfo {

std::vector<OutlineEntry> read_outline(const Document&) { return {}; }

std::optional<std::vector<std::string>> read_page_labels(const Document&) { return std::nullopt; }

} // namespace quarvel::docinfo
