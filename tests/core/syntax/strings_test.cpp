#include "syntax/strings.h"

#include <gtest/gtest.h>

#include <string>

namespace quarvel {
namespace {

using namespace std::string_literals;

struct LiteralCase {
    std::string name;
    std::string input; // after the opening '('
    std::string standard;
    std::string content_stream;
};

class LiteralStrings : public ::testing::TestWithParam<LiteralCase> {};

// The one decoder under the standard rules (link targets) and under the
// content lexer's; the cases where the two differ name the difference.
TEST_P(LiteralStrings, DecodeUnderEachRuleSet) {
    const LiteralCase& c = GetParam();
    EXPECT_EQ(decode_literal_string(c.input).bytes, c.standard);
    EXPECT_EQ(decode_literal_string(c.input, kContentStreamStringRules).bytes, c.content_stream);
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, LiteralStrings,
    ::testing::Values(
        LiteralCase{"Named", R"(\n\r\t\(\)\\))", "\n\r\t()\\", "\n\r\t()\\"},
        LiteralCase{"Control", R"(\b\f))", "\b\f", "bf"},
        LiteralCase{"OtherByteStandsForItself", R"(\q\/))", "q/", "q/"},
        LiteralCase{"OctalOneToThreeDigits", R"(\101\0631\7x))", "A31\7x", "A31\7x"},
        LiteralCase{"OctalBeyondAByteKeepsLowBits", R"(\777))", "\xFF", "\xFF"},
        LiteralCase{"EightAndNine", R"(\8\97))", "897", "\x08O"},
        LiteralCase{"ContinuationLf", "a\\\nb)", "ab", "a\nb"},
        LiteralCase{"ContinuationCrLf", "a\\\r\nb)", "ab", "a\r\nb"},
        LiteralCase{"ContinuationCr", "a\\\rb)", "ab", "a\rb"},
        LiteralCase{"BareLineEnds", "a\r\nb\rc\nd)", "a\nb\nc\nd", "a\r\nb\rc\nd"},
        LiteralCase{"TrailingBackslash", "a\\", "a", "a"},
        LiteralCase{"NestedParentheses", "a(b)c)d", "a(b)c", "a(b)c"}),
    [](const auto& info) { return info.param.name; });

TEST(LiteralStrings, EndIsPastTheBalancingParenthesisOrTheInput) {
    EXPECT_EQ(decode_literal_string("a(b)c)d").end, 6u);
    EXPECT_EQ(decode_literal_string("a\\)b").end, 4u);
    EXPECT_EQ(decode_literal_string("open (nested)").end, 13u);
}

TEST(HexStrings, NonDigitsSkippedAndAnOddDigitPadded) {
    EXPECT_EQ(decode_hex_string("48 65\n6C6c 6F"), "Hello");
    EXPECT_EQ(decode_hex_string("4a4B"), "JK");
    EXPECT_EQ(decode_hex_string("61 62 6"), "ab`");
    EXPECT_EQ(decode_hex_string("zz\xff"), "");
    EXPECT_EQ(decode_hex_string(""), "");
}

} // namespace
} // namespace quarvel
