#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "font.h"

namespace quarvel {
namespace {

using namespace std::string_literals;

std::optional<std::string> look(const CMap& m, std::string_view code) { return m.lookup(code); }

struct HexCase {
    std::string token;
    std::string bytes;
};

class HexTokens : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexTokens, DecodesPairsOfCharacters) {
    EXPECT_EQ(parse_hex_tokens(GetParam().token), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexTokens,
    ::testing::Values(HexCase{"<0041>", "\x00\x41"s}, HexCase{"<41>", "\x41"},
                      HexCase{"<041>", "\x04"}, HexCase{"<>", ""}, HexCase{"<4>", ""},
                      HexCase{"[<0041>", "\x00\x00\x41"s}, HexCase{"<<aBfF>>", "\xAB\xFF"},
                      // Non-digits count as 0; a non-ASCII character is one digit.
                      HexCase{"<zz9g>", "\x00\x90"s}, HexCase{"<\xC3\xA9"
                                                              "1>",
                                                              "\x01"}));

TEST(FindToken, FindsAtOrAfterPosition) {
    EXPECT_EQ(find_token("abcabc", 0, "bc"), 1u);
    EXPECT_EQ(find_token("abcabc", 2, "bc"), 4u);
    EXPECT_EQ(find_token("abcabc", 5, "bc"), std::nullopt);
    EXPECT_EQ(find_token("abc", 3, "c"), std::nullopt);
    EXPECT_EQ(find_token("abc", 7, "c"), std::nullopt);
}

TEST(ParseCmap, CharSectionsPairTokensAndLaterPairWins) {
    const CMap m = parse_cmap("2 beginbfchar <01> <0041> <02> <0042> endbfchar\n"
                              "beginbfchar <01> <0061> <03> endbfchar\n"
                              "beginbfchar <> <0041> <04> <> endbfchar");
    EXPECT_EQ(look(m, "\x01"), "\x00\x61"s);
    EXPECT_EQ(look(m, "\x02"), "\x00\x42"s);
    EXPECT_EQ(look(m, "\x03"), std::nullopt); // odd last token
    EXPECT_EQ(look(m, "\x04"), std::nullopt); // empty destination
    EXPECT_EQ(m.char_map.size(), 2u);
    EXPECT_TRUE(m.ranges.empty());
}

TEST(ParseCmap, TokensSplitAtUnicodeWhiteSpaceOnly) {
    // Tab, form feed, NBSP and an ideographic space separate tokens; NUL
    // does not, so "<05>\0<0045>" is one token.
    const CMap m = parse_cmap("beginbfchar\t<01>\f<0041>\xC2\xA0<02>\xE3\x80\x80<0042>\n"
                              "<05>\0<0045> <06> <0046> endbfchar"s);
    EXPECT_EQ(look(m, "\x01"), "\x00\x41"s);
    EXPECT_EQ(look(m, "\x02"), "\x00\x42"s);
    EXPECT_EQ(look(m, "\x06"), std::nullopt);
}

TEST(ParseCmap, MissingEndKeywordReadsToEndAndStillReadsRanges) {
    const CMap m = parse_cmap("beginbfrange <10> <12> <0030> endbfrange\n"
                              "beginbfchar <01> <0041>");
    EXPECT_EQ(look(m, "\x01"), "\x00\x41"s);
    EXPECT_EQ(look(m, "\x11"), "\x00\x31"s);

    const CMap open_range = parse_cmap("beginbfrange <20> <22> <0041> <30> <31>");
    ASSERT_EQ(open_range.ranges.size(), 1u);
    EXPECT_EQ(look(open_range, "\x21"), "\x00\x42"s);
}

TEST(ParseCmap, RangeArrayFormIsReadAsPlainTokens) {
    const CMap m = parse_cmap("beginbfrange <0000> <0002> [<0041> <0042> <0043>] endbfrange");
    ASSERT_EQ(m.ranges.size(), 1u);
    EXPECT_EQ(m.ranges[0].low, "\x00\x00"s);
    EXPECT_EQ(m.ranges[0].high, "\x00\x02"s);
    EXPECT_EQ(m.ranges[0].dest, "\x00\x00\x41"s);
}

TEST(ParseCmap, InvalidUtf8AnywhereGivesEmptyMap) {
    const CMap m = parse_cmap("% comment \xFF\nbeginbfchar <01> <0041> endbfchar\n"
                              "beginbfrange <20> <22> <0041> endbfrange");
    EXPECT_TRUE(m.char_map.empty());
    EXPECT_TRUE(m.ranges.empty());
    // The same text with valid UTF-8 in the comment is read.
    EXPECT_EQ(parse_cmap("% \xC3\xA9\nbeginbfchar <01> <0041> endbfchar").char_map.size(), 1u);
}

struct RangeCase {
    std::string name;
    std::string cmap;
    std::string code;
    std::optional<std::string> dest;
};

class RangeLookup : public ::testing::TestWithParam<RangeCase> {};

TEST_P(RangeLookup, Arithmetic) {
    const RangeCase& c = GetParam();
    const CMap m = parse_cmap(c.cmap);
    EXPECT_EQ(m.lookup(c.code), c.dest);
    // The allocation-free path agrees with lookup + decode_destination.
    const std::optional<char32_t> expected =
        c.dest ? decode_destination(*c.dest) : std::optional<char32_t>{};
    EXPECT_EQ(m.lookup_char(c.code), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RangeLookup,
    ::testing::Values(
        RangeCase{"SameLength", "beginbfrange <0020> <007E> <0020> endbfrange", "\x00\x41"s,
                  "\x00\x41"s},
        RangeCase{"LengthMustMatch", "beginbfrange <0020> <007E> <0020> endbfrange", "\x41",
                  std::nullopt},
        RangeCase{"AboveHigh", "beginbfrange <0020> <007E> <0020> endbfrange", "\x00\x7F"s,
                  std::nullopt},
        RangeCase{"CarryIntoFirstByte", "beginbfrange <10> <1F> <00FF> endbfrange", "\x11",
                  "\x01\x00"s},
        RangeCase{"CarryOutDropped", "beginbfrange <00> <FF> <FFFF> endbfrange", "\x02",
                  "\x00\x01"s},
        RangeCase{"OneByteDestinationWraps", "beginbfrange <00> <FF> <F0> endbfrange", "\x20",
                  "\x10"},
        RangeCase{"OverlapFirstInStreamWins",
                  "beginbfrange <20> <7E> <0100> endbfrange beginbfrange <41> <41> <0200> "
                  "endbfrange",
                  "\x41", "\x01\x21"s},
        RangeCase{"BfcharWinsWhateverTheOrder",
                  "beginbfrange <41> <41> <0200> endbfrange beginbfchar <41> <0061> endbfchar",
                  "\x41", "\x00\x61"s},
        RangeCase{"SurrogatePairDestinationCarries",
                  "beginbfrange <00> <10> <D83DDE00> endbfrange", "\x05", "\xD8\x3D\xDE\x05"s},
        // A range the CMap format does not allow: low and high differ in
        // their first byte, and the code's last byte is below low's. The
        // offset is the numeric distance 01 00 - 00 FF = 1.
        RangeCase{"IrregularRangeUsesNumericDistance",
                  "beginbfrange <00FF> <0110> <0041> endbfrange", "\x01\x00"s, "\x00\x42"s},
        RangeCase{"LongDestinationKeepsItsLength",
                  "beginbfrange <01> <05> <0066006900FF> endbfrange", "\x03",
                  "\x00\x66\x00\x69\x01\x01"s}),
    [](const auto& info) { return info.param.name; });

struct DestCase {
    std::string name;
    std::string dest;
    std::optional<char32_t> ch;
};

class Destination : public ::testing::TestWithParam<DestCase> {};

TEST_P(Destination, Shapes) { EXPECT_EQ(decode_destination(GetParam().dest), GetParam().ch); }

INSTANTIATE_TEST_SUITE_P(
    Cases, Destination,
    ::testing::Values(DestCase{"Empty", "", std::nullopt}, DestCase{"OneByte", "\xE9", 0xE9},
                      DestCase{"OneByteNul", "\x00"s, 0x00},
                      DestCase{"Utf16Unit", "\x20\xAC", 0x20AC},
                      DestCase{"LoneLowSurrogate", "\xDC\x00"s, std::nullopt},
                      DestCase{"LoneHighSurrogate", "\xD8\x3D", std::nullopt},
                      DestCase{"ThreeBytes", "\x01\xF6\x00"s, 0x1F600},
                      DestCase{"ThreeBytesAboveMax", "\x11\x00\x00"s, std::nullopt},
                      DestCase{"SurrogatePair", "\xD8\x3D\xDE\x00"s, 0x1F600},
                      DestCase{"PairWithBadLowHalf", "\xD8\x3D\x00\x41"s, std::nullopt},
                      DestCase{"ThirtyTwoBit", "\x00\x01\xF6\x00"s, 0x1F600},
                      DestCase{"TwoCharacters", "\x00\x66\x00\x69"s, std::nullopt},
                      DestCase{"FiveBytes", "\x00\x00\x00\x00\x41"s, std::nullopt}),
    [](const auto& info) { return info.param.name; });

} // namespace
} // namespace quarvel
