#include "syntax/string_bytes.h"

#include <gtest/gtest.h>

#include <string>

namespace quarvel {
namespace {

using namespace std::literals;

struct Decoding {
    const char* name;
    std::string raw;
    std::string bytes;
};

class LiteralString : public ::testing::TestWithParam<Decoding> {};

TEST_P(LiteralString, DecodesToTheBytesItStandsFor) {
    EXPECT_EQ(literal_string_bytes(GetParam().raw), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, LiteralString,
    ::testing::Values(Decoding{"Named", R"(a\n\r\t\b\fz)", "a\n\r\t\b\fz"},
                      Decoding{"Parens", R"(a\(b\)\\)", R"(a(b)\)"},
                      Decoding{"OctalOneToThreeDigits", R"(\0\12\101\1011)", "\0\nAA1"s},
                      Decoding{"OctalBeyondAByteKeepsTheLowByte", R"(\777)", "\xFF"},
                      Decoding{"UnknownEscapeIsTheCharacter", R"(\q)", "q"},
                      Decoding{"BackslashJoinsLines", "a\\\r\nb\\\nc\\\rd", "abcd"},
                      Decoding{"BareEndOfLineReadsAsLf", "a\r\nb\rc", "a\nb\nc"},
                      Decoding{"LoneTrailingBackslash", "ab\\", "ab"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HexString, SkipsWhitespaceAndPadsAnOddDigit) {
    EXPECT_EQ(hex_string_bytes("48 65\n6c6C 6"), "Hel\x6c\x60");
    EXPECT_EQ(hex_string_bytes(""), "");
}

TEST(HexString, RoundTripsThroughToHex) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    EXPECT_EQ(hex_string_bytes(to_hex(all)), all);
}

} // namespace
} // namespace quarvel
