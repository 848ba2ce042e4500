#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "fonts/cid_collections.h"

namespace quarvel {
namespace {

struct CidCase {
    std::string_view collection;
    std::uint32_t cid;
    std::optional<char32_t> unicode;
};

class CidToUnicode : public ::testing::TestWithParam<CidCase> {};

// Known entries of each collection, the edges of the tables, a character
// past the BMP, and a CID whose variation selector is dropped.
TEST_P(CidToUnicode, ReadsTheCollectionsTable) {
    EXPECT_EQ(cid_to_unicode(GetParam().collection, GetParam().cid), GetParam().unicode);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CidToUnicode,
    ::testing::Values(
        CidCase{"Adobe-Japan1", 843, U'\u3042'}, CidCase{"Adobe-Japan1", 1125, U'\u4E9C'},
        CidCase{"Adobe-Japan1", 1, U' '},
        // 0x0030 with a variation selector in the source map.
        CidCase{"Adobe-Japan1", 0xE6, U'0'}, CidCase{"Adobe-Japan1", 23059, U'\u32FF'},
        CidCase{"Adobe-Japan1", 23060, std::nullopt}, CidCase{"Adobe-GB1", 4559, U'\u4E2D'},
        CidCase{"Adobe-CNS1", 595, U'\u4E00'}, CidCase{"Adobe-CNS1", 15861, U'\U00020021'},
        CidCase{"Adobe-Korea1", 1086, U'\uAC00'},
        // CID 0 is the missing glyph in every collection.
        CidCase{"Adobe-GB1", 0, std::nullopt}, CidCase{"Adobe-Korea1", 0xFFFFFFFF, std::nullopt},
        CidCase{"Adobe-Identity", 843, std::nullopt}, CidCase{"", 843, std::nullopt}));

// A CID drawing several characters has no single one; its sequence is
// given whole, and no single-character CID has a sequence.
TEST(CidToUnicode, SequencesAreGivenApart) {
    EXPECT_FALSE(cid_to_unicode("Adobe-Japan1", 0x1FFD));
    EXPECT_EQ(cid_to_unicode_sequence("Adobe-Japan1", 0x1FFD), U"sec");
    EXPECT_EQ(cid_to_unicode_sequence("Adobe-Korea1", 0x2010), U"))");
    EXPECT_EQ(cid_to_unicode_sequence("Adobe-Japan1", 843), U"");
    EXPECT_EQ(cid_to_unicode_sequence("Adobe-CNS1", 15861), U"");
    EXPECT_EQ(cid_to_unicode_sequence("Adobe-Korea1", 1u << 20), U"");
}

} // namespace
} // namespace quarvel
