#include "layout/reading_order.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace quarvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Characters of `text` set along a baseline from (x, y), 0.5 size wide each,
// drawn with `font` at `size`, the baseline turned `rotation` quarter turns.
void draw(std::vector<CharInfo>& out, std::u32string_view text, double x, double y,
          double size = 10, std::uint32_t font = 1, std::uint8_t rotation = 0) {
    const double w = 0.5 * size;
    for (const char32_t ch : text) {
        CharInfo c{};
        switch (rotation) {
        case 0: c = {x, y - 0.2 * size, x + w, y + 0.8 * size, ch}; x += w; break;
        case 1: c = {x - 0.8 * size, y, x + 0.2 * size, y + w, ch}; y += w; break;
        case 2: c = {x - w, y - 0.8 * size, x, y + 0.2 * size, ch}; x -= w; break;
        default: c = {x - 0.2 * size, y - w, x + 0.8 * size, y, ch}; y -= w; break;
        }
        c.font = font;
        c.size = static_cast<float>(size);
        c.rotation = rotation;
        out.push_back(c);
    }
}

const std::vector<std::string> kFonts{"", "ABCDEF+Serif-Regular", "Sans-Bold"};

std::vector<TextBlock> lay_out(const std::vector<CharInfo>& chars, PageGeometry page = {}) {
    return lay_out_page(chars, kFonts, "F0", page);
}

// Lines joined by '\n', blocks by "\n\n".
std::string text_of(const std::vector<TextBlock>& blocks) {
    std::string out;
    for (const TextBlock& b : blocks) {
        if (!out.empty()) out += "\n\n";
        for (std::size_t i = 0; i < b.lines.size(); ++i) {
            if (i > 0) out += '\n';
            for (const TextSpan& s : b.lines[i].spans)
                out += s.text;
        }
    }
    return out;
}

