#include "fonts/font.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "file/document.h"
#include "syntax/object.h"
#include "resource_limits.h"
#include "support/pdf_builder.h"

namespace quarvel {
namespace {

using namespace std::string_literals;

// Parses one object from PDF syntax; the text must outlive the object.
PdfObject obj(std::string_view text) {
    static Arena arena;
    Cursor cur(text, arena);
    Result<PdfObject> r = parse_object(cur);
    EXPECT_TRUE(r.ok()) << text;
    return r.ok() ? std::move(r).value() : PdfObject();
}

std::vector<double> range_widths(const CIDFontInfo& f, std::size_t i) { return f.widths[i].widths; }

// --- extract_font_info -------------------------------------------------------

TEST(ExtractFontInfo, DefaultsForMissingOrMistypedKeys) {
    for (const char* text : {"<< >>", "42", "[/BaseFont /X]",
                             "<< /BaseFont (Helv) /Widths 3 /DW /Big /Encoding 7 >>"}) {
        const FontInfo f = extract_font_info(obj(text));
        EXPECT_EQ(f.base_font, "Unknown") << text;
        EXPECT_FALSE(f.is_type0);
        EXPECT_FALSE(f.encoding);
        EXPECT_TRUE(f.widths.empty());
        EXPECT_EQ(f.default_width, 1000.0);
        EXPECT_FALSE(f.differences);
        EXPECT_FALSE(f.to_unicode);
        EXPECT_FALSE(f.cid_font);
    }
}

TEST(ExtractFontInfo, ReadsDirectFields) {
    const FontInfo f = extract_font_info(obj("<< /Type /Font /Subtype /Type0 /BaseFont /AB#FFC "
                                             "/Encoding /WinAnsiEncoding /Widths [500 null 600.5] "
                                             "/DW 250 >>"));
    EXPECT_TRUE(f.is_type0);
    EXPECT_EQ(f.base_font, "AB\xEF\xBF\xBD"
                           "C");
    EXPECT_EQ(f.encoding, "WinAnsiEncoding");
    EXPECT_EQ(f.widths, (std::vector<double>{500, 600.5}));
    EXPECT_EQ(f.default_width, 250.0);
    EXPECT_FALSE(f.differences);
}

TEST(ExtractFontInfo, FirstKeyDecidesEvenWhenMistyped) {
    const FontInfo f = extract_font_info(
        obj("<< /Subtype (Type0) /Subtype /Type0 /Widths 1 /Widths [1 2] /DW 3.5 /DW 7 >>"));
    EXPECT_FALSE(f.is_type0);
    EXPECT_TRUE(f.widths.empty());
    EXPECT_EQ(f.default_width, 3.5);
}

TEST(ExtractFontInfo, StreamFontIsReadThroughItsDictionary) {
    PdfDict d;
    d.push_back({"BaseFont", PdfObject::name("Courier")});
    const FontInfo f = extract_font_info(PdfObject::stream(std::move(d), ""));
    EXPECT_EQ(f.base_font, "Courier");
}

struct DiffCase {
    std::string name;
    std::string differences;
    std::vector<std::pair<int, std::string>> entries; // empty: absent
};

class Differences : public ::testing::TestWithParam<DiffCase> {};

TEST_P(Differences, CounterRules) {
    const std::string text = "<< /Encoding << /Differences " + GetParam().differences + " >> >>";
    const FontInfo f = extract_font_info(obj(text));
    if (GetParam().entries.empty()) {
        EXPECT_FALSE(f.differences);
        return;
    }
    ASSERT_TRUE(f.differences);
    std::unordered_map<std::uint8_t, std::string> want;
    for (const auto& [code, glyph] : GetParam().entries) {
        want[static_cast<std::uint8_t>(code)] = glyph;
    }
    EXPECT_EQ(*f.differences, want);
    EXPECT_FALSE(f.encoding);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Differences,
    ::testing::Values(
        DiffCase{"Sequence", "[65 /A /B 300 /C]", {{65, "A"}, {66, "B"}, {44, "C"}}},
        DiffCase{"WrapsPast255", "[255 /x /y]", {{255, "x"}, {0, "y"}}},
        DiffCase{"LaterEntryReplaces", "[32 /space 32 /blank]", {{32, "blank"}}},
        DiffCase{"NegativeTakesLowByte", "[-1 /a -255 /b]", {{255, "a"}, {1, "b"}}},
        DiffCase{"CounterStartsAtZeroRealsIgnored", "[/n 66.0 /m (s) /o]",
                 {{0, "n"}, {1, "m"}, {2, "o"}}},
        DiffCase{"NameBytesKeptUnchanged", "[9 /a#FFb]", {{9, "a\xFF"
                                                              "b"}}},
        DiffCase{"NoNamesIsAbsent", "[1 2 3]", {}}, DiffCase{"NotAnArray", "/Foo", {}}),
    [](const auto& info) { return info.param.name; });

// --- extract_cid_font_info ----------------------------------------------------

struct WCase {
    std::string name;
    std::string w;
    std::vector<std::pair<std::uint32_t, std::vector<double>>> ranges;
};

class CidWidths : public ::testing::TestWithParam<WCase> {};

TEST_P(CidWidths, ScanAndStableSort) {
    const std::string text = "<< /W " + GetParam().w + " >>";
    const CIDFontInfo f = extract_cid_font_info(obj(text));
    ASSERT_EQ(f.widths.size(), GetParam().ranges.size());
    for (std::size_t i = 0; i < f.widths.size(); ++i) {
        EXPECT_EQ(f.widths[i].start, GetParam().ranges[i].first) << i;
        EXPECT_EQ(f.widths[i].widths, GetParam().ranges[i].second) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CidWidths,
    ::testing::Values(
        WCase{"BothForms", "[1 [500 600] 10 12 700]", {{1, {500, 600}}, {10, {700, 700, 700}}}},
        WCase{"EmptyCount", "[5 4 100]", {{5, {}}}},
        WCase{"SortedByStart", "[10 [300] 2 [400]]", {{2, {400}}, {10, {300}}}},
        WCase{"EqualStartsKeepArrayOrder", "[7 [1] 3 [9] 7 [2]]", {{3, {9}}, {7, {1}}, {7, {2}}}},
        WCase{"NonNumbersInListBecomeZero", "[0 [1 /x 2.5]]", {{0, {1, 0, 2.5}}}},
        WCase{"EmptyListSkipped", "[0 [] 4 [8]]", {{4, {8}}}},
        WCase{"MissingOrBadWidthIsZero", "[1 2 /w 9 9]", {{1, {0, 0}}, {9, {0}}}},
        WCase{"NonIntegersSkipped", "[/a 1.5 3 (s) 4 [6]]", {{4, {6}}}},
        WCase{"TrailingIntegerIgnored", "[4 [6] 9]", {{4, {6}}}},
        WCase{"StartIsLow32Bits", "[4294967297 [5]]", {{1, {5}}}},
        WCase{"NotAnArray", "5", {}}),
    [](const auto& info) { return info.param.name; });

TEST(CidWidths, RangeFormIsBoundedToTwoByteCodes) {
    constexpr std::uint32_t kMax = limits::kMaxCidRangeCodes;
    // At the limit: codes 0..65535 all get the width.
    const CIDFontInfo at = extract_cid_font_info(obj("<< /W [0 65535 9] >>"));
    ASSERT_EQ(at.widths.size(), 1u);
    EXPECT_EQ(at.widths[0].widths.size(), kMax);
    // One past it: the code 65536 cannot occur, so nothing is lost.
    const CIDFontInfo past = extract_cid_font_info(obj("<< /W [0 65536 9] >>"));
    EXPECT_EQ(past.widths[0].widths.size(), kMax);
    // c_last below c_first wraps the count to about four thousand million.
    const CIDFontInfo wrapped = extract_cid_font_info(obj("<< /W [10 0 9] /DW 1 >>"));
    EXPECT_EQ(wrapped.widths[0].widths.size(), kMax - 10);
    FontInfo font;
    font.cid_font = wrapped;
    EXPECT_EQ(font.glyph_width(65535), 9.0);
    EXPECT_EQ(font.glyph_width(9), 1.0);
    // A range starting beyond two-byte codes keeps no widths.
    const CIDFontInfo high = extract_cid_font_info(obj("<< /W [70000 70010 9] >>"));
    EXPECT_TRUE(high.widths[0].widths.empty());
}

TEST(CidWidths, ShadowedCodesAreNotMaterialisedButLookupsAgree) {
    // Codes 50.. of the first range are unreachable: the range at 50 is
    // the last one starting at or below them.
    FontInfo font;
    font.cid_font = extract_cid_font_info(obj("<< /W [0 100 5 50 60 7 0 10 3] /DW 1 >>"));
    const CIDFontInfo& f = *font.cid_font;
    ASSERT_EQ(f.widths.size(), 3u);
    EXPECT_TRUE(range_widths(f, 0).empty()); // shadowed by the later range at 0
    EXPECT_EQ(range_widths(f, 1).size(), 11u);
    EXPECT_EQ(range_widths(f, 2).size(), 11u);
    EXPECT_EQ(font.glyph_width(5), 3.0);
    EXPECT_EQ(font.glyph_width(20), 1.0); // past the range at 0 that wins
    EXPECT_EQ(font.glyph_width(55), 7.0);
    EXPECT_EQ(font.glyph_width(70), 1.0);

    // Many overlapping full-size ranges stay within one set of codes.
    std::string w = "<< /W [";
    for (int i = 0; i < 2000; ++i) w += "0 65535 1 ";
    w += "] >>";
    const CIDFontInfo many = extract_cid_font_info(obj(w));
    std::size_t total = 0;
    for (const CIDWidthRange& r : many.widths) total += r.widths.size();
    EXPECT_EQ(many.widths.size(), 2000u);
    EXPECT_EQ(total, limits::kMaxCidRangeCodes);
}

TEST(ExtractCidFontInfo, OtherFields) {
    PdfDict d;
    d.push_back({"Subtype", PdfObject::name("CIDFontType2")});
    d.push_back({"BaseFont", PdfObject::name("Arial")});
    d.push_back({"DW", PdfObject::integer(500)});
    d.push_back({"CIDToGIDMap", PdfObject::stream({}, std::string_view("\x00\x01\x00\x02", 4))});
    d.push_back({"DW2", obj("[880 (x) 7]")});
    d.push_back({"W2", obj("[1 /x 2.5]")});
    const CIDFontInfo f = extract_cid_font_info(PdfObject::dictionary(std::move(d)));
    EXPECT_EQ(f.subtype, "CIDFontType2");
    EXPECT_EQ(f.base_font, "Arial");
    EXPECT_EQ(f.default_width, 500.0);
    EXPECT_EQ(f.cid_to_gid_map, "\x00\x01\x00\x02"s);
    EXPECT_EQ(f.dw2, std::make_pair(880.0, 0.0));
    EXPECT_EQ(f.w2, (std::vector<double>{1, 2.5}));

    const CIDFontInfo g =
        extract_cid_font_info(obj("<< /CIDToGIDMap /Identity /DW2 [1] /DW (x) >>"));
    EXPECT_TRUE(g.cid_to_gid_map.empty());
    EXPECT_FALSE(g.dw2);
    EXPECT_EQ(g.default_width, 1000.0);
    EXPECT_TRUE(g.base_font.empty());
    EXPECT_TRUE(g.subtype.empty());
}

// --- widths -------------------------------------------------------------------

TEST(GlyphWidth, SimpleFontIndexesWidthsByCode) {
    FontInfo f;
    f.widths = {100, 200, 300};
    f.default_width = 42;
    EXPECT_EQ(f.glyph_width(0), 100.0);
    EXPECT_EQ(f.glyph_width(2), 300.0);
    EXPECT_EQ(f.glyph_width(3), 42.0);
    EXPECT_EQ(f.glyph_width(0xFFFFFFFFu), 42.0);
}

TEST(GlyphWidth, CidFontTakesLastRangeStartingAtOrBelowCode) {
    FontInfo f;
    f.default_width = 1; // the Type0 dictionary's /DW plays no part
    f.cid_font = extract_cid_font_info(obj("<< /DW 500 /W [10 [300 301] 2 [400] 20 30 5] >>"));
    EXPECT_EQ(f.glyph_width(1), 500.0);  // below every range
    EXPECT_EQ(f.glyph_width(2), 400.0);
    EXPECT_EQ(f.glyph_width(3), 500.0);  // past the range at 2
    EXPECT_EQ(f.glyph_width(11), 301.0);
    EXPECT_EQ(f.glyph_width(25), 5.0);
    EXPECT_EQ(f.glyph_width(31), 500.0);
    FontInfo empty;
    empty.cid_font = CIDFontInfo{};
    EXPECT_EQ(empty.glyph_width(0), 1000.0);
}

// --- decode_char ----------------------------------------------------------------

FontInfo font_with(std::string_view cmap, std::vector<std::pair<std::uint8_t, std::string>> diffs) {
    FontInfo f;
    if (!cmap.empty()) f.to_unicode = parse_cmap(cmap);
    f.set_differences({diffs.begin(), diffs.end()});
    return f;
}

struct DecodeCase {
    std::string name;
    std::string cmap;
    std::vector<std::pair<std::uint8_t, std::string>> diffs;
    std::string code;
    char32_t ch;
};

class DecodeChar : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeChar, SourcesInOrder) {
    const DecodeCase& c = GetParam();
    EXPECT_EQ(static_cast<std::uint32_t>(font_with(c.cmap, c.diffs).decode_char(c.code)),
              static_cast<std::uint32_t>(c.ch));
}

const std::string kSmiley = "beginbfchar <41> <D83DDE00> <42> <00660069> <43> <DC00> endbfchar";

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeChar,
    ::testing::Values(
        DecodeCase{"ByteAscii", "", {}, "\x41", U'A'},
        DecodeCase{"ByteLatin1", "", {}, "\xE9", 0xE9},
        DecodeCase{"ByteControl", "", {}, "\x09", 0xFFFD},
        DecodeCase{"ByteDelete", "", {}, "\x7F", 0xFFFD},
        DecodeCase{"ByteNul", "", {}, "\x00"s, 0xFFFD},
        DecodeCase{"TwoBytesWithoutMap", "", {}, "\x00\x41"s, 0xFFFD},
        DecodeCase{"EmptyCode", "", {}, "", 0xFFFD},
        DecodeCase{"SurrogatePairDestination", kSmiley, {}, "\x41", 0x1F600},
        DecodeCase{"TwoCharDestinationFallsToByte", kSmiley, {}, "\x42", U'B'},
        DecodeCase{"TwoCharDestinationFallsToDifferences", kSmiley, {{0x42, "fi"}}, "\x42",
                   0xFB01},
        DecodeCase{"LoneSurrogateFallsThrough", kSmiley, {{0x43, "Euro"}}, "\x43", 0x20AC},
        DecodeCase{"ToUnicodeWinsOverDifferences", kSmiley, {{0x41, "Euro"}}, "\x41", 0x1F600},
        DecodeCase{"TwoByteCodeThroughRange", "beginbfrange <0000> <00FF> <0400> endbfrange", {},
                   "\x00\x10"s, 0x410},
        DecodeCase{"TwoByteCodeUndecodableIsReplacement",
                   "beginbfchar <0001> <00660069> endbfchar", {{0x00, "A"}}, "\x00\x01"s,
                   0xFFFD},
        DecodeCase{"EmptyMapFallsThrough", "garbage", {}, "\x61", U'a'},
        DecodeCase{"GlyphName", "", {{0x41, "Euro"}}, "\x41", 0x20AC},
        DecodeCase{"SingleLetterNameIsNotRead", "", {{0x41, "B"}}, "\x41", U'A'},
        DecodeCase{"GlyphNameRescuesControlByte", "", {{0x10, "space"}}, "\x10", U' '},
        DecodeCase{"UniName", "", {{0x80, "uni2014"}}, "\x80", 0x2014},
        DecodeCase{"UniNamePlus", "", {{0x80, "uni+2014"}}, "\x80", 0x2014},
        DecodeCase{"UniNameLowerCaseManyDigits", "", {{0x80, "uni0001f600"}}, "\x80", 0x1F600},
        DecodeCase{"UniNameSurrogate", "", {{0x80, "uniD800"}}, "\x80", 0x80},
        DecodeCase{"UniNameTooShort", "", {{0x80, "uni41"}}, "\x80", 0x80},
        DecodeCase{"UniNameAboveMax", "", {{0x80, "uni00410042"}}, "\x80", 0x80},
        DecodeCase{"UniNameWiderThan32Bits", "", {{0x80, "uni1000000041"}}, "\x80", 0x80},
        DecodeCase{"UniNameTwoPlus", "", {{0x80, "uni++2014"}}, "\x80", 0x80},
        DecodeCase{"UniNameNonHex", "", {{0x80, "uni20G4"}}, "\x80", 0x80},
        DecodeCase{"OtherNameForms", "", {{0x80, "u2014"}}, "\x80", 0x80},
        DecodeCase{"InvalidUtf8Name", "", {{0x80, "\xFF\xFE"}}, "\x80", 0x80},
        DecodeCase{"NoEntryForByte", "", {{0x41, "Euro"}}, "\x42", U'B'}),
    [](const auto& info) { return info.param.name; });

// Entries chosen where a wrong code point is easy to write: the letters that
// older glyph lists map to symbols, near neighbours, and gaps in a block.
struct GlyphCase {
    std::string name;
    std::optional<char32_t> ch;
};

class GlyphTable : public ::testing::TestWithParam<GlyphCase> {};

TEST_P(GlyphTable, SpotChecks) {
    EXPECT_EQ(glyph_name_to_unicode(GetParam().name), GetParam().ch) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GlyphTable,
    ::testing::Values(
        GlyphCase{"mu", 0x03BC}, GlyphCase{"Delta", 0x0394}, GlyphCase{"Omega", 0x03A9},
        GlyphCase{"minus", 0x2212}, GlyphCase{"hyphen", 0x002D}, GlyphCase{"quotesingle", 0x27},
        GlyphCase{"quoteright", 0x2019}, GlyphCase{"grave", 0x60},
        GlyphCase{"Sigma", 0x03A3}, GlyphCase{"Upsilon", 0x03A5}, GlyphCase{"sigma", 0x03C3},
        GlyphCase{"phi1", 0x03D5}, GlyphCase{"epsilon1", 0x03F5}, GlyphCase{"ydieresis", 0xFF},
        GlyphCase{"Ugrave", 0xD9}, GlyphCase{"multiply", 0xD7}, GlyphCase{"Lslash", 0x0141},
        GlyphCase{"zcaron", 0x017E}, GlyphCase{"fraction", 0x2044},
        GlyphCase{"quotesinglbase", 0x201A}, GlyphCase{"guilsinglright", 0x203A},
        GlyphCase{"perpendicular", 0x22A5}, GlyphCase{"supersetequal", 0x2287},
        GlyphCase{"subseteq", 0x2286}, GlyphCase{"arrowdbldown", 0x21D3},
        GlyphCase{"OE", 0x0152}, GlyphCase{"fl", 0xFB02}, GlyphCase{"Xi", 0x039E},
        GlyphCase{"at", 0x40}, GlyphCase{"bar", 0x7C},
        // Names outside the table, near misses of names inside it.
        GlyphCase{"A", std::nullopt}, GlyphCase{"", std::nullopt},
        GlyphCase{"Space", std::nullopt}, GlyphCase{"space ", std::nullopt},
        GlyphCase{"micro", std::nullopt}, GlyphCase{"a.sc", std::nullopt},
        GlyphCase{"f_f", std::nullopt}, GlyphCase{"ff", std::nullopt},
        GlyphCase{"uni0041", std::nullopt}, GlyphCase{"quotesinglbasex", std::nullopt},
        GlyphCase{"dotlessi", std::nullopt}, GlyphCase{"sigma1", std::nullopt}));

// --- build_font_map ---------------------------------------------------------------

std::unique_ptr<Document> open_fonts(testing::PdfBuilder b) {
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
        .object(2, "<< /Type /Pages /Kids [] /Count 0 >>");
    Result<std::unique_ptr<Document>> doc = Document::from_mmap(Mapping::from_bytes(b.build()));
    EXPECT_TRUE(doc.ok());
    return doc.ok() ? std::move(doc).value() : nullptr;
}

TEST(BuildFontMap, ResolvesFontsAndTheirReferencedParts) {
    testing::PdfBuilder b;
    b.object(10, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding 11 0 R "
                 "/ToUnicode 12 0 R /Widths [500 600] >>")
        .object(11, "<< /Type /Encoding /Differences [65 /Euro] >>")
        .filtered_stream(12, "", "beginbfchar <42> <03A9> endbfchar", "FlateDecode")
        .object(13, "42")
        .object(14, "<< /Subtype /Type0 /BaseFont /Sub /DescendantFonts [15 0 R 13 0 R] "
                    "/ToUnicode 16 0 R /DW 1 >>")
        .object(15, "<< /Subtype /CIDFontType2 /DW 500 /W [1 [250]] >>")
        // Labelled Flate but not compressed: the raw bytes are parsed.
        .stream(16, "/Filter /FlateDecode", "beginbfchar <0001> <0041> endbfchar")
        .object(17, "<< /Subtype /Type0 /DescendantFonts [<< /DW 5 >>] /ToUnicode << >> >>")
        .object(18, "<< /Encoding << /Differences [66 /fi] >> /ToUnicode 13 0 R >>")
        .object(19, "<< /Encoding 13 0 R /ToUnicode 99 0 R >>")
        .object(20, "<< /Encoding /WinAnsiEncoding >>");
    const std::unique_ptr<Document> doc = open_fonts(b);
    ASSERT_TRUE(doc);
    const PdfObject resources = obj("<< /Font << /F1 10 0 R /F2 14 0 R /Missing 99 0 R /Int 5 "
                                    "/Num 13 0 R /T0 17 0 R /Direct 18 0 R /BadEnc 19 0 R "
                                    "/F#FF 20 0 R /Inline << /BaseFont /Inl >> /Dup 10 0 R "
                                    "/Dup 20 0 R >> >>");
    const FontMap fonts = build_font_map(resources, *doc);

    std::vector<std::string> keys;
    for (const auto& [k, v] : fonts) keys.push_back(k);
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"BadEnc", "Direct", "Dup", "F1", "F2",
                                              "F\xEF\xBF\xBD", "Inline", "Num", "T0"}));
    ASSERT_EQ(fonts.size(), 9u);
    EXPECT_FALSE(fonts.contains("Missing"));
    EXPECT_FALSE(fonts.contains("Int"));

    const FontInfo& f1 = *fonts.at("F1");
    EXPECT_EQ(f1.base_font, "Helvetica");
    ASSERT_TRUE(f1.differences);
    EXPECT_EQ(f1.differences->at(65), "Euro");
    ASSERT_TRUE(f1.to_unicode);
    EXPECT_EQ(f1.decode_char("A"), 0x20AC);
    EXPECT_EQ(f1.decode_char("B"), 0x03A9);
    EXPECT_EQ(f1.glyph_width(1), 600.0);

    const FontInfo& f2 = *fonts.at("F2");
    ASSERT_TRUE(f2.is_type0 && f2.cid_font);
    EXPECT_EQ(f2.cid_font->subtype, "CIDFontType2");
    EXPECT_EQ(f2.glyph_width(1), 250.0);
    EXPECT_EQ(f2.glyph_width(2), 500.0);
    EXPECT_EQ(f2.decode_char("\x00\x01"s), U'A');

    const FontInfo& num = *fonts.at("Num"); // a reference to an integer
    EXPECT_EQ(num.base_font, "Unknown");
    EXPECT_TRUE(num.widths.empty());
    EXPECT_EQ(num.default_width, 1000.0);

    // Direct descendant dictionaries and ToUnicode dictionaries are not read.
    EXPECT_FALSE(fonts.at("T0")->cid_font);
    EXPECT_FALSE(fonts.at("T0")->to_unicode);
    // Direct differences stand; a ToUnicode reference to a non-stream is dropped.
    EXPECT_EQ(fonts.at("Direct")->differences->at(66), "fi");
    EXPECT_FALSE(fonts.at("Direct")->to_unicode);
    EXPECT_FALSE(fonts.at("BadEnc")->differences);
    EXPECT_FALSE(fonts.at("BadEnc")->to_unicode);
    // An encoding name only names the encoding.
    const FontInfo& named = *fonts.at("F\xEF\xBF\xBD");
    EXPECT_EQ(named.encoding, "WinAnsiEncoding");
    EXPECT_FALSE(named.differences);
    EXPECT_EQ(fonts.at("Inline")->base_font, "Inl");
    // The later of two equal keys replaces the earlier.
    EXPECT_EQ(fonts.at("Dup")->encoding, "WinAnsiEncoding");
}

