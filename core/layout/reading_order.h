// The full reader's layout: characters with their fonts and sizes into spans
// with word spaces, columns found by whitespace cuts, lines in reading order,
// paragraphs as blocks, and hyphenated words joined across lines and columns.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "content/content_stream.h"
#include "layout/layout.h"

namespace quarvel {

// What the layout needs to know about the page itself.
struct PageGeometry {
    // The visible area (/CropBox, else /MediaBox) in user space, normalised
    // so that box[0] <= box[2] and box[1] <= box[3]. Characters entirely
    // outside it are left out.
    BBox box{-1e300, -1e300, 1e300, 1e300};
    // /Rotate in clockwise quarter turns, 0..3: text whose baseline turns
    // with the page is the page's upright text and is read first.
    int quarter_turns = 0;
};

// The width of a gap between two glyphs on one baseline, as a fraction of
// the font size, above which the gap separates words. On the 65 corpus files
// whose glyphs are placed well (bench/reading_order.py above 0.7), word
// order against pdftotext scores the same at 0.10 and 0.15 and falls from
// 0.20 (0.9076, 0.9076, 0.9063, 0.891 at 0.25): 0.15 keeps clear of both
// tight word spaces and loose tracking.
inline constexpr double kWordGapFraction = 0.15;

// The full reader's page layout. `fonts` names the fonts that CharInfo::font
// indexes; a character whose font has no name there is labelled
// `fallback_font`. Every coordinate that reaches the result stays in the
// page's unrotated user space. Deterministic; NaN and infinite coordinates
// leave their characters out; O(n log n) in the characters.
std::vector<TextBlock> lay_out_page(std::span<const CharInfo> chars,
                                    std::span<const std::string> fonts,
                                    std::string_view fallback_font, const PageGeometry& page);

// A font name without its subset tag: "ABCDEF+Name" gives "Name".
std::string_view strip_subset_tag(std::string_view name);

} // namespace quarvel
