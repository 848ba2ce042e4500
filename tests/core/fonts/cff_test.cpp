#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "fonts/cff.h"

namespace quarvel {
namespace {

using namespace std::string_literals;

// Glyphs .notdef, A, B, my.alt; a format 0 encoding with B at 66, A at 97
// and my.alt at 200.
const unsigned char kCff[] = {
    0x01, 0x00, 0x04, 0x01, 0x00, 0x01, 0x01, 0x01, 0x05, 0x54, 0x65, 0x73, 0x74, 0x00, 0x01, 0x01,
    0x01, 0x0d, 0xf8, 0x1c, 0x02, 0xbb, 0x0f, 0xc2, 0x10, 0x8b, 0xdb, 0x12, 0xc7, 0x11, 0x00, 0x02,
    0x01, 0x01, 0x07, 0x0b, 0x6d, 0x79, 0x2e, 0x61, 0x6c, 0x74, 0x54, 0x65, 0x73, 0x74, 0x00, 0x00,
    0x00, 0x00, 0x22, 0x00, 0x23, 0x01, 0x87, 0x00, 0x03, 0x61, 0x42, 0xc8, 0x00, 0x04, 0x01, 0x01,
    0x04, 0x07, 0x0a, 0x0d, 0xf8, 0x88, 0x0e, 0xf8, 0x88, 0x0e, 0xf8, 0x88, 0x0e, 0xf8, 0x88, 0x0e,
};

std::string cff_bytes() {
    return std::string(reinterpret_cast<const char*>(kCff), sizeof kCff);
}

// The Top DICT's Encoding entry: a one-byte operand (value + 139), then
// operator 16.
std::size_t encoding_operand(const std::string& cff) {
    return cff.find("\x10\x8b\xdb"s) - 1;
}

TEST(CffFont, NamesGlyphsFromTheCharsetAndStrings) {
    const std::string bytes = cff_bytes();
    const auto f = CffFont::parse(bytes);
    ASSERT_TRUE(f);
    EXPECT_FALSE(f->is_cid_keyed());
    EXPECT_EQ(f->num_glyphs(), 4);
    EXPECT_EQ(f->glyph_name(0), ".notdef");
    EXPECT_EQ(f->glyph_name(1), "A");
    EXPECT_EQ(f->glyph_name(3), "my.alt");
    EXPECT_EQ(f->glyph_name(4), "");
    EXPECT_FALSE(f->cid_for_glyph(1));
}

TEST(CffFont, ReadsACustomEncoding) {
    const std::string bytes = cff_bytes();
    const auto enc = CffFont::parse(bytes)->builtin_encoding();
    ASSERT_TRUE(enc);
    EXPECT_FALSE(enc->standard);
    EXPECT_EQ(enc->names[66], "B");
    EXPECT_EQ(enc->names[97], "A");
    EXPECT_EQ(enc->names[200], "my.alt");
    EXPECT_EQ(enc->names[65], "");
}

// Supplements give further codes to glyphs by SID: here 65 to "A" (SID 34).
TEST(CffFont, ReadsEncodingSupplements) {
    std::string bytes = cff_bytes();
    bytes[encoding_operand(bytes)] = static_cast<char>(bytes.size() + 139);
    bytes += "\x80\x03\x61\x42\xc8\x01\x41\x00\x22"s;
    const auto enc = CffFont::parse(bytes)->builtin_encoding();
    ASSERT_TRUE(enc);
    EXPECT_EQ(enc->names[65], "A");
    EXPECT_EQ(enc->names[97], "A");
}

struct PredefinedCase {
    unsigned char operand;
    bool has_encoding;
    bool standard;
};

class PredefinedEncoding : public ::testing::TestWithParam<PredefinedCase> {};

// Encoding offsets 0 and 1 name the standard and expert encodings.
TEST_P(PredefinedEncoding, IsNamedByItsOffset) {
    std::string bytes = cff_bytes();
    bytes[encoding_operand(bytes)] = static_cast<char>(GetParam().operand);
    const auto enc = CffFont::parse(bytes)->builtin_encoding();
    ASSERT_EQ(enc.has_value(), GetParam().has_encoding);
    if (enc) {
        EXPECT_EQ(enc->standard, GetParam().standard);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PredefinedEncoding,
                         ::testing::Values(PredefinedCase{139, true, true},
                                           PredefinedCase{140, false, false},
                                           // Past the end of the program.
                                           PredefinedCase{246, false, false}));

// Every prefix, and each byte set to 0xFF and 0x00 in turn, parses or not
// without reading outside the bytes.
TEST(CffFont, TruncatedAndCorruptedProgramsDegrade) {
    const std::string whole = cff_bytes();
    const auto query = [](const CffFont& f) {
        (void)f.builtin_encoding();
        for (std::uint32_t g = 0; g < 6; ++g) {
            (void)f.glyph_name(static_cast<std::uint16_t>(g));
            (void)f.cid_for_glyph(static_cast<std::uint16_t>(g));
        }
    };
    for (std::size_t n = 0; n <= whole.size(); ++n) {
        const std::string prefix = whole.substr(0, n);
        if (auto f = CffFont::parse(prefix)) query(*f);
    }
    for (std::size_t i = 0; i < whole.size(); ++i) {
        for (char v : {'\xFF', '\x00'}) {
            std::string bytes = whole;
            bytes[i] = v;
            if (auto f = CffFont::parse(bytes)) query(*f);
        }
    }
    EXPECT_FALSE(CffFont::parse(""));
    EXPECT_FALSE(CffFont::parse("\x02\x00\x04\x01"s));
}

} // namespace
} // namespace quarvel
