#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fonts/truetype.h"

namespace quarvel {
namespace {

// Glyphs .notdef, A, B, uni4E9C, u1F600, my.alt with cmap subtables (1,0)
// format 6 (A and B swapped), (3,0) format 4 on the 0xF000 page, (3,1)
// format 4, (3,10) format 12, and a format 2 post table.
const unsigned char kFont[] = {
    0x00, 0x01, 0x00, 0x00, 0x00, 0x08, 0x00, 0x80, 0x00, 0x03, 0x00, 0x00, 0x63, 0x6d, 0x61, 0x70,
    0xca, 0x51, 0xf2, 0xa6, 0x00, 0x00, 0x01, 0x18, 0x00, 0x00, 0x00, 0xca, 0x67, 0x6c, 0x79, 0x66,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xf4, 0x00, 0x00, 0x00, 0x01, 0x68, 0x65, 0x61, 0x64,
    0x5f, 0x16, 0x40, 0xe0, 0x00, 0x00, 0x00, 0x8c, 0x00, 0x00, 0x00, 0x36, 0x68, 0x68, 0x65, 0x61,
    0x03, 0x22, 0x01, 0x2e, 0x00, 0x00, 0x00, 0xc4, 0x00, 0x00, 0x00, 0x24, 0x68, 0x6d, 0x74, 0x78,
    0x01, 0xf4, 0x00, 0x00, 0x00, 0x00, 0x01, 0x08, 0x00, 0x00, 0x00, 0x0e, 0x6c, 0x6f, 0x63, 0x61,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xe4, 0x00, 0x00, 0x00, 0x0e, 0x6d, 0x61, 0x78, 0x70,
    0x00, 0x07, 0x00, 0x02, 0x00, 0x00, 0x00, 0xe8, 0x00, 0x00, 0x00, 0x20, 0x70, 0x6f, 0x73, 0x74,
    0x39, 0x8c, 0x53, 0x74, 0x00, 0x00, 0x01, 0xf8, 0x00, 0x00, 0x00, 0x44, 0x00, 0x01, 0x00, 0x00,
    0x00, 0x01, 0x00, 0x00, 0x93, 0x2c, 0x2d, 0xc1, 0x5f, 0x0f, 0x3c, 0xf5, 0x00, 0x03, 0x03, 0xe8,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x03, 0x20, 0xff, 0x38, 0x00, 0x00, 0x01, 0xf4,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xf4, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x24, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x32, 0x00, 0x03, 0x00, 0x01,
    0x00, 0x00, 0x00, 0x5a, 0x00, 0x03, 0x00, 0x0a, 0x00, 0x00, 0x00, 0x8a, 0x00, 0x06, 0x00, 0x0e,
    0x00, 0x00, 0x00, 0x41, 0x00, 0x02, 0x00, 0x02, 0x00, 0x01, 0x00, 0x04, 0x00, 0x28, 0x00, 0x00,
    0x00, 0x06, 0x00, 0x04, 0x00, 0x01, 0x00, 0x02, 0xf0, 0x41, 0xf0, 0x61, 0xff, 0xff, 0x00, 0x00,
    0xf0, 0x41, 0xf0, 0x61, 0xff, 0xff, 0x0f, 0xc0, 0x0f, 0xa4, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x04, 0x00, 0x30, 0x00, 0x00, 0x00, 0x08, 0x00, 0x08, 0x00, 0x02, 0x00, 0x00,
    0x00, 0x42, 0x00, 0x62, 0x4e, 0x9c, 0xff, 0xff, 0x00, 0x00, 0x00, 0x41, 0x00, 0x62, 0x4e, 0x9c,
    0xff, 0xff, 0xff, 0xc0, 0xff, 0xa0, 0xb1, 0x67, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x0c, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x04, 0x00, 0x00, 0x00, 0x41, 0x00, 0x00, 0x00, 0x42, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
    0x00, 0x62, 0x00, 0x00, 0x00, 0x62, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x4e, 0x9c, 0x00, 0x00,
    0x4e, 0x9c, 0x00, 0x00, 0x00, 0x03, 0x00, 0x01, 0xf6, 0x00, 0x00, 0x01, 0xf6, 0x00, 0x00, 0x00,
    0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x24, 0x00, 0x25,
    0x01, 0x02, 0x01, 0x03, 0x01, 0x04, 0x07, 0x75, 0x6e, 0x69, 0x34, 0x45, 0x39, 0x43, 0x06, 0x75,
    0x31, 0x46, 0x36, 0x30, 0x30, 0x06, 0x6d, 0x79, 0x2e, 0x61, 0x6c, 0x74,
};

std::string font_bytes() {
    return std::string(reinterpret_cast<const char*>(kFont), sizeof kFont);
}

// Offset of a table named in the font's directory.
std::size_t table_offset(std::string_view font, std::string_view tag) {
    const auto be = [&](std::size_t at, int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i)
            v = (v << 8) | static_cast<unsigned char>(font[at + i]);
        return v;
    };
    for (std::size_t i = 0, n = be(4, 2); i < n; ++i) {
        if (font.substr(12 + 16 * i, 4) == tag) return be(12 + 16 * i + 8, 4);
    }
    return 0;
}

void put32(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

// Runs every query; a damaged font may answer anything but must answer.
void query_all(const TrueTypeFont& f) {
    for (std::uint32_t c :
         {0x0u, 0x41u, 0x61u, 0xFFu, 0x4E9Cu, 0xF041u, 0xFFFFu, 0x1F600u, 0x10FFFFu, 0xFFFFFFFFu}) {
        (void)f.glyph_for_code(c);
        (void)f.glyph_for_unicode(c);
    }
    for (std::uint32_t g = 0; g < 8; ++g) {
        (void)f.unicode_for_glyph(static_cast<std::uint16_t>(g));
        (void)f.glyph_name(static_cast<std::uint16_t>(g));
    }
    (void)f.glyph_name(0xFFFF);
    (void)f.unicode_for_glyph(0xFFFF);
}

TEST(TrueTypeFont, ReadsTheTablesItNeeds) {
    const std::string bytes = font_bytes();
    const auto f = TrueTypeFont::parse(bytes);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->num_glyphs(), 6);
    EXPECT_TRUE(f->has_unicode_cmap());
    EXPECT_TRUE(f->has_symbol_cmap());
    EXPECT_TRUE(f->has_mac_roman_cmap());
}

struct CodeCase {
    std::uint32_t code;
    std::optional<std::uint16_t> gid;
};

class GlyphForCode : public ::testing::TestWithParam<CodeCase> {};

// The symbol cmap is tried first, on the code and on the 0xF000 page, then
// Mac Roman, then Unicode; a code no subtable maps is nothing, not glyph 0.
TEST_P(GlyphForCode, FollowsTheSubtablePriority) {
    const std::string bytes = font_bytes();
    EXPECT_EQ(TrueTypeFont::parse(bytes)->glyph_for_code(GetParam().code), GetParam().gid);
}

INSTANTIATE_TEST_SUITE_P(Cases, GlyphForCode,
                         ::testing::Values(CodeCase{0x41, 1}, CodeCase{0x61, 5},
                                           CodeCase{0xF041, 1}, CodeCase{0x42, 1},
                                           CodeCase{0x4E9C, 3}, CodeCase{0x1F600, 4},
                                           CodeCase{0x43, std::nullopt},
                                           CodeCase{0xFFFFFFFF, std::nullopt}));

struct GlyphCase {
    std::uint16_t gid;
    std::optional<char32_t> unicode;
    std::string_view name;
};

class GlyphInfo : public ::testing::TestWithParam<GlyphCase> {};

// Reversing the Unicode cmap keeps the lowest code point (B is 0x42 and
// 0x62) and reaches past the BMP through (3,10); post format 2 names come
// from the standard Macintosh order or from the table's own pool.
TEST_P(GlyphInfo, ReversesTheUnicodeCmapAndNamesTheGlyph) {
    const std::string bytes = font_bytes();
    const auto f = TrueTypeFont::parse(bytes);
    EXPECT_EQ(f->unicode_for_glyph(GetParam().gid), GetParam().unicode);
    EXPECT_EQ(f->glyph_name(GetParam().gid), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Cases, GlyphInfo,
                         ::testing::Values(GlyphCase{0, std::nullopt, ".notdef"},
                                           GlyphCase{1, U'A', "A"}, GlyphCase{2, U'B', "B"},
                                           GlyphCase{3, U'\u4E9C', "uni4E9C"},
                                           GlyphCase{4, U'\U0001F600', "u1F600"},
                                           GlyphCase{5, std::nullopt, "my.alt"},
                                           GlyphCase{6, std::nullopt, ""}));

struct PostCase {
    std::uint32_t version;
    std::string_view name_of_glyph_3;
};

class PostVersion : public ::testing::TestWithParam<PostCase> {};

// Format 1 names glyphs by the standard order alone; format 3 and unknown
// versions name none, whatever follows the header.
TEST_P(PostVersion, DecidesWhereNamesComeFrom) {
    std::string bytes = font_bytes();
    put32(bytes, table_offset(bytes, "post"), GetParam().version);
    EXPECT_EQ(TrueTypeFont::parse(bytes)->glyph_name(3), GetParam().name_of_glyph_3);
}

INSTANTIATE_TEST_SUITE_P(Cases, PostVersion,
                         ::testing::Values(PostCase{0x00010000, "space"},
                                           PostCase{0x00020000, "uni4E9C"},
                                           PostCase{0x00030000, ""}, PostCase{0x7FFFFFFF, ""}));

// A collection file embedded whole: its first font is read, with table
// offsets counted from the start of the collection.
TEST(TrueTypeFont, ReadsTheStyleOfTheFace) {
    std::string bytes = font_bytes();
    EXPECT_FALSE(TrueTypeFont::parse(bytes)->style().bold);
    // head's macStyle (bold 1, italic 2) where there is no OS/2 table, and
    // post's isFixedPitch.
    const std::size_t head = table_offset(bytes, "head");
    bytes[head + 45] = 3;
    put32(bytes, table_offset(bytes, "post") + 12, 1);
    auto f = TrueTypeFont::parse(bytes);
    EXPECT_TRUE(f->style().bold && f->style().italic && f->style().fixed_pitch);
    EXPECT_FALSE(f->style().weight);
    // An OS/2 table too short for fsSelection still gives its weight class.
    const std::size_t hhea_entry = bytes.find("hhea");
    bytes.replace(hhea_entry, 4, "OS/2");
    bytes[table_offset(bytes, "OS/2") + 4] = 0x02;
    bytes[table_offset(bytes, "OS/2") + 5] = static_cast<char>(0xBC);
    f = TrueTypeFont::parse(bytes);
    EXPECT_EQ(f->style().weight, 700);
}

TEST(TrueTypeFont, ReadsTheFirstFontOfACollection) {
    const std::string font = font_bytes();
    std::string ttc = "ttcf" + std::string("\x00\x01\x00\x00\x00\x00\x00\x01", 8) + "...." + font;
    put32(ttc, 12, 16);
    for (std::size_t i = 0, n = static_cast<unsigned char>(font[5]); i < n; ++i) {
        const std::size_t rec = 16 + 12 + 16 * i + 8;
        const auto off =
            static_cast<std::uint32_t>(table_offset(font, font.substr(12 + 16 * i, 4)));
        put32(ttc, rec, off + 16);
    }
    const auto f = TrueTypeFont::parse(ttc);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->glyph_for_unicode(U'\u4E9C'), 3);
    EXPECT_EQ(f->glyph_name(5), "my.alt");
}

TEST(TrueTypeFont, RejectsBytesWithNoTableDirectory) {
    for (std::string_view s : {std::string_view(), std::string_view("\x00\x01\x00\x00", 4),
                               std::string_view("%PDF-1.7\n1 0 obj << >> endobj\n")}) {
        EXPECT_FALSE(TrueTypeFont::parse(s)) << s;
    }
}

// Cmap subtables pointing past the table leave the font readable without
// them rather than making it unreadable.
TEST(TrueTypeFont, SubtablesOutsideTheCmapAreIgnored) {
    std::string bytes = font_bytes();
    const std::size_t cmap = table_offset(bytes, "cmap");
    for (std::size_t i = 0; i < 4; ++i)
        put32(bytes, cmap + 4 + 8 * i + 4, 0xFFFFFFF0);
    const auto f = TrueTypeFont::parse(bytes);
    ASSERT_TRUE(f);
    EXPECT_FALSE(f->has_unicode_cmap());
    EXPECT_FALSE(f->glyph_for_code(0x41));
    EXPECT_EQ(f->glyph_name(5), "my.alt");
}

// A font of one table directory entry, a cmap holding only `subtable` as
// (3,10).
std::string font_with_cmap(const std::string& subtable) {
    std::string cmap =
        std::string("\x00\x00\x00\x01\x00\x03\x00\x0A\x00\x00\x00\x0C", 12) + subtable;
    std::string font = std::string("\x00\x01\x00\x00\x00\x01", 6) + std::string(6, '\0');
    font += "cmap" + std::string(4, '\0') + std::string(8, '\0');
    put32(font, 12 + 8, static_cast<std::uint32_t>(font.size()));
    put32(font, 12 + 12, static_cast<std::uint32_t>(cmap.size()));
    return font + cmap;
}

// Format 12 groups each claiming every code point: glyph ids stop at 65535
// instead of wrapping, and reversing the map stops at its mapping budget.
TEST(TrueTypeFont, HugeFormat12GroupsStayBounded) {
    std::string sub = std::string("\x00\x0C\x00\x00", 4) + std::string(12, '\0');
    const std::uint32_t groups = 4096;
    put32(sub, 12, groups);
    for (std::uint32_t i = 0; i < groups; ++i) {
        sub += std::string("\x00\x00\x00\x00\x00\x10\xFF\xFF\x00\x00\x00\x01", 12);
    }
    put32(sub, 4, static_cast<std::uint32_t>(sub.size()));
    const std::string bytes = font_with_cmap(sub);
    const auto f = TrueTypeFont::parse(bytes);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->glyph_for_unicode(0), 1);
    EXPECT_EQ(f->glyph_for_unicode(65534), 65535);
    EXPECT_FALSE(f->glyph_for_unicode(65535));
    EXPECT_FALSE(f->glyph_for_unicode(0x10FFFF));
    EXPECT_EQ(f->unicode_for_glyph(1), U'\0');
    EXPECT_EQ(f->unicode_for_glyph(65535), char32_t{65534});
}

// Every prefix of the font, and the font with each byte in turn set to 0xFF
// and to 0x00 (lengths, counts and offsets among them), parses or not
// without reading outside the bytes; the sanitizer builds check the reads.
TEST(TrueTypeFont, TruncatedAndCorruptedFontsDegrade) {
    const std::string whole = font_bytes();
    for (std::size_t n = 0; n <= whole.size(); ++n) {
        // A copy of exactly n bytes, so reads past them are caught.
        const std::string prefix = whole.substr(0, n);
        if (auto f = TrueTypeFont::parse(prefix))
            query_all(*f);
        else
            EXPECT_LT(n, table_offset(whole, "cmap"));
    }
    for (std::size_t i = 0; i < whole.size(); ++i) {
        for (char v : {'\xFF', '\x00'}) {
            std::string bytes = whole;
            bytes[i] = v;
            if (auto f = TrueTypeFont::parse(bytes)) query_all(*f);
        }
    }
}

} // namespace
} // namespace quarvel
