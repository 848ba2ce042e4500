// Layout: positioned characters to spans, columns, lines and blocks, with
// hyphenated line ends joined.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "parser/content_stream.h"

namespace quarvel {

// x0, y0, x1, y1 in the page's user space, y upwards.
using BBox = std::array<double, 4>;

struct TextSpan {
    std::string text; // UTF-8
    std::string font;
    double size = 0;
    std::uint32_t color = 0;
    BBox bbox{};
    std::vector<CharInfo> chars;
};

struct TextLine {
    std::vector<TextSpan> spans;
    BBox bbox{};
};

struct TextBlock {
    std::vector<TextLine> lines;
    BBox bbox{};
};

std::vector<TextBlock> cluster_chars(std::span<const CharInfo> chars, std::string_view font,
                                     std::uint32_t color, double size);
TextSpan make_span(std::vector<CharInfo> characters, std::string_view font, std::uint32_t color,
                   double size);
std::vector<TextLine> build_lines(std::vector<TextSpan> spans, double size);
std::vector<TextBlock> build_blocks(std::vector<TextLine> lines, double size);
std::vector<TextBlock> merge_hyphenated_lines(std::vector<TextBlock> blocks);

} // namespace quarvel
