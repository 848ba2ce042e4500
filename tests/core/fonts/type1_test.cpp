#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "fonts/type1.h"

namespace quarvel {
namespace {

using namespace std::string_literals;

constexpr std::string_view kHeader = "%!PS-AdobeFont-1.0: Test 001.000\n"
                                     "%%Title: /Encoding StandardEncoding in a comment\n"
                                     "/FontInfo 2 dict dup begin\n"
                                     "/Notice (/Encoding StandardEncoding \\) def) readonly def\n"
                                     "end readonly def\n"
                                     "/FontName /Test def\n";

constexpr std::string_view kArrayEncoding = "/Encoding 256 array\n"
                                            "0 1 255 {1 index exch /.notdef put} for\n"
                                            "dup 65 /A put\n"
                                            "dup 66 /B put dup 32/space put\n"
                                            "dup 300 /toolarge put\n"
                                            "dup 67 put\n"
                                            "dup 0 /zero put\n"
                                            "readonly def\n"
                                            "currentdict end\ncurrentfile eexec\n";

std::string pfb(std::string_view clear) {
    std::string s = "\x80\x01"s;
    for (int i = 0; i < 4; ++i)
        s += static_cast<char>((clear.size() >> (8 * i)) & 0xFF);
    return s + std::string(clear) + "\x80\x02\x04\x00\x00\x00\xD9\xD6\x6F\x63"s;
}

// Comments and strings that mention /Encoding are not the encoding; entries
// are read whatever their spacing, and malformed ones are skipped alone.
TEST(Type1Encoding, ReadsDupPutEntriesByCode) {
    const std::string program = std::string(kHeader) + std::string(kArrayEncoding);
    for (const std::string& p : {program, pfb(program)}) {
        const auto enc = parse_type1_encoding(p);
        ASSERT_TRUE(enc);
        EXPECT_FALSE(enc->standard);
        EXPECT_EQ(enc->names[65], "A");
        EXPECT_EQ(enc->names[66], "B");
        EXPECT_EQ(enc->names[32], "space");
        EXPECT_EQ(enc->names[0], "zero");
        EXPECT_EQ(enc->names[67], "");
        EXPECT_EQ(enc->names[44], "");
    }
}

TEST(Type1Encoding, ReadsStandardEncoding) {
    const std::string program = std::string(kHeader) + "/Encoding StandardEncoding def\n";
    for (const std::string& p : {program, pfb(program)}) {
        const auto enc = parse_type1_encoding(p);
        ASSERT_TRUE(enc);
        EXPECT_TRUE(enc->standard);
    }
}

TEST(Type1Encoding, ReadsALiteralArrayByPosition) {
    const auto enc = parse_type1_encoding("/Encoding [/.notdef /one /two] readonly def");
    ASSERT_TRUE(enc);
    EXPECT_EQ(enc->names[1], "one");
    EXPECT_EQ(enc->names[2], "two");
}

class NoEncoding : public ::testing::TestWithParam<std::string> {};

// Only the clear text declares the encoding; another named encoding, or a
// program cut before its encoding, gives nothing to fall back on.
TEST_P(NoEncoding, GivesNothing) {
    EXPECT_FALSE(parse_type1_encoding(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NoEncoding,
    ::testing::Values(""s, std::string(kHeader),
                      std::string(kHeader) + "currentfile eexec\n/Encoding StandardEncoding def",
                      "/Encoding ISOLatin1Encoding def"s, "/Encoding"s,
                      // A PFB header whose length runs past the bytes keeps what is there.
                      "\x80\x01\xFF\xFF\xFF\xFF/FontName /X def"s));

// A program cut inside the entries keeps those before the cut; every prefix
// parses without reading past it.
TEST(Type1Encoding, TruncatedProgramKeepsEarlierEntries) {
    const std::string program = std::string(kHeader) + std::string(kArrayEncoding);
    const auto cut = program.find("dup 32");
    const auto enc = parse_type1_encoding(program.substr(0, cut));
    ASSERT_TRUE(enc);
    EXPECT_EQ(enc->names[66], "B");
    EXPECT_EQ(enc->names[32], "");
    for (std::size_t n = 0; n <= program.size(); ++n) {
        (void)parse_type1_encoding(std::string(program, 0, n));
    }
}

TEST(Type1Encoding, IgnoresNamesLongerThanPostScriptAllows) {
    const std::string program = "/Encoding 256 array dup 65 /" + std::string(128, 'x') +
                                " put dup 66 /" + std::string(127, 'y') + " put readonly def";
    const auto enc = parse_type1_encoding(program);
    ASSERT_TRUE(enc);
    EXPECT_EQ(enc->names[65], "");
    EXPECT_EQ(enc->names[66].size(), 127u);
}

} // namespace
} // namespace quarvel
