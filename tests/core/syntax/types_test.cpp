#include "syntax/types.h"

#include <gtest/gtest.h>

#include "syntax/error.h"
#include "syntax/text.h"

namespace quarvel {
namespace {

PdfObject dict_of(std::initializer_list<std::pair<std::string_view, PdfObject>> pairs) {
    PdfDict d;
    for (const auto& [k, v] : pairs) d.push_back({k, v});
    return PdfObject::dictionary(std::move(d));
}

TEST(PdfObjectGet, FirstKeyWinsAndMatchIsExact) {
    PdfObject d = dict_of({{"A", PdfObject::integer(1)},
                           {"A", PdfObject::integer(2)},
                           {"Length2", PdfObject::integer(3)},
                           {"length", PdfObject::integer(4)}});
    ASSERT_NE(d.get("A"), nullptr);
    EXPECT_EQ(d.get("A")->as_int(), 1);
    EXPECT_EQ(d.get("Length"), nullptr);
}

TEST(PdfObjectGet, StreamsAreSearchedOtherTypesYieldNothing) {
    PdfDict sd;
    sd.push_back({"Length", PdfObject::integer(3)});
    PdfObject s = PdfObject::stream(std::move(sd), "abc");
    ASSERT_NE(s.get("Length"), nullptr);
    EXPECT_EQ(s.get("Length")->as_int(), 3);
    EXPECT_EQ(PdfObject::array({}).get("Length"), nullptr);
    EXPECT_EQ(PdfObject::integer(1).get("Length"), nullptr);
    EXPECT_EQ(PdfObject::reference({1, 0}).get("Length"), nullptr);
}

TEST(PdfObjectType, VariantOrderIsTheDeclaredOne) {
    EXPECT_EQ(PdfObject().type(), PdfObject::Type::Null);
    EXPECT_EQ(PdfObject::hex_string("41").type(), PdfObject::Type::HexString);
    EXPECT_EQ(PdfObject::stream({}, "").type(), PdfObject::Type::Stream);
    EXPECT_NE(PdfObject::string("a"), PdfObject::name("a"));
    EXPECT_EQ(PdfObject::name("a"), PdfObject::name("a"));
}

TEST(ParseErrorDisplay, TextsAreExact) {
    EXPECT_EQ(ParseError::unexpected_eof().display(), "unexpected end of input");
    EXPECT_EQ(ParseError::unexpected_byte('>').display(), "unexpected byte: 0x3e ('>')");
    EXPECT_EQ(ParseError::unexpected_byte(0x0a).display(), "unexpected byte: 0x0a ('\n')");
    EXPECT_EQ(ParseError::unexpected_byte(0xe9).display(), "unexpected byte: 0xe9 ('\xC3\xA9')");
    EXPECT_EQ(ParseError::invalid_number().display(), "invalid number format");
    EXPECT_EQ(ParseError::invalid_hex().display(), "invalid hex string");
    EXPECT_EQ(ParseError::invalid_name_escape().display(), "invalid #XX escape in name");
    EXPECT_EQ(ParseError::unbalanced_parens().display(), "unbalanced parentheses in string");
    EXPECT_EQ(ParseError::missing_length().display(), "stream missing /Length");
    EXPECT_EQ(ParseError::other("startxref not found").display(), "startxref not found");
}

TEST(LossyUtf8, ReplacesEachMaximalInvalidSubpart) {
    // The cases where decoders disagree; these are what Python's
    // errors="replace" produces.
    EXPECT_EQ(lossy_utf8("abc"), "abc");
    EXPECT_EQ(lossy_utf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(lossy_utf8("\xE2\x82"), "\xEF\xBF\xBD");                     // truncated: one
    EXPECT_EQ(lossy_utf8("\xE0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD");         // overlong: two
    EXPECT_EQ(lossy_utf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"); // surrogate
    EXPECT_EQ(lossy_utf8("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
    EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));
    EXPECT_TRUE(is_valid_utf8("\xC3\xA9"));
}

} // namespace
} // namespace quarvel
