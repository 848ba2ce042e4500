#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "fonts/cid_collections.h"
#include "fonts/predefined_cmaps.h"

namespace quarvel {
namespace {

using namespace std::string_view_literals;

struct LookupCase {
    std::string_view cmap;
    std::string_view bytes; // one code, big-endian
    std::optional<std::uint32_t> cid;
    std::optional<char32_t> unicode; // the CID's character in the collection
};

class PredefinedLookup : public ::testing::TestWithParam<LookupCase> {};

// The code's length comes from the codespace; its CID from the map or the
// map it is stored over (a -V form over its -H form, UTF-16 over UCS-2).
TEST_P(PredefinedLookup, CodeSelectsTheCollectionsCid) {
    const LookupCase& c = GetParam();
    const PredefinedCMap* m = find_predefined_cmap(c.cmap);
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->code_length(c.bytes), c.bytes.size());
    std::uint32_t code = 0;
    for (unsigned char b : c.bytes)
        code = (code << 8) | b;
    const auto cid = m->cid(code, c.bytes.size());
    EXPECT_EQ(cid, c.cid);
    if (cid) {
        EXPECT_EQ(cid_to_unicode(m->registry_ordering, *cid), c.unicode);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PredefinedLookup,
    ::testing::Values(LookupCase{"90ms-RKSJ-H", "\x82\xA0"sv, 843, U'\u3042'},
                      LookupCase{"90ms-RKSJ-H", "A"sv, 264, U'A'},
                      LookupCase{"90ms-RKSJ-H", "\x81\x41"sv, 634, U'\u3001'},
                      // The vertical comma is its own glyph, with the same text.
                      LookupCase{"90ms-RKSJ-V", "\x81\x41"sv, 7887, U'\u3001'},
                      LookupCase{"90ms-RKSJ-V", "\x82\xA0"sv, 843, U'\u3042'},
                      LookupCase{"UniJIS-UCS2-H", "\x4E\x9C"sv, 1125, U'\u4E9C'},
                      LookupCase{"UniJIS-UTF16-V", "\x30\x01"sv, 7887, U'\u3001'},
                      LookupCase{"UniGB-UCS2-H", "\x4E\x2D"sv, 4559, U'\u4E2D'},
                      LookupCase{"GBK-EUC-H", "\xD6\xD0"sv, 4559, U'\u4E2D'},
                      LookupCase{"ETen-B5-H", "\xA4\x40"sv, 595, U'\u4E00'},
                      LookupCase{"UniCNS-UTF16-H", "\xD8\x40\xDC\x21"sv, 15861, U'\U00020021'},
                      LookupCase{"UniKS-UCS2-H", "\xAC\x00"sv, 1086, U'\uAC00'},
                      LookupCase{"KSCms-UHC-H", "\xB0\xA1"sv, 1086, U'\uAC00'},
                      // In the codespace, but no CID: the font's missing glyph.
                      LookupCase{"90ms-RKSJ-H", "\x85\x40"sv, std::nullopt, std::nullopt}));

TEST(PredefinedCMap, FindsMapsByExactName) {
    for (std::string_view name :
         {"UniJIS-UCS2-H"sv, "UniJIS-UTF16-V"sv, "90ms-RKSJ-H"sv, "UniGB-UTF16-H"sv, "GBK-EUC-V"sv,
          "UniCNS-UCS2-V"sv, "ETen-B5-H"sv, "UniKS-UTF16-V"sv, "KSCms-UHC-H"sv}) {
        const PredefinedCMap* m = find_predefined_cmap(name);
        ASSERT_NE(m, nullptr) << name;
        EXPECT_EQ(m->name, name);
        EXPECT_EQ(m->unicode_codes, name.starts_with("Uni"));
        EXPECT_EQ(m->vertical(), name.ends_with("-V"));
    }
    for (std::string_view name : {"Identity-H"sv, "90ms-RKSJ"sv, "90ms-rksj-h"sv, ""sv}) {
        EXPECT_EQ(find_predefined_cmap(name), nullptr) << name;
    }
}

struct LengthCase {
    std::string_view cmap;
    std::string_view bytes;
    std::size_t length;
};

class CodeLength : public ::testing::TestWithParam<LengthCase> {};

// One-byte and two-byte codes mix in Shift-JIS; UTF-16 takes four bytes for
// a surrogate pair. A code outside every range still moves reading on, and
// never past the bytes there are.
TEST_P(CodeLength, FollowsTheCodespace) {
    const PredefinedCMap* m = find_predefined_cmap(GetParam().cmap);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->code_length(GetParam().bytes), GetParam().length);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CodeLength,
    ::testing::Values(LengthCase{"90ms-RKSJ-H", "A\x82\xA0"sv, 1},
                      LengthCase{"90ms-RKSJ-H",
                                 "\x82\xA0"
                                 "A"sv,
                                 2},
                      LengthCase{"90ms-RKSJ-H", "\xB1"sv, 1},     // half-width katakana
                      LengthCase{"90ms-RKSJ-H", "\x82"sv, 1},     // cut after the lead byte
                      LengthCase{"90ms-RKSJ-H", "\x82\x20"sv, 2}, // bad trail byte
                      LengthCase{"90ms-RKSJ-H", "\xFF\xFF"sv, 1},
                      LengthCase{"90ms-RKSJ-H", ""sv, 0},
                      LengthCase{"UniJIS-UTF16-H", "\x00\x41\x00\x42"sv, 2},
                      LengthCase{"UniJIS-UTF16-H", "\xD8\x40\xDC\x0B"sv, 4},
                      LengthCase{"UniJIS-UTF16-H", "\xD8\x40"sv, 2},
                      LengthCase{"UniGB-UCS2-H", "\x4E"sv, 1}));

TEST(PredefinedCMap, CodesOfAnotherLengthOrPastTheMapSelectNothing) {
    const PredefinedCMap* m = find_predefined_cmap("90ms-RKSJ-H");
    ASSERT_NE(m, nullptr);
    EXPECT_FALSE(m->cid(0x82A0, 3));
    EXPECT_FALSE(m->cid(0x82A0, 0));
    EXPECT_FALSE(m->cid(0x82A0, 5));
    EXPECT_FALSE(m->cid(0xFFFFFFFF, 4));
    EXPECT_FALSE(m->cid(0x41, 2));
}

} // namespace
} // namespace quarvel