TEST(FullLayout, ReadsEachColumnFullyBeforeTheNextWhateverTheContentOrder) {
    // Drawn row by row across three columns.
    std::vector<CharInfo> chars;
    const char32_t* rows[3][3] = {{U"alpha one", U"beta one", U"gamma one"},
                                  {U"alpha two", U"beta two", U"gamma two"},
                                  {U"alpha three", U"beta three", U"gamma three"}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            draw(chars, rows[r][c], 50 + 180 * c, 700 - 12 * r);
    EXPECT_EQ(text_of(lay_out(chars)), "alpha one\nalpha two\nalpha three\n\n"
                                       "beta one\nbeta two\nbeta three\n\n"
                                       "gamma one\ngamma two\ngamma three");
}

TEST(FullLayout, ColumnsLessThanASizeApartAreStillReadOneAfterTheOther) {
    // Justified lines of two columns a little under a font size apart, as
    // narrow-gutter papers set them: the gap is no word space.
    std::vector<CharInfo> chars;
    const char32_t* left[3] = {U"left text one runs", U"left text two runs", U"left text end"};
    const char32_t* right[3] = {U"right side one", U"right side two", U"right side end"};
    for (int r = 0; r < 3; ++r) {
        draw(chars, left[r], 50, 700 - 12 * r);
        draw(chars, right[r], 50 + 5 * 18 + 9.5, 700 - 12 * r);
    }
    EXPECT_EQ(text_of(lay_out(chars)), "left text one runs\nleft text two runs\nleft text end\n\n"
                                       "right side one\nright side two\nright side end");
}

TEST(FullLayout, SpansEndAtFontSizeAndBaselineChangesAndCarryTheirFont) {
    std::vector<CharInfo> chars;
    draw(chars, U"plain", 50, 700, 10, 1);
    draw(chars, U"bold", 75, 700, 10, 2);
    draw(chars, U"big", 95, 700, 14, 2);
    draw(chars, U"2", 116, 704, 10, 2); // a superscript
    const std::vector<TextBlock> blocks = lay_out(chars);
    ASSERT_EQ(blocks.size(), 1u);
    ASSERT_EQ(blocks[0].lines.size(), 1u);
    const std::vector<TextSpan>& spans = blocks[0].lines[0].spans;
    ASSERT_EQ(spans.size(), 4u);
    EXPECT_EQ(spans[0].text, "plain");
    EXPECT_EQ(spans[0].font, "Serif-Regular");
    EXPECT_EQ(spans[1].font, "Sans-Bold");
    EXPECT_EQ(spans[2].size, 14);
    EXPECT_EQ(spans[3].text, "2");
    EXPECT_EQ(spans[0].color, 0u);
}

TEST(FullLayout, WordSpacesComeFromGapsNotFromDrawnSpacesAlone) {
    std::vector<CharInfo> chars;
    draw(chars, U"tight", 50, 700);
    draw(chars, U"words", 50 + 25 + 2.5, 700);  // a quarter-size gap: a new word
    draw(chars, U"kern", 102.5 + 0.5, 700);   // a twentieth: the same word
    draw(chars, U" spaced", 123 + 3, 700);    // a drawn space after a gap: one space
    const std::vector<TextBlock> blocks = lay_out(chars);
    EXPECT_EQ(text_of(blocks), "tight wordskern spaced");
}

TEST(FullLayout, HyphenatedWordsJoinAcrossLinesAndColumnsOnlyBeforeLowerCase) {
    std::vector<CharInfo> chars;
    draw(chars, U"the read-", 50, 700);
    draw(chars, U"ing order and a", 50, 688);
    draw(chars, U"long-", 50, 676);
    draw(chars, U"Term item ends with a", 50, 664);
    draw(chars, U"col-", 50, 652);
    draw(chars, U"umn break here", 250, 700);
    draw(chars, U"and goes on", 250, 688);
    EXPECT_EQ(text_of(lay_out(chars)), "the reading order and a\nlong-\nTerm item ends with a\n"
                                       "column break here\n\nand goes on");
}

TEST(FullLayout, RotatedPagesAndTextReadInTheirDisplayedOrientation) {
    // A page shown a quarter turn clockwise, its text drawn upwards so that
    // it reads upright: displayed lines go down as user-space x grows.
    std::vector<CharInfo> chars;
    draw(chars, U"second line", 120, 100, 10, 1, 1);
    draw(chars, U"first line", 108, 100, 10, 1, 1);
    draw(chars, U"sideways note", 300, 300, 10, 1, 0);
    PageGeometry page;
    page.quarter_turns = 1;
    const std::vector<TextBlock> blocks = lay_out(chars, page);
    EXPECT_EQ(text_of(blocks), "first line\nsecond line\n\nsideways note");
    // Coordinates stay in user space: the upright lines are tall and narrow.
    const BBox& line = blocks[0].lines[0].bbox;
    EXPECT_GT(line[3] - line[1], line[2] - line[0]);
    // Upside-down text reads right to left in user space.
    std::vector<CharInfo> flipped;
    draw(flipped, U"upside down", 300, 300, 10, 1, 2);
    EXPECT_EQ(text_of(lay_out(flipped)), "upside down");
}

TEST(FullLayout, RightToLeftLinesReadFromTheRightInEitherDrawingOrder) {
    std::vector<CharInfo> visual, logical;
    // Hebrew alef-bet-gimel drawn left to right as it is displayed...
    draw(visual, U"\u05D2\u05D1\u05D0", 50, 700);
    // ...and in reading order, right to left.
    for (int i = 0; i < 3; ++i)
        draw(logical, std::u32string(1, U"\u05D0\u05D1\u05D2"[i]), 60 - 5 * i, 700);
    EXPECT_EQ(text_of(lay_out(visual)), "\u05D0\u05D1\u05D2");
    EXPECT_EQ(text_of(lay_out(logical)), "\u05D0\u05D1\u05D2");
}

TEST(FullLayout, HeadingsAndCaptionsAreBlocksOfTheirOwn) {
    std::vector<CharInfo> chars;
    draw(chars, U"A Heading Over Both", 120, 740, 18);
    draw(chars, U"left column line one", 50, 700);
    draw(chars, U"left column line two", 50, 688);
    draw(chars, U"right one", 300, 700);
    draw(chars, U"right two", 300, 688);
    draw(chars, U"Figure 1: a caption", 50, 660, 7);
    EXPECT_EQ(text_of(lay_out(chars)),
              "A Heading Over Both\n\nleft column line one\nleft column line two\n\n"
              "Figure 1: a caption\n\nright one\nright two");
}

TEST(FullLayout, CharactersOutsideThePageOrNotFiniteAreLeftOut) {
    std::vector<CharInfo> chars;
    draw(chars, U"inside", 50, 100);
    draw(chars, U"outside", 400, 100);
    // Crosses the right edge: each character is kept unless it lies wholly
    // outside.
    draw(chars, U"edge", 190, 100);
    for (const double bad : {kNaN, kInf, -kInf})
        chars.push_back({bad, 100, 60, 110, U'z', 1, 10});
    chars.push_back({50, 150, 55, 160, U'n', 1, static_cast<float>(kNaN)});
    PageGeometry page;
    page.box = {0, 0, 200, 200};
    const std::string text = text_of(lay_out(chars, page));
    EXPECT_EQ(text.find("outside"), std::string::npos);
    EXPECT_NE(text.find("inside"), std::string::npos);
    EXPECT_NE(text.find("edg"), std::string::npos);
    EXPECT_EQ(text.find("edge"), std::string::npos);
    EXPECT_EQ(text.find('z'), std::string::npos);
}

TEST(FullLayout, ManyCharactersTakeNearLinearTimeAndTheSameResultTwice) {
    // 200,000 characters: dense lines, and a staircase that gives the
    // whitespace cuts something to peel at every level.
    std::vector<CharInfo> chars;
    for (int line = 0; line < 1000; ++line)
        draw(chars, std::u32string(100, U'm'), 20, 10000 - 12 * line, 10);
    for (int i = 0; i < 100000; ++i)
        draw(chars, U"s", 1000 + 7.0 * i, 0.37 * i + 0.001 * i * i, 10);
    const auto start = std::chrono::steady_clock::now();
    const std::vector<TextBlock> first = lay_out(chars);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 10.0);
    EXPECT_EQ(text_of(first), text_of(lay_out(chars)));
}

TEST(FullLayout, SubsetTagsAreDroppedFromFontNames) {
    EXPECT_EQ(strip_subset_tag("ABCDEF+Times-Roman"), "Times-Roman");
    EXPECT_EQ(strip_subset_tag("abcdef+Times"), "abcdef+Times");
    EXPECT_EQ(strip_subset_tag("ABCDEF+"), "ABCDEF+");
    EXPECT_EQ(strip_subset_tag("F1"), "F1");
}

} // namespace
} // namespace quarvel
