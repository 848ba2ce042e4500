#include "fonts/encodings.h"

#include <gtest/gtest.h>

#include "fonts/glyph_list.h"

namespace quarvel {
namespace {

struct KnownCode {
    SimpleEncoding encoding;
    unsigned code;
    std::string_view glyph;
    char32_t ch;
};

class EncodingCodeTest : public ::testing::TestWithParam<KnownCode> {};

TEST_P(EncodingCodeTest, CodeHasGlyphAndCharacter) {
    const KnownCode& k = GetParam();
    EXPECT_EQ(encoding_glyph_names(k.encoding)[k.code], k.glyph);
    EXPECT_EQ(encoding_unicode(k.encoding)[k.code], k.ch);
}

INSTANTIATE_TEST_SUITE_P(BuiltInEncodings, EncodingCodeTest,
                         ::testing::Values(
                             // Standard differs from ASCII at the quotes.
                             KnownCode{SimpleEncoding::Standard, 0x27, "quoteright", 0x2019},
                             KnownCode{SimpleEncoding::Standard, 0x60, "quoteleft", 0x2018},
                             KnownCode{SimpleEncoding::Standard, 0xA4, "fraction", 0x2044},
                             KnownCode{SimpleEncoding::Standard, 0xAE, "fi", 0xFB01},
                             KnownCode{SimpleEncoding::Standard, 0x80, "", 0},
                             KnownCode{SimpleEncoding::WinAnsi, 0x27, "quotesingle", 0x27},
                             KnownCode{SimpleEncoding::WinAnsi, 0x80, "Euro", 0x20AC},
                             KnownCode{SimpleEncoding::WinAnsi, 0x92, "quoteright", 0x2019},
                             KnownCode{SimpleEncoding::WinAnsi, 0x95, "bullet", 0x2022},
                             KnownCode{SimpleEncoding::WinAnsi, 0x8E, "Zcaron", 0x17D},
                             // Undefined codes stay undefined rather than becoming bullets.
                             KnownCode{SimpleEncoding::WinAnsi, 0x81, "", 0},
                             KnownCode{SimpleEncoding::WinAnsi, 0x7F, "", 0},
                             // The second codes of space and hyphen give the plain characters.
                             KnownCode{SimpleEncoding::WinAnsi, 0xA0, "space", 0x20},
                             KnownCode{SimpleEncoding::WinAnsi, 0xAD, "hyphen", 0x2D},
                             KnownCode{SimpleEncoding::MacRoman, 0xA5, "bullet", 0x2022},
                             KnownCode{SimpleEncoding::MacRoman, 0xDB, "currency", 0xA4},
                             KnownCode{SimpleEncoding::MacRoman, 0xCA, "space", 0x20},
                             KnownCode{SimpleEncoding::MacRoman, 0xAD, "",
                                       0}, // notequal is Mac OS only
                             KnownCode{SimpleEncoding::MacRoman, 0xF0, "", 0}, // so is the logo
                             KnownCode{SimpleEncoding::MacExpert, 0x56, "ff", 0xFB00},
                             KnownCode{SimpleEncoding::MacExpert, 0x61, "Asmall", 0xF761},
                             KnownCode{SimpleEncoding::PdfDoc, 0x18, "breve", 0x2D8},
                             KnownCode{SimpleEncoding::PdfDoc, 0x8A, "minus", 0x2212},
                             KnownCode{SimpleEncoding::PdfDoc, 0xA0, "Euro", 0x20AC},
                             KnownCode{SimpleEncoding::PdfDoc, 0xAD, "", 0},
                             KnownCode{SimpleEncoding::PdfDoc, 0x0A, "", 0x0A},
                             KnownCode{SimpleEncoding::Symbol, 0x61, "alpha", 0x3B1},
                             KnownCode{SimpleEncoding::Symbol, 0x57, "Omega", 0x2126},
                             KnownCode{SimpleEncoding::Symbol, 0xA0, "Euro", 0x20AC},
                             KnownCode{SimpleEncoding::Symbol, 0xD2, "registerserif", 0xAE},
                             KnownCode{SimpleEncoding::Symbol, 0x80, "", 0},
                             KnownCode{SimpleEncoding::ZapfDingbats, 0x21, "a1", 0x2701},
                             KnownCode{SimpleEncoding::ZapfDingbats, 0x80, "a89", 0x2768},
                             KnownCode{SimpleEncoding::ZapfDingbats, 0xFF, "", 0}));

// Every defined code's character is what its glyph name resolves to, so the
// two tables cannot drift apart when the generator changes. Symbol's plain
// marks and PDFDocEncoding's controls are the documented exceptions.
TEST(EncodingTablesTest, CharactersFollowGlyphNames) {
    for (const auto e :
         {SimpleEncoding::Standard, SimpleEncoding::WinAnsi, SimpleEncoding::MacRoman,
          SimpleEncoding::MacExpert, SimpleEncoding::PdfDoc, SimpleEncoding::ZapfDingbats}) {
        const auto& names = encoding_glyph_names(e);
        const auto& chars = encoding_unicode(e);
        for (unsigned code = 0; code < 256; ++code) {
            if (names[code].empty()) continue;
            const std::u32string text =
                glyph_name_to_text(names[code], e == SimpleEncoding::ZapfDingbats);
            ASSERT_EQ(text.size(), 1u) << names[code];
            EXPECT_EQ(chars[code], text[0]) << names[code];
        }
    }
}

TEST(EncodingByNameTest, OnlyTheNamedEncodingsOfFontDictionaries) {
    EXPECT_EQ(encoding_by_name("WinAnsiEncoding"), SimpleEncoding::WinAnsi);
    EXPECT_EQ(encoding_by_name("MacRomanEncoding"), SimpleEncoding::MacRoman);
    EXPECT_EQ(encoding_by_name("MacExpertEncoding"), SimpleEncoding::MacExpert);
    EXPECT_EQ(encoding_by_name("StandardEncoding"), SimpleEncoding::Standard);
    EXPECT_EQ(encoding_by_name("PDFDocEncoding"), std::nullopt);
    EXPECT_EQ(encoding_by_name("SymbolEncoding"), std::nullopt);
    EXPECT_EQ(encoding_by_name("winansiencoding"), std::nullopt);
    EXPECT_EQ(encoding_by_name(""), std::nullopt);
}

} // namespace
} // namespace quarvel
