// Layout: positioned characters to spans, columns, lines and blocks, with
// hyphenated line ends joined.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "content/content_stream.h"

namespace quarvel {

// x0, y0, x1, y1 in the page's user space, y upwards.
using BBox = std::array<double, 4>;

// The style bits of a full-reader span (span_flags) are the font layer's:
// fonts/font_style.h, included through content/content_stream.h.

struct TextSpan {
    std::string text; // UTF-8
    std::string font;
    double size = 0;
    std::uint32_t color = 0;
    std::uint32_t flags = 0; // span_flags bits (full reader)
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

// The layout stage: the page's characters, in content order, grouped into
// spans, split into two columns when the spans' left edges form two clear
// clusters, then into lines and blocks with hyphenated line ends joined.
// `size` scales every grouping distance; the column split uses page units.
// Never fails: NaN and infinite coordinates give degraded groupings.
std::vector<TextBlock> cluster_chars(std::span<const CharInfo> chars, std::string_view font,
                                     std::uint32_t color, double size);

// A span over a non-empty run of characters: their text in order, and the
// box over their edges with NaN values skipped.
TextSpan make_span(std::vector<CharInfo> characters, std::string_view font, std::uint32_t color,
                   double size);

// The x coordinate that divides the spans into a left column (x0 < split) and
// a right one, or nothing when their left edges do not form two columns.
std::optional<double> find_column_split(std::span<const TextSpan> spans);

// Spans of one column into lines, ordered by ascending y0 (bottom of the page
// first); each line's spans run left to right.
std::vector<TextLine> build_lines(std::vector<TextSpan> spans, double size);

// Consecutive lines into blocks, a new block where the vertical gap to the
// previous line exceeds 1.5 `size`.
std::vector<TextBlock> build_blocks(std::vector<TextLine> lines, double size);

// Within each block, joins a line ending in "-" with the next line when that
// one starts with a lower-case ASCII letter, dropping the hyphen from the span
// text only (its character and box stay). Repeats until nothing joins, so
// chains of hyphenated lines become one line.
std::vector<TextBlock> merge_hyphenated_lines(std::vector<TextBlock> blocks);

} // namespace quarvel