TEST(BuildFontMap, EmptyWithoutADirectFontDictionary) {
    testing::PdfBuilder b;
    b.object(10, "<< /F1 11 0 R >>").object(11, "<< /BaseFont /Helvetica >>");
    const std::unique_ptr<Document> doc = open_fonts(b);
    ASSERT_TRUE(doc);
    for (const char* text : {"<< >>", "<< /Font 10 0 R >>", "<< /Font << >> >>",
                             "<< /Font [11 0 R] >>", "[<< /Font << /F1 11 0 R >> >>]"}) {
        EXPECT_TRUE(build_font_map(obj(text), *doc).empty()) << text;
    }
    // A resource dictionary held as a stream is read through its dictionary.
    PdfDict d;
    d.push_back({"Font", obj("<< /F1 11 0 R >>")});
    const FontMap fonts = build_font_map(PdfObject::stream(std::move(d), ""), *doc);
    ASSERT_EQ(fonts.size(), 1u);
    EXPECT_EQ(fonts.at("F1")->base_font, "Helvetica");
}

// Opens the corpus files that carry ToUnicode maps and walks the own font
// resources of their first pages, as page extraction does.
TEST(CorpusFonts, PageFontMapsDecodeThroughTheirToUnicodeMaps) {
    const std::filesystem::path dir(QUARVEL_CORPUS_DIR);
    std::ifstream manifest(dir / "MANIFEST.tsv");
    if (!manifest) GTEST_SKIP() << "corpus not present";
    std::string line;
    std::getline(manifest, line); // header: file is column 0, tounicode column 19
    std::size_t files_with_maps = 0, codes = 0, decoded = 0;
    while (std::getline(manifest, line)) {
        std::vector<std::string> cols;
        std::stringstream row(line);
        for (std::string c; std::getline(row, c, '\t');) cols.push_back(c);
        if (cols.size() < 20 || cols[19] != "y" || cols[7] != "n") continue;
        Result<std::unique_ptr<Document>> doc = Document::open((dir / cols[0]).string());
        if (!doc.ok()) continue;
        Result<std::vector<ObjectId>> pages = doc.value()->page_refs();
        if (!pages.ok()) continue;
        bool found = false;
        for (std::size_t p = 0; p < pages.value().size() && p < 20; ++p) {
            Result<ObjectPtr> page = doc.value()->get_object(pages.value()[p].num);
            if (!page.ok()) continue;
            const PdfObject* res = page.value()->get("Resources");
            ObjectPtr held;
            if (res && res->is_ref()) {
                Result<ObjectPtr> r = doc.value()->get_object(res->as_ref().num);
                if (!r.ok()) continue;
                held = r.value();
                res = held.get();
            }
            if (!res) continue;
            for (const auto& [name, font] : build_font_map(*res, *doc.value())) {
                if (!font->to_unicode) continue;
                const CMap& m = *font->to_unicode;
                std::vector<std::string_view> probe;
                for (const auto& [code, dest] : m.char_map) probe.push_back(code);
                for (const CMap::Range& r : m.ranges) probe.push_back(r.low);
                for (const std::string_view code : probe) {
                    // Codes as text emission cuts them: one byte, or two for
                    // a Type0 font.
                    if (code.size() != (font->is_type0 ? 2u : 1u)) continue;
                    found = true;
                    const char32_t ch = font->decode_char(code);
                    ++codes;
                    if (ch >= 0x20 && ch != 0xFFFD) ++decoded;
                }
            }
        }
        if (found) ++files_with_maps;
    }
    // Files whose pages hold /Font by reference, or whose fonts on the first
    // pages have no ToUnicode map, do not count here.
    EXPECT_GE(files_with_maps, 12u);
    EXPECT_GE(static_cast<double>(decoded), 0.95 * static_cast<double>(codes));
}

} // namespace
} // namespace quarvel

