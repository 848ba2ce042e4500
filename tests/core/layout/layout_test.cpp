#include "layout/layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "syntax/text.h"

namespace quarvel {
namespace {

constexpr double kSize = 12;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();

CharInfo glyph(double x0, double y0, double x1, double y1, char32_t ch = U'x') {
    return CharInfo{x0, y0, x1, y1, ch};
}

// A word of ASCII letters set at 6 units per character from `x`, 12 high.
std::vector<CharInfo> word(std::string_view text, double x, double y) {
    std::vector<CharInfo> out;
    for (char c : text) {
        out.push_back(glyph(x, y, x + 6, y + 12, static_cast<unsigned char>(c)));
        x += 6;
    }
    return out;
}

// A span of one character per UTF-32 unit of `text`, with exactly the given
// box (NaN edges included, which make_span would skip).
TextSpan span_of(std::u32string_view text, double x0, double y0, double x1, double y1) {
    std::vector<CharInfo> chars;
    for (char32_t c : text)
        chars.push_back(glyph(x0, y0, x1, y1, c));
    TextSpan s = make_span(std::move(chars), "F1", 0, kSize);
    s.bbox = {x0, y0, x1, y1};
    return s;
}

TextSpan box_span(double x0, double y0, double x1, double y1) {
    return span_of(U"x", x0, y0, x1, y1);
}

TextLine line_of(std::vector<std::u32string_view> texts, double y) {
    TextLine line;
    double x = 0;
    for (std::u32string_view t : texts) {
        const double w = 6 * static_cast<double>(t.size());
        line.spans.push_back(span_of(t, x, y, x + w, y + 12));
        x += w;
    }
    line.bbox = {0, y, x, y + 12};
    return line;
}

TextBlock block_of(std::vector<TextLine> lines) {
    TextBlock block;
    block.bbox = {kMax, kMax, -kMax, -kMax};
    for (const TextLine& l : lines) {
        block.bbox = {std::min(block.bbox[0], l.bbox[0]), std::min(block.bbox[1], l.bbox[1]),
                      std::max(block.bbox[2], l.bbox[2]), std::max(block.bbox[3], l.bbox[3])};
    }
    block.lines = std::move(lines);
    return block;
}

std::vector<const TextSpan*> all_spans(const std::vector<TextBlock>& blocks) {
    std::vector<const TextSpan*> out;
    for (const TextBlock& b : blocks) {
        for (const TextLine& l : b.lines) {
            for (const TextSpan& s : l.spans)
                out.push_back(&s);
        }
    }
    return out;
}

std::vector<std::string> span_texts(const TextLine& line) {
    std::vector<std::string> out;
    for (const TextSpan& s : line.spans)
        out.push_back(s.text);
    return out;
}

std::string line_text(const TextLine& line) {
    std::string out;
    for (const TextSpan& s : line.spans)
        out += s.text;
    return out;
}

bool same_box(const BBox& a, const BBox& b) {
    for (std::size_t i = 0; i < 4; ++i) {
        if (!(a[i] == b[i] || (std::isnan(a[i]) && std::isnan(b[i])))) return false;
    }
    return true;
}

// ---- spans ---------------------------------------------------------------

TEST(MakeSpan, CopiesLabelsAndEncodesTextInOrder) {
    TextSpan s = make_span({glyph(0, 0, 6, 12, U'a'), glyph(6, 0, 12, 12, U'\u00E9'),
                            glyph(12, 0, 18, 12, U'\U0001F600')},
                           "Helvetica", 0x112233, kSize);
    EXPECT_EQ(s.text, "a\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(s.font, "Helvetica");
    EXPECT_EQ(s.color, 0x112233u);
    EXPECT_EQ(s.size, kSize);
    ASSERT_EQ(s.chars.size(), 3u);
    EXPECT_EQ(s.chars[1].ch, U'\u00E9');
    EXPECT_EQ(s.bbox, (BBox{0, 0, 18, 12}));
}

TEST(MakeSpan, BoxSkipsNaNAndKeepsStartingValuesWhenNothingIsLeft) {
    TextSpan s = make_span({glyph(5, kNaN, 9, 20), glyph(kNaN, 3, kNaN, 14)}, "F", 0, kSize);
    EXPECT_EQ(s.bbox, (BBox{5, 3, 9, 20}));

    TextSpan all_nan = make_span({glyph(kNaN, kNaN, kNaN, kNaN)}, "F", 0, kSize);
    EXPECT_EQ(all_nan.bbox, (BBox{kMax, kMax, -kMax, -kMax}));
}

TEST(ClusterChars, NoCharactersGiveNoBlocksAndOneGivesOneOfEach) {
    EXPECT_TRUE(cluster_chars({}, "F", 0, kSize).empty());

    const std::vector<CharInfo> one{glyph(10, 20, 16, 32, U'Q')};
    auto blocks = cluster_chars(one, "F1", 7, kSize);
    ASSERT_EQ(blocks.size(), 1u);
    ASSERT_EQ(blocks[0].lines.size(), 1u);
    ASSERT_EQ(blocks[0].lines[0].spans.size(), 1u);
    EXPECT_EQ(blocks[0].lines[0].spans[0].text, "Q");
    EXPECT_EQ(blocks[0].bbox, (BBox{10, 20, 16, 32}));
    EXPECT_EQ(blocks[0].lines[0].bbox, (BBox{10, 20, 16, 32}));
}

struct SpanJoinCase {
    const char* name;
    double gap;  // second character's x0 minus first's x1
    double rise; // second character's y0 minus first's
    std::size_t spans;
};

class SpanJoin : public ::testing::TestWithParam<SpanJoinCase> {};

// With size 12 a character joins its predecessor for gaps in (-6, 3.6) and
// rises below 6; every edge is exclusive and anything non-finite splits.
TEST_P(SpanJoin, ThresholdsAreStrict) {
    const SpanJoinCase& c = GetParam();
    const std::vector<CharInfo> chars{glyph(4, 100, 10, 112, U'a'),
                                      glyph(10 + c.gap, 100 + c.rise, 16 + c.gap, 112, U'b')};
    EXPECT_EQ(all_spans(cluster_chars(chars, "F", 0, kSize)).size(), c.spans);
}

INSTANTIATE_TEST_SUITE_P(
    Size12, SpanJoin,
    ::testing::Values(SpanJoinCase{"Touching", 0, 0, 1}, SpanJoinCase{"Gap3_5", 3.5, 0, 1},
                      SpanJoinCase{"Gap3_6", 3.6, 0, 2}, SpanJoinCase{"Overlap5_9", -5.9, 0, 1},
                      SpanJoinCase{"Overlap6", -6, 0, 2}, SpanJoinCase{"Rise5_9", 0, 5.9, 1},
                      SpanJoinCase{"Rise6", 0, 6, 2}, SpanJoinCase{"Drop6", 0, -6, 2},
                      SpanJoinCase{"NaNGap", kNaN, 0, 2}, SpanJoinCase{"NaNRise", 0, kNaN, 2},
                      SpanJoinCase{"InfiniteGap", kInf, 0, 2},
                      SpanJoinCase{"NegativeInfiniteGap", -kInf, 0, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ClusterChars, GapOfExactly3_6BetweenLiteralEdgesSplits) {
    const std::vector<CharInfo> chars{glyph(-6, 0, 0, 12), glyph(3.6, 0, 9.6, 12)};
    EXPECT_EQ(all_spans(cluster_chars(chars, "F", 0, kSize)).size(), 2u);
}

class LongRun : public ::testing::TestWithParam<std::size_t> {};

// Runs longer than the inline buffer move to the heap without losing or
// reordering characters.
TEST_P(LongRun, KeepsEveryCharacterInOrder) {
    std::string text;
    for (std::size_t i = 0; i < GetParam(); ++i)
        text += static_cast<char>('a' + i % 26);
    const std::vector<CharInfo> chars = word(text, 0, 0);
    const auto blocks = cluster_chars(chars, "F", 0, kSize);
    auto spans = all_spans(blocks);
    ASSERT_EQ(spans.size(), 1u);
    EXPECT_EQ(spans[0]->text, text);
    ASSERT_EQ(spans[0]->chars.size(), chars.size());
    for (std::size_t i = 0; i < chars.size(); ++i)
        EXPECT_EQ(spans[0]->chars[i].x0, chars[i].x0);
    EXPECT_EQ(spans[0]->bbox, (BBox{0, 0, 6 * static_cast<double>(text.size()), 12}));
}

INSTANTIATE_TEST_SUITE_P(AroundInlineCapacity, LongRun, ::testing::Values(15, 16, 17, 33, 200));

TEST(ClusterChars, ConsecutiveRunsAfterASpillStartClean) {
    std::vector<CharInfo> chars = word("abcdefghijklmnopqrstuvwxyz", 0, 0);
    for (const CharInfo& c : word("short", 500, 0))
        chars.push_back(c);
    for (const CharInfo& c : word("abcdefghijklmnopqrstu", 0, 300))
        chars.push_back(c);
    std::vector<std::string> texts;
    const auto blocks = cluster_chars(chars, "F", 0, kSize);
    for (const TextSpan* s : all_spans(blocks)) {
        texts.push_back(s->text);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"abcdefghijklmnopqrstuvwxyz", "short",
                                               "abcdefghijklmnopqrstu"}));
}

// ---- column split --------------------------------------------------------

std::vector<TextSpan> spans_at(const std::vector<double>& left_edges) {
    std::vector<TextSpan> spans;
    double y = 100;
    for (double x : left_edges) {
        spans.push_back(span_of(U"w", x, y, x + 20, y + 12));
        y += 14;
    }
    return spans;
}

std::vector<double> repeat(double x, int n) {
    return std::vector<double>(n, x);
}

std::vector<double> concat(std::initializer_list<std::vector<double>> parts) {
    std::vector<double> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(ColumnSplit, TwoClustersSplitInTheValley) {
    // range 300, 20 bins of 15; peaks at bins 0 and 19 of height 10/6, the
    // first empty smoothed bin 6 is the valley: 50 + 6.5 * 15.
    EXPECT_EQ(find_column_split(spans_at(concat({repeat(50, 10), repeat(350, 10)}))), 147.5);
    std::vector<double> interleaved;
    for (int i = 0; i < 10; ++i)
        interleaved.insert(interleaved.end(), {350, 50});
    EXPECT_EQ(find_column_split(spans_at(interleaved)), 147.5);
}

struct RefusalCase {
    const char* name;
    std::vector<double> left_edges;
};

class ColumnRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ColumnRefusal, GivesOneColumn) {
    EXPECT_EQ(find_column_split(spans_at(GetParam().left_edges)), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ColumnRefusal,
    ::testing::Values(
        RefusalCase{"FiveSpansFarApart", {0, 400, 0, 400, 800}},
        RefusalCase{"RangeBelow100",
                    {0, 90. / 11, 180. / 11, 270. / 11, 360. / 11, 450. / 11, 540. / 11, 630. / 11,
                     720. / 11, 810. / 11, 900. / 11, 90}},
        RefusalCase{"LoneSpanOnTheRight", concat({repeat(50, 10), {350}})},
        // Eight spans in every bin between the clusters: the valley (8) is
        // above 0.85 of the peaks (50/6).
        RefusalCase{
            "ShallowValley",
            concat({repeat(50, 10),   repeat(350, 10),  repeat(72.5, 8),  repeat(87.5, 8),
                    repeat(102.5, 8), repeat(117.5, 8), repeat(132.5, 8), repeat(147.5, 8),
                    repeat(162.5, 8), repeat(177.5, 8), repeat(192.5, 8), repeat(207.5, 8),
                    repeat(222.5, 8), repeat(237.5, 8), repeat(252.5, 8), repeat(267.5, 8),
                    repeat(282.5, 8), repeat(297.5, 8), repeat(312.5, 8), repeat(327.5, 8)})},
        // Exactly two peaks, bins 16 and 19: too close to be two columns.
        RefusalCase{"TwoClosePeaks", concat({{0}, repeat(15, 5), {90, 165, 300}})},
        RefusalCase{"AllNaN", repeat(kNaN, 8)}, RefusalCase{"AllInfinite", repeat(kInf, 8)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ColumnSplit, CloseSecondPeakGivesWayToTheNextFarOne) {
    // Peaks by height: bin 2 (17/8), bin 0 (12/6), bin 19 (5/6). Bin 0 is
    // too close to bin 2, so bin 19 pairs with it; the valley is bin 13.
    EXPECT_EQ(find_column_split(spans_at(concat({repeat(0, 12), repeat(105, 5), repeat(300, 5)}))),
              202.5);
}

TEST(ColumnSplit, NonFiniteEdgesNeverCrashAndNaNGoesRight) {
    EXPECT_EQ(
        find_column_split(spans_at(concat({repeat(50, 10), repeat(350, 10), repeat(kNaN, 2)}))),
        147.5);
    // Infinite and huge ranges clamp the bin count instead of converting an
    // out-of-range quotient; the answer itself is not pinned.
    (void)find_column_split(spans_at(concat({repeat(50, 10), repeat(350, 10), {-kInf, kInf}})));
    (void)find_column_split(spans_at(concat({repeat(-kMax, 10), repeat(kMax, 10)})));
    (void)find_column_split(spans_at(concat({repeat(0, 10), repeat(1e300, 10), {kNaN}})));
}

TEST(ClusterChars, LeftColumnBlocksComeFirst) {
    // Ten one-letter lines in each column, emitted alternately right and
    // left on the same baselines: without the split every baseline would
    // interleave the two columns in one block.
    std::vector<CharInfo> chars;
    for (int i = 0; i < 10; ++i) {
        const double y = 700 - 14 * i;
        chars.push_back(glyph(350, y, 356, y + 12, U'R'));
        chars.push_back(glyph(50, y, 56, y + 12, U'L'));
    }
    auto blocks = cluster_chars(chars, "F", 0, kSize);
    ASSERT_EQ(blocks.size(), 2u);
    std::string left, right;
    for (const TextLine& l : blocks[0].lines)
        left += line_text(l);
    for (const TextLine& l : blocks[1].lines)
        right += line_text(l);
    EXPECT_EQ(left, "LLLLLLLLLL");
    EXPECT_EQ(right, "RRRRRRRRRR");
    EXPECT_EQ(blocks[0].bbox, (BBox{50, 574, 56, 712}));
    EXPECT_EQ(blocks[1].bbox, (BBox{350, 574, 356, 712}));
}

// ---- lines and blocks ----------------------------------------------------

struct LineJoinCase {
    const char* name;
    double gap;
    double rise;
    std::size_t lines;
};

class LineJoin : public ::testing::TestWithParam<LineJoinCase> {};

// With size 12 a span joins the line for gaps in (-120, 60) and rises below
// 6. The second span sits slightly higher so the sort keeps it second.
TEST_P(LineJoin, ThresholdsAreStrict) {
    const LineJoinCase& c = GetParam();
    std::vector<TextSpan> spans;
    spans.push_back(box_span(0, 100, 50, 112));
    spans.push_back(box_span(50 + c.gap, 100 + c.rise, 100 + c.gap, 112 + c.rise));
    EXPECT_EQ(build_lines(std::move(spans), kSize).size(), c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Size12, LineJoin,
    ::testing::Values(LineJoinCase{"Gap59_9", 59.9, 0.5, 1}, LineJoinCase{"Gap60", 60, 0.5, 2},
                      LineJoinCase{"Gap_119_9", -119.9, 0.5, 1},
                      LineJoinCase{"Gap_120", -120, 0.5, 2}, LineJoinCase{"Rise5_9", 0, 5.9, 1},
                      LineJoinCase{"Rise6", 0, 6, 2}, LineJoinCase{"NaNGap", kNaN, 0.5, 2},
                      LineJoinCase{"InfiniteGap", kInf, 0.5, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BuildLines, SpansEmittedRightToLeftComeOutLeftToRight) {
    std::vector<TextSpan> spans;
    for (double x : {200, 100, 0})
        spans.push_back(box_span(x, 100, x + 50, 112));
    auto lines = build_lines(std::move(spans), kSize);
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(lines[0].spans.size(), 3u);
    EXPECT_EQ(lines[0].spans[0].bbox[0], 0);
    EXPECT_EQ(lines[0].spans[1].bbox[0], 100);
    EXPECT_EQ(lines[0].spans[2].bbox[0], 200);
    EXPECT_EQ(lines[0].bbox, (BBox{0, 100, 250, 112}));
}

TEST(BuildLines, LineSortKeepsEqualLeftEdgesInInputOrder) {
    std::vector<TextSpan> spans;
    spans.push_back(span_of(U"b", 10, 100.5, 20, 112));
    spans.push_back(span_of(U"a", 0, 100, 10, 112));
    spans.push_back(span_of(U"c", 10, 100.2, 20, 112));
    auto lines = build_lines(std::move(spans), kSize);
    ASSERT_EQ(lines.size(), 1u);
    // Sorted by y0 first (a, c, b), then within the line by x0 stably.
    EXPECT_EQ(span_texts(lines[0]), (std::vector<std::string>{"a", "c", "b"}));
}

TEST(BuildLines, ComparesWithTheSpanAddedLastNotTheRightmost) {
    std::vector<TextSpan> spans;
    spans.push_back(span_of(U"C", 0, 101, 50, 113));
    spans.push_back(span_of(U"B", 300, 100.5, 350, 112.5));
    spans.push_back(span_of(U"A", 0, 100, 50, 112));
    auto lines = build_lines(std::move(spans), kSize);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(line_text(lines[0]), "A");
    EXPECT_EQ(line_text(lines[1]), "B");
    EXPECT_EQ(line_text(lines[2]), "C");
}

TEST(BuildLines, LinesRunFromTheBottomOfThePageUp) {
    std::vector<TextSpan> spans;
    for (double y : {700, 686, 672})
        spans.push_back(box_span(0, y, 50, y + 12));
    auto lines = build_lines(std::move(spans), kSize);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].bbox[1], 672);
    EXPECT_EQ(lines[1].bbox[1], 686);
    EXPECT_EQ(lines[2].bbox[1], 700);
    auto blocks = build_blocks(std::move(lines), kSize);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].bbox, (BBox{0, 672, 50, 712}));
}

TEST(BuildLines, NaNCoordinatesSortLast) {
    std::vector<TextSpan> spans;
    spans.push_back(span_of(U"n1", kNaN, kNaN, kNaN, kNaN));
    spans.push_back(span_of(U"b", 0, 200, 10, 212));
    spans.push_back(span_of(U"n2", 0, kNaN, 10, 12));
    spans.push_back(span_of(U"a", 0, 100, 10, 112));
    spans.push_back(span_of(U"n3", kNaN, 50, kNaN, 62));
    spans.push_back(span_of(U"n4", kNaN, kNaN, 0, 12));
    auto lines = build_lines(std::move(spans), kSize);
    std::vector<std::string> texts;
    for (const TextLine& l : lines)
        texts.push_back(line_text(l));
    // NaN y0 after every number, then NaN x0 after every number, ties in
    // input order; no comparison with NaN joins a line.
    EXPECT_EQ(texts, (std::vector<std::string>{"n3", "a", "b", "n2", "n1", "n4"}));
    EXPECT_EQ(lines[0].bbox, (BBox{kMax, 50, -kMax, 62}));
}

struct BlockGapCase {
    const char* name;
    double second_baseline;
    std::size_t blocks;
};

class BlockGap : public ::testing::TestWithParam<BlockGapCase> {};

TEST_P(BlockGap, NewBlockOnlyAboveOneAndAHalfSizes) {
    std::vector<TextLine> lines;
    for (double y : {100.0, GetParam().second_baseline}) {
        TextLine l;
        l.spans.push_back(box_span(0, y, 50, y + 12));
        l.bbox = {0, y, 50, y + 12};
        lines.push_back(std::move(l));
    }
    auto blocks = build_blocks(std::move(lines), kSize);
    ASSERT_EQ(blocks.size(), GetParam().blocks);
    EXPECT_EQ(blocks.back().lines.size(), 3 - GetParam().blocks);
}

INSTANTIATE_TEST_SUITE_P(Size12, BlockGap,
                         ::testing::Values(BlockGapCase{"Gap18", 130, 1},
                                           BlockGapCase{"Gap18_5", 130.5, 2},
                                           BlockGapCase{"NaNGapJoins", kNaN, 1},
                                           BlockGapCase{"InfiniteGap", kInf, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(GroupingFunctions, EmptyInputGivesEmptyOutput) {
    EXPECT_TRUE(build_lines({}, kSize).empty());
    EXPECT_TRUE(build_blocks({}, kSize).empty());
    EXPECT_TRUE(merge_hyphenated_lines({}).empty());
}

// ---- hyphen merging ------------------------------------------------------

TEST(MergeHyphenatedLines, JoinsAWordSplitAtTheLineEnd) {
    std::vector<TextBlock> blocks;
    blocks.push_back(block_of({line_of({U"exam-"}, 100), line_of({U"ple"}, 114)}));
    const BBox before = blocks[0].bbox;
    auto out = merge_hyphenated_lines(std::move(blocks));
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].lines.size(), 1u);
    const TextLine& line = out[0].lines[0];
    EXPECT_EQ(span_texts(line), (std::vector<std::string>{"exam", "ple"}));
    EXPECT_EQ(line_text(line), "example");
    ASSERT_EQ(line.spans[0].chars.size(), 5u);
    EXPECT_EQ(line.spans[0].chars[4].ch, U'-');
    EXPECT_EQ(line.spans[0].bbox, (BBox{0, 100, 30, 112}));
    EXPECT_EQ(line.bbox, (BBox{0, 100, 30, 126}));
    EXPECT_EQ(out[0].bbox, before);
}

struct NonJoinCase {
    const char* name;
    std::u32string_view first;
    std::u32string_view second;
};

class HyphenNonJoin : public ::testing::TestWithParam<NonJoinCase> {};

TEST_P(HyphenNonJoin, LeavesBothLines) {
    std::vector<TextBlock> blocks;
    blocks.push_back(
        block_of({line_of({GetParam().first}, 100), line_of({GetParam().second}, 114)}));
    auto out = merge_hyphenated_lines(std::move(blocks));
    ASSERT_EQ(out[0].lines.size(), 2u);
    std::string first;
    for (char32_t c : GetParam().first)
        append_utf8(first, c);
    EXPECT_EQ(line_text(out[0].lines[0]), first);
}

INSTANTIATE_TEST_SUITE_P(Cases, HyphenNonJoin,
                         ::testing::Values(NonJoinCase{"CapitalNext", U"exam-", U"Ple"},
                                           NonJoinCase{"AccentedNext", U"exam-", U"\u00E9te"},
                                           NonJoinCase{"DigitNext", U"exam-", U"3d"},
                                           NonJoinCase{"SpaceNext", U"exam-", U" ple"},
                                           NonJoinCase{"EnDash", U"exam\u2013", U"ple"},
                                           NonJoinCase{"SoftHyphen", U"exam\u00AD", U"ple"},
                                           NonJoinCase{"HyphenThenSpace", U"exam- ", U"ple"},
                                           NonJoinCase{"NoHyphen", U"exam", U"ple"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MergeHyphenatedLines, ChainsJoinOverRepeatedPasses) {
    std::vector<TextBlock> blocks;
    blocks.push_back(
        block_of({line_of({U"a-"}, 100), line_of({U"b-"}, 114), line_of({U"c"}, 128)}));
    blocks.push_back(block_of({line_of({U"x-"}, 300), line_of({U"y"}, 314), line_of({U"z"}, 328)}));
    auto out = merge_hyphenated_lines(std::move(blocks));
    ASSERT_EQ(out.size(), 2u);
    ASSERT_EQ(out[0].lines.size(), 1u);
    EXPECT_EQ(span_texts(out[0].lines[0]), (std::vector<std::string>{"a", "b", "c"}));
    ASSERT_EQ(out[1].lines.size(), 2u);
    EXPECT_EQ(line_text(out[1].lines[0]), "xy");
    EXPECT_EQ(line_text(out[1].lines[1]), "z");
}

TEST(MergeHyphenatedLines, LongChainBecomesOneLine) {
    std::vector<TextLine> lines;
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        lines.push_back(line_of({i == 999 ? U"q" : U"q-"}, 100 + i));
        expected += "q";
    }
    std::vector<TextBlock> blocks;
    blocks.push_back(block_of(std::move(lines)));
    auto out = merge_hyphenated_lines(std::move(blocks));
    ASSERT_EQ(out[0].lines.size(), 1u);
    EXPECT_EQ(line_text(out[0].lines[0]), expected);
    EXPECT_EQ(out[0].lines[0].spans.size(), 1000u);
}

TEST(MergeHyphenatedLines, NeverJoinsAcrossBlocks) {
    std::vector<TextBlock> blocks;
    blocks.push_back(block_of({line_of({U"one"}, 100), line_of({U"exam-"}, 114)}));
    blocks.push_back(block_of({line_of({U"ple"}, 300)}));
    auto out = merge_hyphenated_lines(std::move(blocks));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(line_text(out[0].lines[1]), "exam-");
    EXPECT_EQ(line_text(out[1].lines[0]), "ple");
}

TEST(MergeHyphenatedLines, SingleLineBlockIsUntouched) {
    std::vector<TextBlock> blocks;
    blocks.push_back(block_of({line_of({U"exam-"}, 100)}));
    blocks[0].bbox = {1, 2, 3, 4}; // not recomputed for a block with one line
    auto out = merge_hyphenated_lines(std::move(blocks));
    EXPECT_EQ(line_text(out[0].lines[0]), "exam-");
    EXPECT_EQ(out[0].bbox, (BBox{1, 2, 3, 4}));
}

TEST(MergeHyphenatedLines, LoneHyphenSpanStaysEmpty) {
    std::vector<TextBlock> blocks;
    blocks.push_back(block_of({line_of({U"exam", U"-"}, 100), line_of({U"ple"}, 114)}));
    auto out = merge_hyphenated_lines(std::move(blocks));
    ASSERT_EQ(out[0].lines.size(), 1u);
    EXPECT_EQ(span_texts(out[0].lines[0]), (std::vector<std::string>{"exam", "", "ple"}));
    EXPECT_EQ(out[0].lines[0].spans[1].chars.size(), 1u);
}

TEST(MergeHyphenatedLines, RemovesOnlyOneTrailingHyphen) {
    std::vector<TextBlock> blocks;
    blocks.push_back(block_of({line_of({U"a--"}, 100), line_of({U"b"}, 114)}));
    auto out = merge_hyphenated_lines(std::move(blocks));
    EXPECT_EQ(line_text(out[0].lines[0]), "a-b");
}

// ---- whole stage ---------------------------------------------------------

TEST(ClusterChars, WordsBecomeLinesAndParagraphsBecomeBlocks) {
    std::vector<CharInfo> chars;
    auto add = [&](std::string_view text, double x, double y) {
        for (const CharInfo& c : word(text, x, y))
            chars.push_back(c);
    };
    // Content order top down; words 4 apart are separate spans on one line.
    add("Top", 72, 700);
    add("line", 94, 700);
    add("second", 72, 686);
    add("Para", 72, 600);
    auto blocks = cluster_chars(chars, "F1", 0, kSize);
    ASSERT_EQ(blocks.size(), 2u);
    ASSERT_EQ(blocks[0].lines.size(), 1u);
    EXPECT_EQ(line_text(blocks[0].lines[0]), "Para");
    ASSERT_EQ(blocks[1].lines.size(), 2u);
    EXPECT_EQ(line_text(blocks[1].lines[0]), "second");
    EXPECT_EQ(span_texts(blocks[1].lines[1]), (std::vector<std::string>{"Top", "line"}));
    EXPECT_EQ(blocks[1].bbox, (BBox{72, 686, 118, 712}));
    for (const TextSpan* s : all_spans(blocks)) {
        EXPECT_EQ(s->font, "F1");
        EXPECT_EQ(s->size, kSize);
    }
}

// Random pages with hostile coordinates: the stage must keep every
// character exactly once and return well-formed structure.
TEST(ClusterChars, HostileCoordinatesKeepEveryCharacter) {
    const double specials[] = {kNaN, kInf, -kInf, kMax, -kMax, 1e308, -1e308, 5e-324, -0.0, 0.0};
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> coord(-50, 650);
    std::uniform_int_distribution<int> pick(0, 19);
    for (int round = 0; round < 50; ++round) {
        std::vector<CharInfo> chars;
        const int n = 1 + round * 13;
        for (int i = 0; i < n; ++i) {
            double v[4];
            for (double& x : v) {
                const int p = pick(rng);
                x = p < 10 ? specials[p] : coord(rng);
            }
            chars.push_back(glyph(v[0], v[1], v[2], v[3], static_cast<char32_t>(i)));
        }
        std::vector<bool> seen(chars.size());
        for (const TextBlock& b : cluster_chars(chars, "F", 0, kSize)) {
            ASSERT_FALSE(b.lines.empty());
            for (const TextLine& l : b.lines) {
                ASSERT_FALSE(l.spans.empty());
                for (const TextSpan& s : l.spans) {
                    ASSERT_FALSE(s.chars.empty());
                    BBox box = make_span(s.chars, "F", 0, kSize).bbox;
                    EXPECT_TRUE(same_box(box, s.bbox));
                    for (const CharInfo& c : s.chars) {
                        ASSERT_LT(c.ch, seen.size());
                        EXPECT_FALSE(seen[c.ch]);
                        seen[c.ch] = true;
                    }
                }
            }
        }
        for (bool s : seen)
            EXPECT_TRUE(s);
    }
}

} // namespace
} // namespace quarvel
