#include "layout.h"

namespace quarvel {

std::vector<TextBlock> cluster_chars(std::span<const CharInfo>, std::string_view, std::uint32_t,
                                     double) {
    return {};
}
TextSpan make_span(std::vector<CharInfo>, std::string_view, std::uint32_t, double) { return {}; }
std::vector<TextLine> build_lines(std::vector<TextSpan>, double) { return {}; }
std::vector<TextBlock> build_blocks(std::vector<TextLine>, double) { return {}; }
std::vector<TextBlock> merge_hyphenated_lines(std::vector<TextBlock> blocks) { return blocks; }

} // namespace quarvel
