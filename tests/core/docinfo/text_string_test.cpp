#include "docinfo/text_string.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "docinfo/document_info.h"
#include "resource_limits.h"

namespace quarvel::docinfo {
namespace {

using namespace std::string_literals;

struct TextCase {
    std::string name;
    std::string bytes;
    std::string text;
};

class TextStrings : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextStrings, DecodeByTheirMark) {
    EXPECT_EQ(decode_text_string(GetParam().bytes), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, TextStrings,
    ::testing::Values(TextCase{"Utf16BigEndian", "\xFE\xFF\x00H\x00\xE9"s, "H\xC3\xA9"},
                      TextCase{"Utf16SurrogatePair", "\xFE\xFF\xD8\x3D\xDE\x00"s,
                               "\xF0\x9F\x98\x80"},
                      TextCase{"Utf16LoneSurrogate", "\xFE\xFF\xD8\x3D\x00x"s, "\xEF\xBF\xBDx"},
                      TextCase{"Utf16OddByteDropped", "\xFE\xFF\x00H\x00"s, "H"},
                      TextCase{"Utf16LanguageEscapeDropped",
                               "\xFE\xFF\x00\x1B"
                               "en\x00\x1B\x00H"s,
                               "H"},
                      TextCase{"Utf16TrailingNul", "\xFE\xFF\x00H\x00\x00"s, "H"},
                      TextCase{"Utf16LittleEndian", "\xFF\xFEH\x00"s, "H"},
                      TextCase{"Utf8Mark", "\xEF\xBB\xBF\xC3\xA9"s, "\xC3\xA9"},
                      TextCase{"PdfDocAccents", "\x18\x1F"s, "\xCB\x98\xCB\x9C"},
                      TextCase{"PdfDocTypography", "\x80\x84\x93\xA0"s,
                               "\xE2\x80\xA2\xE2\x80\x94\xEF\xAC\x81\xE2\x82\xAC"},
                      TextCase{"PdfDocLatin1", "caf\xE9"s, "caf\xC3\xA9"}),
    [](const auto& info) { return info.param.name; });

struct DateCase {
    std::string name;
    std::string text;
    std::optional<std::string> iso;
};

class PdfDates : public ::testing::TestWithParam<DateCase> {};

TEST_P(PdfDates, ReadLeniently) {
    EXPECT_EQ(pdf_date_iso(GetParam().text), GetParam().iso);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, PdfDates,
    ::testing::Values(
        DateCase{"Full", "D:20200102030405+01'00'", "2020-01-02T03:04:05+01:00"},
        DateCase{"NegativeZoneNoApostrophes", "D:20200102030405-0530", "2020-01-02T03:04:05-05:30"},
        DateCase{"ZoneHoursOnly", "D:20200102030405+02", "2020-01-02T03:04:05+02:00"},
        DateCase{"Utc", "D:20200102030405Z00'00'", "2020-01-02T03:04:05Z"},
        DateCase{"NoZone", "D:20200102030405", "2020-01-02T03:04:05"},
        DateCase{"YearOnly", "D:2020", "2020-01-01T00:00:00"},
        DateCase{"NoPrefix", "20200102", "2020-01-02T00:00:00"},
        DateCase{"TrailingJunk", "D:20200102030405+01'00'xyz", "2020-01-02T03:04:05+01:00"},
        DateCase{"MonthOutOfRange", "D:20201302", std::nullopt},
        DateCase{"HourOutOfRange", "D:2020010224", std::nullopt},
        DateCase{"CenturyBug", "D:191000101120000", std::nullopt},
        DateCase{"NotADate", "garbage", std::nullopt}, DateCase{"Empty", "", std::nullopt}),
    [](const auto& info) { return info.param.name; });

TEST(XmpDates, IsoFormsNormalise) {
    EXPECT_EQ(xmp_date_iso("2020-01-02T03:04:05+01:00"), "2020-01-02T03:04:05+01:00");
    EXPECT_EQ(xmp_date_iso("2020-01-02T03:04:05.123Z"), "2020-01-02T03:04:05Z");
    EXPECT_EQ(xmp_date_iso("2020-01-02T03:04"), "2020-01-02T03:04:00");
    EXPECT_EQ(xmp_date_iso("2020-01-02"), "2020-01-02T00:00:00");
    EXPECT_EQ(xmp_date_iso("2020"), "2020-01-01T00:00:00");
    EXPECT_EQ(xmp_date_iso("2020-13-01"), std::nullopt);
}

TEST(XmpScan, ElementsAttributesListsAndEntities) {
    const Metadata m = metadata_from_xmp(
        R"(<x:xmpmeta><rdf:RDF><rdf:Description pdf:Producer="Maker &amp; Co" )"
        R"(xmp:CreateDate="2021-05-06T07:08:09Z">)"
        R"(<dc:title><rdf:Alt><rdf:li xml:lang="x-default">A &lt;b&gt; &#233;</rdf:li>)"
        R"(<rdf:li xml:lang="de">Andere</rdf:li></rdf:Alt></dc:title>)"
        R"(<dc:creator><rdf:Seq><rdf:li>Ann</rdf:li><rdf:li>Bo</rdf:li></rdf:Seq></dc:creator>)"
        R"(<pdf:Keywords>k1, k2</pdf:Keywords><xmp:CreatorToolX>no</xmp:CreatorToolX>)"
        R"(</rdf:Description></rdf:RDF></x:xmpmeta>)");
    EXPECT_EQ(m.title, "A <b> \xC3\xA9");
    EXPECT_EQ(m.author, "Ann, Bo");
    EXPECT_EQ(m.keywords, "k1, k2");
    EXPECT_EQ(m.producer, "Maker & Co");
    EXPECT_EQ(m.creator, std::nullopt); // a longer tag name is another property
    EXPECT_EQ(m.creation_date, "2021-05-06T07:08:09Z");
    EXPECT_EQ(m.raw_creation_date, "2021-05-06T07:08:09Z");
    EXPECT_EQ(m.subject, std::nullopt);
}

// The scan reads limits::kMaxXmpBytes of the packet and no further: a
// property that ends at the limit is found, one that ends past it is not.
TEST(XmpScan, ReadsUpToTheByteLimit) {
    const std::string tail = "<pdf:Producer>P</pdf:Producer>";
    const std::string at_limit = std::string(limits::kMaxXmpBytes - tail.size(), ' ') + tail;
    EXPECT_EQ(metadata_from_xmp(at_limit).producer, "P");
    EXPECT_EQ(metadata_from_xmp(" " + at_limit).producer, std::nullopt);
}

TEST(XmpScan, UnclosedElementsGiveNothing) {
    const Metadata m = metadata_from_xmp("<dc:title><rdf:Alt><rdf:li>never closed");
    EXPECT_EQ(m.title, std::nullopt);
}

} // namespace
} // namespace quarvel::docinfo