// --- the full reader's decoding ------------------------------------------------

namespace quarvel {
namespace {

std::unique_ptr<Document> open_full(testing::PdfBuilder b) {
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
        .object(2, "<< /Type /Pages /Kids [] /Count 0 >>");
    Result<std::unique_ptr<Document>> doc =
        Document::from_mmap(Mapping::from_bytes(b.build()), ReadOptions::full_reader());
    EXPECT_TRUE(doc.ok());
    return doc.ok() ? std::move(doc).value() : nullptr;
}

// The text of `bytes` cut into codes as a content stream would.
std::u32string text_of(const FontInfo& font, std::string_view bytes) {
    std::u32string out;
    while (!bytes.empty()) {
        const std::size_t n = font.code_length(bytes);
        font.append_text(bytes.substr(0, n), out);
        bytes.remove_prefix(n);
    }
    return out;
}

struct FullFonts {
    std::unique_ptr<Document> doc;
    FontMap fonts;
    const FontInfo& operator[](const std::string& name) const { return *fonts.at(name); }
};

FullFonts build(testing::PdfBuilder b, std::string_view resources) {
    FullFonts f;
    f.doc = open_full(std::move(b));
    if (f.doc) f.fonts = build_font_map(obj(resources), *f.doc);
    return f;
}

TEST(FullFontDecoding, SimpleFontEncodings) {
    testing::PdfBuilder b;
    // WinAnsi's 0x80 is the euro, 0x93 a left double quote; Standard's
    // 0xAE is fi; MacRoman's 0x8E is e acute. The glyph list gives Omega
    // the ohm sign.
    b.object(10, "<< /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>")
        .object(11, "<< /Subtype /Type1 /BaseFont /Times-Roman /Encoding 12 0 R >>")
        .object(12, "<< /BaseEncoding /MacRomanEncoding /Differences [65 /Omega /uni0416 "
                    "/f_f_i /g123 /a.sc] >>")
        .object(13, "<< /Subtype /Type1 /BaseFont /Symbol >>")
        .object(14, "<< /Subtype /Type1 /BaseFont /ZapfDingbats >>")
        .object(15, "<< /Subtype /Type1 /BaseFont /Unembedded >>");
    const FullFonts f = build(b, "<< /Font << /W 10 0 R /D 11 0 R /S 13 0 R /Z 14 0 R "
                                 "/N 15 0 R >> >>");
    ASSERT_TRUE(f.doc);
    EXPECT_EQ(text_of(f["W"], "A\x80\x93"), U"A\u20AC\u201C");
    EXPECT_EQ(text_of(f["D"], "ABCDEZ\x8E"), U"\u2126\u0416ffi{aZ\u00E9");
    EXPECT_EQ(text_of(f["S"], "a"), U"\u03B1");
    EXPECT_EQ(text_of(f["Z"], "4"), U"\u2714");
    EXPECT_EQ(text_of(f["N"], "\xAE"), U"\uFB01"); // StandardEncoding by default
    // A control code no encoding defines stays undecodable, one U+FFFD.
    EXPECT_EQ(text_of(f["W"], "\x01"), U"\uFFFD");
}

TEST(FullFontDecoding, StandardFontWidthsAndHeights) {
    testing::PdfBuilder b;
    b.object(10, "<< /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>")
        .object(11, "<< /Subtype /Type1 /BaseFont /Courier-Bold >>")
        .object(12, "<< /Subtype /TrueType /BaseFont /Other /FirstChar 65 /Widths [700 800] "
                    "/FontDescriptor 13 0 R >>")
        .object(13,
                "<< /MissingWidth 321 /Ascent 900 /Descent -250 /FontBBox [0 -300 1000 1100] >>");
    const FullFonts f = build(b, "<< /Font << /H 10 0 R /C 11 0 R /O 12 0 R >> >>");
    ASSERT_TRUE(f.doc);
    EXPECT_EQ(f["H"].full_width('A'), 667);
    EXPECT_EQ(f["H"].full_width(' '), 278);
    EXPECT_EQ(f["C"].full_width('i'), 600);
    EXPECT_EQ(f["H"].full->ascent, 718); // the published metrics
    EXPECT_EQ(f["O"].full_width('A'), 700);
    EXPECT_EQ(f["O"].full_width('B'), 800);
    EXPECT_EQ(f["O"].full_width('C'), 321);
    EXPECT_EQ(f["O"].full->ascent, 900); // /Ascent before /FontBBox
    EXPECT_EQ(f["O"].full->descent, -250);
}

TEST(FullFontDecoding, Type1ProgramsOwnEncoding) {
    // TeX output: no /Encoding, the program's clear text carries it.
    const std::string program = "%!PS-AdobeFont-1.0: CMR10\n/Encoding 256 array\n"
                                "0 1 255 {1 index exch /.notdef put} for\n"
                                "dup 11 /ff put dup 65 /A put dup 123 /endash put\n"
                                "readonly def\ncurrentdict end\ncurrentfile eexec\n";
    testing::PdfBuilder b;
    b.object(10, "<< /Subtype /Type1 /BaseFont /CMR10 /FontDescriptor 11 0 R >>")
        .object(11, "<< /FontFile 12 0 R /Flags 4 >>")
        .filtered_stream(12, "/Length1 " + std::to_string(program.size()), program, "FlateDecode")
        // /Differences over the built-in encoding.
        .object(13, "<< /Subtype /Type1 /FontDescriptor 11 0 R /Encoding << /Differences "
                    "[65 /B] >> >>");
    const FullFonts f = build(b, "<< /Font << /T 10 0 R /U 13 0 R >> >>");
    ASSERT_TRUE(f.doc);
    EXPECT_EQ(text_of(f["T"], "\x0B" "A{"), U"\uFB00A\u2013");
    EXPECT_EQ(text_of(f["U"], "\x0B" "A"), U"\uFB00B");
}

TEST(FullFontDecoding, ToUnicodeSeveralCharactersAndArrayRanges) {
    testing::PdfBuilder b;
    b.object(10, "<< /Subtype /TrueType /BaseFont /X /ToUnicode 11 0 R >>")
        .stream(11, "",
                "2 beginbfrange\n<01> <03> [<0066006C> <D835DC00> <0041>]\n"
                "<10> <11> <0061>\nendbfrange\n"
                "1 beginbfchar\n<20> <00660066>\nendbfchar\n");
    const FullFonts f = build(b, "<< /Font << /F 10 0 R >> >>");
    ASSERT_TRUE(f.doc);
    // The array gives each code its own destination; the range after it
    // keeps its alignment.
    EXPECT_EQ(text_of(f["F"], "\x01\x02\x03\x10\x11 "), U"fl\U0001D400Aabff");
}

// Codes of one and two bytes by an embedded CMap's codespace, CIDs by its
// cidrange, characters by ToUnicode; a code ToUnicode lacks is U+FFFD.
TEST(FullFontDecoding, Type0CodespaceDecidesCodeLengths) {
    testing::PdfBuilder b;
    b.object(10, "<< /Subtype /Type0 /BaseFont /M /Encoding 11 0 R /DescendantFonts [12 0 R] "
                 "/ToUnicode 13 0 R >>")
        .stream(11, "/Type /CMap",
                "2 begincodespacerange <00> <80> <8140> <9FFC> endcodespacerange\n"
                "2 begincidrange <20> <7E> 1 <8140> <817E> 633 endcidrange\n")
        .object(12, "<< /Subtype /CIDFontType0 /DW 1000 /W [1 [250] 634 [500]] >>")
        .stream(13, "",
                "1 begincodespacerange <00> <FF> endcodespacerange\n"
                "1 beginbfchar <41> <0041> endbfchar 1 beginbfchar <8141> <3001> endbfchar\n");
    const FullFonts f = build(b, "<< /Font << /F 10 0 R >> >>");
    ASSERT_TRUE(f.doc);
    const FontInfo& font = f["F"];
    EXPECT_EQ(font.code_length("A\x81\x41"), 1u);
    EXPECT_EQ(font.code_length("\x81\x41" "A"), 2u);
    EXPECT_EQ(font.code_length("\x81"), 1u); // cut short: never past the bytes
    EXPECT_EQ(text_of(font, "A\x81\x41" "B"), U"A\u3001\uFFFD");
    EXPECT_EQ(font.full_width(0x20), 250); // CID 1
    EXPECT_EQ(font.full_width(0x8141), 500); // CID 634
    EXPECT_EQ(font.full_width(0x8142), 1000);
}

// Without ToUnicode: a predefined CMap's CIDs through the Adobe-Japan1
// collection, and a Unicode-coded CMap whose codes are the text.
TEST(FullFontDecoding, PredefinedCjkCMaps) {
    testing::PdfBuilder b;
    b.object(10, "<< /Subtype /Type0 /BaseFont /J /Encoding /90ms-RKSJ-H /DescendantFonts "
                 "[12 0 R] >>")
        .object(11, "<< /Subtype /Type0 /BaseFont /U /Encoding /UniJIS-UCS2-V /DescendantFonts "
                    "[12 0 R] >>")
        .object(12, "<< /Subtype /CIDFontType0 /CIDSystemInfo << /Registry (Adobe) "
                    "/Ordering (Japan1) /Supplement 4 >> >>");
    const FullFonts f = build(b, "<< /Font << /J 10 0 R /U 11 0 R >> >>");
    ASSERT_TRUE(f.doc);
    EXPECT_EQ(text_of(f["J"], "A\x82\xA0\x93\xFA"), U"A\u3042\u65E5");
    EXPECT_FALSE(f["J"].full->vertical);
    EXPECT_EQ(text_of(f["U"], "\x30\x42\x65\xE5"), U"\u3042\u65E5");
    EXPECT_TRUE(f["U"].full->vertical);
}

TEST(FullFontDecoding, Type3GlyphSpace) {
    testing::PdfBuilder b;
    b.object(10, "<< /Subtype /Type3 /FontMatrix [0.01 0 0 0.01 0 0] /FontBBox [0 -20 80 90] "
                 "/FirstChar 97 /Widths [60 55] /Encoding << /Differences [97 /a /C98] >> "
                 "/CharProcs << >> >>");
    const FullFonts f = build(b, "<< /Font << /T 10 0 R >> >>");
    ASSERT_TRUE(f.doc);
    const FontInfo& font = f["T"];
    EXPECT_EQ(text_of(font, "ab"), U"ab"); // C98: the number of an unknown name
    EXPECT_EQ(font.full->font_matrix[0], 0.01);
    EXPECT_EQ(font.full_width('a'), 60);
    EXPECT_EQ(font.full->ascent, 90);
    EXPECT_EQ(font.full->descent, -20);
}

// The compact reader's records carry no full decoding.
TEST(FullFontDecoding, CompactReaderLeavesItUnset) {
    testing::PdfBuilder b;
    b.object(10, "<< /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>");
    const std::unique_ptr<Document> doc = open_fonts(b);
    ASSERT_TRUE(doc);
    const FontMap fonts = build_font_map(obj("<< /Font << /F 10 0 R >> >>"), *doc);
    EXPECT_FALSE(fonts.at("F")->full);
    std::u32string out;
    fonts.at("F")->append_text("\x80", out);
    EXPECT_EQ(out, U"\u0080");
}

} // namespace
} // namespace quarvel
