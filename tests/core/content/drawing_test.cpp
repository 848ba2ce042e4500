// The full reader's painted paths and colours, as the interpreter records
// them when a scan asks for drawings.
#include "content/drawing.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "content/color.h"
#include "content/content_stream.h"
#include "resource_limits.h"

namespace quarvel {
namespace {

ContentResult draw(std::string_view content, const ColorSpaceMap* spaces = nullptr,
                   const XObjectMap& xobjects = {}, bool record = true) {
    TextState state;
    state.record_drawings = record;
    state.color_spaces = spaces;
    ContentResult result;
    const FontMap fonts;
    scan_content_stream_into(content, state, result, fonts, xobjects, 0,
                             ReadOptions::full_reader());
    return result;
}

// "re 10 20 30 40 | l 0 0 5 5" with %g numbers; then S/F marks for the
// painting and C for a closed path.
std::string describe(const Drawing& d) {
    std::string out;
    for (const PathItem& item : d.items) {
        if (!out.empty()) out += " | ";
        const int n = item.kind == PathItem::Kind::Curve ? 8 : 4;
        out += item.kind == PathItem::Kind::Rect   ? "re"
               : item.kind == PathItem::Kind::Line ? "l"
                                                   : "c";
        for (int k = 0; k < n; ++k) {
            char buf[32];
            std::snprintf(buf, sizeof buf, " %g", item.p[static_cast<std::size_t>(k)]);
            out += buf;
        }
    }
    out += d.stroke ? " S" : "";
    out += d.fill ? " F" : "";
    out += d.closed ? " C" : "";
    return out;
}

struct PathCase {
    std::string content;
    std::string expected; // describe() of each drawing, joined by " / "
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.content; }

class PathOperators : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathOperators, RecordWhatEachPaintingOperatorPaints) {
    const ContentResult r = draw(GetParam().content);
    std::string got;
    for (const Drawing& d : r.drawings)
        got += (got.empty() ? "" : " / ") + describe(d);
    EXPECT_EQ(got, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Construction, PathOperators,
    ::testing::Values(
        PathCase{"10 20 30 40 re f", "re 10 20 40 60 F C"},
        PathCase{"10 20 -5 -10 re S", "re 5 10 10 20 S C"},
        PathCase{"0 0 m 5 5 l 7 0 l S", "l 0 0 5 5 | l 5 5 7 0 S"},
        PathCase{"0 0 m 1 2 3 4 5 6 c S", "c 0 0 1 2 3 4 5 6 S"},
        PathCase{"0 0 m 3 4 5 6 v S", "c 0 0 0 0 3 4 5 6 S"},
        PathCase{"0 0 m 1 2 5 6 y S", "c 0 0 1 2 5 6 5 6 S"},
        // h closes with a line back to the start; s and b close too.
        PathCase{"0 0 m 5 5 l 7 0 l h S", "l 0 0 5 5 | l 5 5 7 0 | l 7 0 0 0 S C"},
        PathCase{"0 0 m 5 5 l 7 0 l s", "l 0 0 5 5 | l 5 5 7 0 | l 7 0 0 0 S C"},
        PathCase{"0 0 m 5 5 l 7 0 l b*", "l 0 0 5 5 | l 5 5 7 0 | l 7 0 0 0 S F C"},
        // A box drawn edge by edge is a rectangle, closed either way.
        PathCase{"0 0 m 10 0 l 10 5 l 0 5 l h f", "re 0 0 10 5 F C"},
        PathCase{"0 0 m 0 5 l 10 5 l 10 0 l 0 0 l h B", "re 0 0 10 5 S F C"},
        PathCase{"0 0 m 10 0 l 10 5 l 1 5 l h f",
                 "l 0 0 10 0 | l 10 0 10 5 | l 10 5 1 5 | l 1 5 0 0 F C"},
        PathCase{"1 1 2 2 re 5 5 m 6 6 l B", "re 1 1 3 3 | l 5 5 6 6 S F"},
        PathCase{"1 1 2 2 re F 3 3 1 1 re f* 0 0 1 1 re B*",
                 "re 1 1 3 3 F C / re 3 3 4 4 F C / re 0 0 1 1 S F C"},
        // Nothing painted: n, clip paths, and operators without a path.
        PathCase{"0 0 5 5 re n 0 0 5 5 re W n S f", ""},
        // A line without a current point starts the path there.
        PathCase{"5 5 l 6 6 l S", "l 5 5 6 6 S"},
        // Too few operands do nothing; non-finite points drop the item.
        PathCase{"0 0 m 5 l 1 2 3 c 1 2 3 re S 0 0 m 1e308 0 0 1e308 0 0 cm 2 2 l S", ""},
        // Points go through the CTM at construction, even if cm follows.
        PathCase{"2 0 0 3 10 10 cm 0 0 m 1 1 l 1 0 0 1 50 0 cm S", "l 10 10 12 13 S"},
        PathCase{"0 1 -1 0 0 0 cm 0 0 2 1 re f", "re -1 0 0 2 F C"},
        PathCase{"0.8 0.6 -0.6 0.8 0 0 cm 0 0 10 0 re S",
                 "l 0 0 8 6 | l 8 6 8 6 | l 8 6 0 0 | l 0 0 0 0 S C"}));

TEST(PathOperators, WidthIsInUserSpaceAndPathsSurviveTextInBetween) {
    const ContentResult r = draw("3 w 2 0 0 2 0 0 cm 0 0 m BT ET 1 0 l S 0.5 w 0 0 1 1 re f");
    ASSERT_EQ(r.drawings.size(), 2u);
    EXPECT_DOUBLE_EQ(r.drawings[0].width, 6);
    EXPECT_DOUBLE_EQ(r.drawings[1].width, 1);
    EXPECT_EQ(r.drawings[0].bbox, (std::array<double, 4>{0, 0, 2, 0}));
}

TEST(PathOperators, NothingIsBuiltUnlessDrawingsAreAskedFor) {
    const ContentResult r = draw("0 0 5 5 re f 1 0 0 rg BT (x) Tj ET", nullptr, {}, false);
    EXPECT_TRUE(r.drawings.empty());
    // The colour of the text is tracked either way.
    ASSERT_EQ(r.chars.size(), 1u);
    EXPECT_EQ(r.chars[0].color, 0xFF0000u);
}

TEST(PathOperators, AScanForDrawingsAloneCountsTextWithoutPlacingIt) {
    TextState state;
    state.record_drawings = true;
    state.emit_text = false;
    ContentResult r;
    const FontMap fonts;
    scan_content_stream_into("BT (abc) Tj [(de) -50 (f)] TJ ET 0 0 1 1 re f", state, r, fonts, {},
                             0, ReadOptions::full_reader());
    EXPECT_TRUE(r.chars.empty());
    EXPECT_EQ(r.skipped_text, 6u);
    EXPECT_EQ(r.drawings.size(), 1u);
}

struct ColorCase {
    std::string content; // sets the fill colour; "0 0 1 1 re f" follows
    std::uint32_t fill;
};

void PrintTo(const ColorCase& c, std::ostream* os) { *os << c.content; }

class Colors : public ::testing::TestWithParam<ColorCase> {};

ColorSpaceMap test_spaces() {
    ColorSpaceMap map;
    ColorSpace indexed;
    indexed.family = ColorSpace::Family::Indexed;
    indexed.base = ColorSpace::Family::Rgb;
    indexed.hival = 1;
    indexed.palette = std::make_shared<const std::string>("\xff\x00\x00\x00\x80\xff", 6);
    map["Pal"] = indexed;
    ColorSpace lab;
    lab.family = ColorSpace::Family::Lab;
    lab.components = 3;
    map["Lab"] = lab;
    ColorSpace tint;
    tint.family = ColorSpace::Family::Tint;
    map["Spot"] = tint;
    map["Icc"] = ColorSpace::device_rgb();
    ColorSpace uncoloured = ColorSpace::pattern();
    uncoloured.base = ColorSpace::Family::Rgb;
    uncoloured.components = 3;
    map["UPat"] = uncoloured;
    return map;
}

TEST_P(Colors, BecomeSrgb) {
    const ColorSpaceMap spaces = test_spaces();
    const ContentResult r = draw(GetParam().content + " 0 0 1 1 re f", &spaces);
    ASSERT_EQ(r.drawings.size(), 1u);
    EXPECT_EQ(r.drawings[0].fill, GetParam().fill) << std::hex << *r.drawings[0].fill;
}

INSTANTIATE_TEST_SUITE_P(
    Spaces, Colors,
    ::testing::Values(ColorCase{"", 0x000000}, ColorCase{"0.5 g", 0x808080},
                      ColorCase{"1 0.5 0 rg", 0xFF8000}, ColorCase{"2 -1 0.2 rg", 0xFF0033},
                      ColorCase{"0 1 0 0 k", 0xFF00FF}, ColorCase{"0 0 0 0.5 k", 0x808080},
                      ColorCase{"/DeviceRGB cs", 0x000000},
                      ColorCase{"/DeviceRGB cs 0 0 1 sc", 0x0000FF},
                      ColorCase{"/DeviceCMYK cs", 0x000000},
                      ColorCase{"/Icc cs 0.2 0.4 0.6 scn", 0x336699},
                      ColorCase{"/Pal cs 1 sc", 0x0080FF}, ColorCase{"/Pal cs 7 sc", 0x0080FF},
                      ColorCase{"/Pal cs", 0xFF0000}, ColorCase{"/Lab cs 100 0 0 sc", 0xFFFFFF},
                      ColorCase{"/Lab cs 53.24 80.09 67.2 sc", 0xFF0000},
                      ColorCase{"/Spot cs 0.25 scn", 0xBFBFBF}, ColorCase{"/Spot cs", 0x000000},
                      ColorCase{"1 g /Pattern cs /P1 scn", 0x000000},
                      ColorCase{"/UPat cs 0 1 0 /P1 scn", 0x00FF00},
                      ColorCase{"/Missing cs 0.5 sc", 0x808080},
                      // Too few operands leave the colour as it was.
                      ColorCase{"1 0 0 rg 0.5 0.5 rg", 0xFF0000}));

TEST(Colors, StrokeAndFillAreApartAndQRestoresBothWithWidthAndClip) {
    const ContentResult r = draw("0 0 1 RG 1 0 0 rg 4 w q 0 g 1 G 1 w 0 0 1 1 re W n "
                                 "0 0 5 5 re B Q 0 0 5 5 re B 20 20 1 1 re S");
    ASSERT_EQ(r.drawings.size(), 3u);
    EXPECT_EQ(r.drawings[0].fill, 0x000000u);
    EXPECT_EQ(r.drawings[0].stroke, 0xFFFFFFu);
    EXPECT_EQ(r.drawings[0].width, 1);
    EXPECT_EQ(r.drawings[1].fill, 0xFF0000u);
    EXPECT_EQ(r.drawings[1].stroke, 0x0000FFu);
    EXPECT_EQ(r.drawings[1].width, 4);
    // The clip ended with Q.
    EXPECT_EQ(r.drawings[2].bbox, (std::array<double, 4>{20, 20, 21, 21}));
}

TEST(Colors, TextTakesTheFillColourAndStrokedTextTheStrokeColour) {
    const ContentResult r =
        draw("0 0 1 rg 0 1 0 RG BT (a) Tj 1 Tr (b) Tj 2 Tr (c) Tj ET", nullptr, {}, false);
    ASSERT_EQ(r.chars.size(), 3u);
    EXPECT_EQ(r.chars[0].color, 0x0000FFu);
    EXPECT_EQ(r.chars[1].color, 0x00FF00u);
    EXPECT_EQ(r.chars[2].color, 0x0000FFu);
}

TEST(Clipping, PathsWhollyOutsideTheClipBoxAreDropped) {
    // The clip is the box of a path that is not a rectangle too, and clips
    // narrow each other.
    const ContentResult r = draw("0 0 m 100 0 l 50 100 l h W n 50 50 200 200 re W* n "
                                 "120 120 5 5 re f 90 90 20 20 re f 0 0 10 10 re f "
                                 "60 60 m 70 70 l S");
    ASSERT_EQ(r.drawings.size(), 2u);
    EXPECT_EQ(r.drawings[0].bbox, (std::array<double, 4>{90, 90, 110, 110}));
    EXPECT_EQ(r.drawings[1].items[0].kind, PathItem::Kind::Line);
}

TEST(Clipping, APaintedClipPathIsRecordedAndClipsWhatFollows) {
    const ContentResult r = draw("0 0 10 10 re W f 20 20 5 5 re f");
    ASSERT_EQ(r.drawings.size(), 1u);
    EXPECT_EQ(r.drawings[0].fill, 0x000000u);
}

XObjectData form(std::string content, Matrix m) {
    XObjectData data;
    data.kind = XObjectData::Kind::Form;
    data.content = std::move(content);
    data.matrix = m;
    return data;
}

TEST(Forms, PathsGoThroughTheFormMatrixAndColourSpacesAreTheFormsOwn) {
    XObjectData f = form("/CS0 cs 1 sc 0 0 1 1 re f 0.5 g q 0 0 m 1 0 l S Q", {2, 0, 0, 2, 10, 0});
    ColorSpaceMap own;
    own["CS0"] = ColorSpace::device_gray();
    f.color_spaces = std::make_shared<const ColorSpaceMap>(own);
    ColorSpaceMap page = test_spaces();
    page["CS0"] = test_spaces()["Pal"];
    const ContentResult r =
        draw("1 0 0 RG /Fm Do /CS0 cs 1 sc 0 0 1 1 re f", &page, XObjectMap{{"Fm", f}});
    ASSERT_EQ(r.drawings.size(), 3u);
    EXPECT_EQ(r.drawings[0].bbox, (std::array<double, 4>{10, 0, 12, 2}));
    EXPECT_EQ(r.drawings[0].fill, 0xFFFFFFu);
    // The caller's stroke colour reaches into the form.
    EXPECT_EQ(r.drawings[1].stroke, 0xFF0000u);
    EXPECT_DOUBLE_EQ(r.drawings[1].width, 2);
    // Back on the page, the fill and the colour spaces are the page's again.
    EXPECT_EQ(r.drawings[2].fill, 0x0080FFu);
}

std::string repeated(std::string_view piece, std::size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i)
        out += piece;
    return out;
}

TEST(Limits, AHundredThousandRectanglesComeOutWhole) {
    const ContentResult r = draw(repeated("10 10 5 5 re f\n", 100'000));
    EXPECT_EQ(r.drawings.size(), 100'000u);
}

TEST(Limits, DrawingsStopAtTheLimitAndNotBefore) {
    const std::size_t limit = limits::kMaxDrawingsPerPage;
    EXPECT_EQ(draw(repeated("0 0 m 1 1 l S\n", limit)).drawings.size(), limit);
    EXPECT_EQ(draw(repeated("0 0 m 1 1 l S\n", limit + 1)).drawings.size(), limit);
}

TEST(Limits, PathPointsStopAtTheLimitAndNotBefore) {
    // Each re takes four points; paths painted with n take points too.
    const std::size_t fill = limits::kMaxPathPointsPerPage / 4 - 1;
    EXPECT_EQ(draw(repeated("0 0 1 1 re n\n", fill) + "0 0 1 1 re S").drawings.size(), 1u);
    EXPECT_EQ(draw(repeated("0 0 1 1 re n\n", fill + 1) + "0 0 1 1 re S 0 0 m S")
                  .drawings.size(),
              0u);
}

} // namespace
} // namespace quarvel
