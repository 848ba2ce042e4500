#include "fonts/glyph_list.h"

#include <gtest/gtest.h>

namespace quarvel {
namespace {

struct NameCase {
    std::string_view name;
    std::u32string text;
    bool dingbats = false;
};

void PrintTo(const NameCase& c, std::ostream* os) {
    *os << c.name;
}

class GlyphNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(GlyphNameTest, ResolvesToText) {
    const NameCase& c = GetParam();
    EXPECT_EQ(glyph_name_to_text(c.name, c.dingbats), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    GlyphList, GlyphNameTest,
    ::testing::Values(
        // In the list, first and last entries included.
        NameCase{"A", U"A"}, NameCase{"zukatakana", U"\u30BA"}, NameCase{"quoteright", U"\u2019"},
        NameCase{"ffi", U"\uFB03"}, NameCase{"Ifraktur", U"\u2111"},
        NameCase{"dalethatafpatah", U"\u05D3\u05B2"}, // one name, two characters
        // uni: groups of four upper-case digits, each a BMP non-surrogate.
        NameCase{"uni0041", U"A"}, NameCase{"uni00410042", U"AB"}, NameCase{"uni20AC", U"\u20AC"},
        NameCase{"uniD800", U""}, NameCase{"uni0041D800", U""}, NameCase{"uni20ac", U""},
        NameCase{"uni004", U""}, NameCase{"uni004100", U""}, NameCase{"uni", U""},
        // u: four to six digits, up to U+10FFFF.
        NameCase{"u1F600", U"\U0001F600"}, NameCase{"u0041", U"A"},
        NameCase{"u10FFFF", U"\U0010FFFF"}, NameCase{"u110000", U""}, NameCase{"u041", U""},
        NameCase{"u0000041", U""}, NameCase{"uDFFF", U""}, NameCase{"u004g", U""},
        // Suffixes and ligatures.
        NameCase{"A.sc", U"A"}, NameCase{"one.oldstyle", U"1"}, NameCase{"f_i", U"fi"},
        NameCase{"T_h.liga", U"Th"}, NameCase{"f_f_i", U"ffi"}, NameCase{"uni0041_B", U"AB"},
        NameCase{"f_foo_i", U"fi"}, NameCase{".notdef", U""}, NameCase{"_", U""}, NameCase{"", U""},
        // Names fonts make up for their glyph indices name no character.
        NameCase{"g123", U""}, NameCase{"cid123", U""}, NameCase{"glyph123", U""},
        NameCase{"index42", U""},
        // Dingbats names only in the font of that name.
        NameCase{"a1", U"\u2701", true}, NameCase{"a191", U"\u27BE", true}, NameCase{"a1", U""},
        NameCase{"A", U"A", true}, NameCase{"a12.alt", U"\u261E", true}));

} // namespace
} // namespace quarvel
