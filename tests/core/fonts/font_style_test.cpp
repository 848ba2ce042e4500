#include "fonts/font_style.h"

#include <gtest/gtest.h>

#include <string>

#include "resource_limits.h"

namespace quarvel {
namespace {

using namespace span_flags;

struct StyleCase {
    const char* label;
    FontStyleFacts facts;
    std::uint32_t expected;
};

FontStyleFacts named(const char* name) {
    FontStyleFacts f;
    f.base_font = name;
    return f;
}

FontStyleFacts descriptor(std::int64_t flags, double italic_angle = 0,
                          std::optional<double> weight = std::nullopt) {
    FontStyleFacts f;
    f.base_font = "F";
    f.flags = flags;
    f.italic_angle = italic_angle;
    f.font_weight = weight;
    return f;
}

FontStyleFacts program(std::optional<int> weight, bool bold, bool italic, bool fixed) {
    FontStyleFacts f;
    f.base_font = "F";
    f.program_weight = weight;
    f.program_bold = bold;
    f.program_italic = italic;
    f.program_fixed_pitch = fixed;
    return f;
}

class FontStyle : public testing::TestWithParam<StyleCase> {};

TEST_P(FontStyle, EachSourceAddsItsBits) {
    EXPECT_EQ(font_style(GetParam().facts), GetParam().expected) << GetParam().label;
}

INSTANTIATE_TEST_SUITE_P(
    Sources, FontStyle,
    testing::Values(
        // The descriptor: /Flags bits, the slant, the weight.
        StyleCase{"fixed pitch and serif", descriptor(1 | 2 | 32), kMonospaced | kSerif},
        StyleCase{"italic and force bold", descriptor(64 | (1 << 18)), kItalic | kBold},
        StyleCase{"symbolic, nonsymbolic say nothing", descriptor(4 | 32), 0},
        StyleCase{"slanted twelve degrees", descriptor(32, -12), kItalic},
        StyleCase{"a stray degree is upright", descriptor(32, -1.5), 0},
        StyleCase{"semibold weight", descriptor(32, 0, 600), kBold},
        StyleCase{"medium weight", descriptor(32, 0, 500), 0},
        // The program's tables.
        StyleCase{"weight class 700", program(700, false, false, false), kBold},
        StyleCase{"weight class 400", program(400, false, false, false), 0},
        StyleCase{"style bits", program(std::nullopt, true, true, true),
                  kBold | kItalic | kMonospaced},
        StyleCase{"uniform widths", [] {
                      FontStyleFacts f = named("F");
                      f.uniform_widths = true;
                      return f;
                  }(), kMonospaced},
        // The name, subset tag ignored.
        StyleCase{"bold mt", named("ABCDEF+Arial-BoldMT"), kBold},
        StyleCase{"comma style", named("Arial,BoldItalic"), kBold | kItalic},
        StyleCase{"tag spelling a style", named("BOLDIT+Helvetica"), 0},
        StyleCase{"It suffix", named("MinionPro-SemiboldIt"), kBold | kItalic | kSerif},
        StyleCase{"Lt is light, not italic", named("TradeGothicNextLTPro-Lt"), 0},
        StyleCase{"black", named("Montserrat-Black"), kBold},
        StyleCase{"oblique", named("Helvetica-Oblique"), kItalic},
        StyleCase{"courier", named("CourierNewPSMT"), kMonospaced},
        StyleCase{"code", named("SourceCodePro-Regular"), kMonospaced},
        StyleCase{"times", named("TimesNewRomanPSMT"), kSerif},
        StyleCase{"sans serif", named("MSSansSerif"), 0},
        StyleCase{"helvetica", named("Helvetica"), 0},
        StyleCase{"urw times bold", named("NimbusRomNo9L-Medi"), kBold | kSerif},
        StyleCase{"tex roman", named("CMR10"), kSerif},
        StyleCase{"tex bold extended", named("SQKXYV+CMBX12"), kBold | kSerif},
        StyleCase{"tex text italic", named("CMTI10"), kItalic | kSerif},
        StyleCase{"tex typewriter", named("CMTT10"), kMonospaced},
        StyleCase{"tex sans", named("CMSS10"), 0},
        StyleCase{"century gothic is sans", named("CenturyGothic"), 0},
        StyleCase{"latin modern mono", named("LMMono10-Regular"), kMonospaced},
        StyleCase{"latin modern roman", named("LMRoman10-Bold"), kBold | kSerif},
        StyleCase{"no name", named(""), 0}));

TEST(FontStyle, NamesAreReadUpToTheLimit) {
    // A hostile name costs no more than its first bytes: a style word that
    // ends at the limit counts, one past it does not.
    const std::size_t limit = limits::kMaxFontStyleNameBytes;
    EXPECT_EQ(font_style_from_name(std::string(limit - 4, 'x') + "Bold"), kBold);
    EXPECT_EQ(font_style_from_name(std::string(limit - 3, 'x') + "Bold"), 0u);
    EXPECT_EQ(font_style_from_name(std::string(1 << 20, 'x') + "Bold"), 0u);
}

} // namespace
} // namespace quarvel
