#include "fonts/standard_metrics.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fonts/encodings.h"

namespace quarvel {
namespace {

struct AliasCase {
    std::string_view base_font;
    std::string_view standard; // "" when not one of the 14
};

class StandardFontAliasTest : public ::testing::TestWithParam<AliasCase> {};

TEST_P(StandardFontAliasTest, ResolvesBaseFont) {
    const AliasCase& c = GetParam();
    const StandardFontMetrics* m = standard_font_metrics(c.base_font);
    if (c.standard.empty()) {
        EXPECT_EQ(m, nullptr) << c.base_font;
    } else {
        ASSERT_NE(m, nullptr) << c.base_font;
        EXPECT_EQ(m->name, c.standard);
    }
}

INSTANTIATE_TEST_SUITE_P(
    BaseFonts, StandardFontAliasTest,
    ::testing::Values(
        AliasCase{"Helvetica", "Helvetica"}, AliasCase{"Times-Roman", "Times-Roman"},
        AliasCase{"ZapfDingbats", "ZapfDingbats"}, AliasCase{"Symbol", "Symbol"},
        AliasCase{"Courier-BoldOblique", "Courier-BoldOblique"}, AliasCase{"Arial", "Helvetica"},
        AliasCase{"ArialMT", "Helvetica"}, AliasCase{"Arial,Bold", "Helvetica-Bold"},
        AliasCase{"Arial-BoldMT", "Helvetica-Bold"},
        AliasCase{"Arial,BoldItalic", "Helvetica-BoldOblique"},
        AliasCase{"Arial-ItalicMT", "Helvetica-Oblique"},
        AliasCase{"Helvetica-Italic", "Helvetica-Oblique"},
        AliasCase{"TimesNewRoman", "Times-Roman"}, AliasCase{"TimesNewRomanPSMT", "Times-Roman"},
        AliasCase{"TimesNewRomanPS-BoldMT", "Times-Bold"},
        AliasCase{"TimesNewRoman,BoldItalic", "Times-BoldItalic"},
        AliasCase{"Times New Roman,Italic", "Times-Italic"}, AliasCase{"CourierNew", "Courier"},
        AliasCase{"CourierNewPSMT", "Courier"},
        AliasCase{"CourierNewPS-BoldItalicMT", "Courier-BoldOblique"},
        AliasCase{"SymbolMT", "Symbol"}, AliasCase{"ABCDEF+Arial,Bold", "Helvetica-Bold"},
        AliasCase{"ABCDEF+Helvetica", "Helvetica"},
        // Other faces of these families have other widths.
        AliasCase{"Arial-Black", ""}, AliasCase{"ArialNarrow", ""},
        AliasCase{"Helvetica-Narrow", ""}, AliasCase{"Calibri", ""},
        AliasCase{"abcdef+Helvetica", ""}, AliasCase{"ABCDEF+", ""}, AliasCase{"", ""},
        AliasCase{"Helvetica-", "Helvetica"}, AliasCase{"helvetica", ""}));

TEST(StandardFontMetricsTest, KnownWidths) {
    const auto* helvetica = standard_font_metrics("Helvetica");
    ASSERT_NE(helvetica, nullptr);
    EXPECT_EQ(helvetica->width("A"), 667);
    EXPECT_EQ(helvetica->width("space"), 278);
    EXPECT_EQ(helvetica->width("a1"), std::nullopt);
    EXPECT_EQ(helvetica->width(""), std::nullopt);
    EXPECT_EQ(standard_font_metrics("Times-Roman")->width("W"), 944);
    EXPECT_EQ(standard_font_metrics("Symbol")->width("alpha"), 631);
    EXPECT_EQ(standard_font_metrics("ZapfDingbats")->width("a1"), 974);
    EXPECT_EQ(standard_font_metrics("ZapfDingbats")->width("A"), std::nullopt);
}

// Each font has a width for every glyph of the encoding text written in it
// uses, so a font built from the 14 never falls back to a guessed width.
TEST(StandardFontMetricsTest, EveryFontCoversItsEncoding) {
    for (const auto& font : standard_fonts()) {
        const SimpleEncoding e = font.name == "Symbol"         ? SimpleEncoding::Symbol
                                 : font.name == "ZapfDingbats" ? SimpleEncoding::ZapfDingbats
                                                               : SimpleEncoding::WinAnsi;
        for (const std::string_view glyph : encoding_glyph_names(e)) {
            if (!glyph.empty()) {
                EXPECT_TRUE(font.width(glyph).has_value()) << font.name << " " << glyph;
            }
        }
        for (const std::string_view glyph : encoding_glyph_names(SimpleEncoding::Standard)) {
            if (!glyph.empty() && !font.symbolic) {
                EXPECT_TRUE(font.width(glyph).has_value()) << font.name << " " << glyph;
            }
        }
    }
}

TEST(StandardFontMetricsTest, CourierIsFixedPitch) {
    for (const auto* name : {"Courier", "Courier-Bold", "Courier-Oblique", "Courier-BoldOblique"}) {
        const auto* courier = standard_font_metrics(name);
        ASSERT_NE(courier, nullptr);
        EXPECT_TRUE(courier->fixed_pitch);
        for (const std::string_view glyph : encoding_glyph_names(SimpleEncoding::WinAnsi)) {
            if (!glyph.empty()) {
                EXPECT_EQ(courier->width(glyph), 600) << name << " " << glyph;
            }
        }
    }
}

TEST(StandardFontMetricsTest, FlagsAndFontWideMetrics) {
    const auto fonts = standard_fonts();
    ASSERT_EQ(fonts.size(), 14u);
    EXPECT_TRUE(std::is_sorted(fonts.begin(), fonts.end(),
                               [](const auto& a, const auto& b) { return a.name < b.name; }));
    for (const auto& f : fonts) {
        EXPECT_GT(f.ascent, 0) << f.name;
        EXPECT_LT(f.descent, 0) << f.name;
        EXPECT_LT(f.bbox[0], f.bbox[2]) << f.name;
        EXPECT_EQ(f.symbolic, f.name == "Symbol" || f.name == "ZapfDingbats") << f.name;
        EXPECT_EQ(f.italic(), f.name.find("Italic") != std::string_view::npos ||
                                  f.name.find("Oblique") != std::string_view::npos)
            << f.name;
    }
    EXPECT_TRUE(standard_font_metrics("Times-Roman")->serif);
    EXPECT_FALSE(standard_font_metrics("Helvetica")->serif);
}

} // namespace
} // namespace quarvel
