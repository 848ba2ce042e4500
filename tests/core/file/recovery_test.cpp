#include "file/recovery.h"

#include <gtest/gtest.h>

#include <string>

namespace quarvel {
namespace {

using Kind = PdfObj::Kind;

Result<XrefSection> scan(const std::string& text) {
    return recover_xref_by_scan(text);
}

TEST(RecoveryScan, RecordsHeadersAndFindsTheCatalogue) {
    const std::string pdf = "%PDF-1.7\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
                            "2 0 obj << /Type /Pages /Kids [] >> endobj\n"
                            "5 3 obj (first) endobj\n"
                            "5\t0\tobj (second) endobj\n"
                            "xref\nbroken\n";
    auto r = scan(pdf);
    ASSERT_TRUE(r.ok()) << r.error().display();
    EXPECT_EQ(r->trailer.root, (ObjectId{1, 0}));
    EXPECT_EQ(r->trailer.size, 6u);
    EXPECT_FALSE(r->trailer.info);
    EXPECT_FALSE(r->trailer.encrypt);
    EXPECT_EQ(r->map.size(), 3u);
    const XrefEntry* one = r->map.find(1);
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(*one, (XrefEntry{XrefEntry::Kind::InUse, 9, 0}));
    // The later of two headers for object 5 wins.
    EXPECT_EQ(r->map.find(5)->offset_or_stream, pdf.find("5\t0\tobj"));
    EXPECT_EQ(r->map.find(5)->gen_or_index, 0);
}

struct HeaderCase {
    const char* text;
    bool recorded;
};

class RecoveryHeaders : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(RecoveryHeaders, AcceptOnlyWellFormedHeaders) {
    // Object 1 is a catalogue so that every scan succeeds; the case text
    // tries to define object 12.
    const std::string pdf =
        std::string(GetParam().text) + "\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n";
    auto r = scan(pdf);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->map.find(12) != nullptr, GetParam().recorded) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecoveryHeaders,
    ::testing::Values(HeaderCase{"12 0 obj", true},         // at the start of the file
                      HeaderCase{"  12 0obj", true},        // no space before the keyword
                      HeaderCase{"\r12 \t 0 \t obj", true}, // tabs and spaces between
                      HeaderCase{"x12 0 obj", false},       // a letter before the number
                      HeaderCase{"12\n0 obj", false},       // a line end between numbers
                      HeaderCase{"12 0\nobj", false},       // and before the keyword
                      HeaderCase{"12 obj", false},          // one number
                      HeaderCase{" 12 99999 obj", false},   // generation above 16 bits
                      HeaderCase{"12 0 endobj", false}, HeaderCase{"4294967308 0 obj", false}));

TEST(RecoveryScan, HeaderBeforeByteFourIsPassedOver) {
    // "1 0obj" puts the keyword at byte 3.
    auto r = scan("1 0obj << /Type /Catalog /Pages 2 0 R >>");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().display(), "recovery: could not find Catalog root");
}

TEST(RecoveryScan, CatalogueChoice) {
    // A catalogue without /Pages is passed over while one with /Pages
    // exists, whatever the order.
    auto with_pages = scan("%PDF\n3 0 obj << /Type /Catalog >> endobj\n"
                           "7 2 obj << /Type /Catalog /Pages 2 0 R >> endobj\n");
    ASSERT_TRUE(with_pages.ok());
    EXPECT_EQ(with_pages->trailer.root, (ObjectId{7, 2}));
    // Without one, a catalogue without /Pages is taken.
    auto fallback = scan("%PDF\n3 4 obj << /Type /Catalog /Outlines 5 0 R >> endobj\n"
                         "8 0 obj << /Type /Pages >> endobj\n");
    ASSERT_TRUE(fallback.ok());
    EXPECT_EQ(fallback->trailer.root, (ObjectId{3, 4}));
    // A redefinition that is no longer a catalogue does not count.
    auto redefined = scan("%PDF\n3 0 obj << /Type /Catalog >> endobj\n3 0 obj (x) endobj\n");
    ASSERT_FALSE(redefined.ok());
    // Names are compared exactly; a value of more than 32 bits makes the
    // dictionary unscannable.
    EXPECT_FALSE(scan("%PDF\n3 0 obj << /Type /Catalogue /Pages 2 0 R >>\n").ok());
    EXPECT_FALSE(scan("%PDF\n3 0 obj << /Type /Catalog /Pages 99999999999 0 R >>\n").ok());
    EXPECT_FALSE(scan("").ok());
}

TEST(RecoveryScan, EncryptionIsDetected) {
    const std::string catalog = "%PDF\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n";
    auto trailer = scan(catalog + "trailer\n<< /Size 3 /Root 1 0 R /Encrypt 9 0 R >>\n");
    ASSERT_TRUE(trailer.ok());
    EXPECT_EQ(trailer->trailer.encrypt, (ObjectId{9, 0}));
    auto tight = scan(catalog + "endobj trailer<</Encrypt 9 0 R>>");
    ASSERT_TRUE(tight.ok());
    EXPECT_EQ(tight->trailer.encrypt, (ObjectId{9, 0}));
    auto xref_stream =
        scan(catalog + "4 0 obj << /Type /XRef /W [1 2 1] /Encrypt 8 0 R /Length 0 >>\n");
    ASSERT_TRUE(xref_stream.ok());
    EXPECT_EQ(xref_stream->trailer.encrypt, (ObjectId{8, 0}));
    // Not a reference, not a trailer or cross-reference stream, or no
    // dictionary after the keyword: nothing is marked.
    for (const char* tail :
         {"trailer << /Encrypt << /V 1 >> >>", "4 0 obj << /Type /Page /Encrypt 8 0 R >>",
          "trailer (x) << /Encrypt 8 0 R >>"}) {
        auto r = scan(catalog + tail);
        ASSERT_TRUE(r.ok());
        EXPECT_FALSE(r->trailer.encrypt) << tail;
    }
}

TEST(RecoveryScan, TrailerInsideANameDoesNotCutADictionaryShort) {
    auto r = scan("%PDF\n1 0 obj << /Type /Catalog /X /trailerY /Pages 2 0 R >>\n"
                  "3 0 obj << /Type /Catalog /Pages 4 0 R >>\n");
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->trailer.root, (ObjectId{1, 0}));
}

TEST(RecoveryScan, UnclosedDictionariesStayLinear) {
    // Every object opens a dictionary that never closes: each scan stops at
    // the next header instead of running to the end of the file.
    std::string pdf = "%PDF\n";
    for (int i = 2; i < 200'002; ++i)
        pdf += std::to_string(i) + " 0 obj << /A [(x) /B\n";
    pdf += "1 0 obj << /Type /Catalog /Pages 2 0 R >>\n";
    auto r = scan(pdf);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->trailer.root, (ObjectId{1, 0}));
    EXPECT_EQ(r->map.size(), 200'001u);
}

// --- the dictionary scanner -------------------------------------------------

// Views in the result point into `text`: callers pass literals.
std::optional<PdfObj> scan_at(std::string_view text) {
    return try_parse_object_at(text, text.find("obj"));
}

TEST(DictionaryScanner, EntriesAfterArraysAndStrayBrackets) {
    const std::string text = "1 0 obj << /Kids [3 0 R] /Type /Catalog /X ] > /Pages 2 0 R >> x";
    auto d = scan_at(text);
    ASSERT_TRUE(d);
    ASSERT_EQ(d->kind, Kind::Dict);
    ASSERT_EQ(d->dict.size(), 4u);
    EXPECT_EQ(d->dict[0].first, "Kids");
    EXPECT_EQ(d->dict[0].second.kind, Kind::Other);
    EXPECT_EQ(d->dict[1].first, "Type");
    EXPECT_EQ(d->dict[1].second.kind, Kind::Name);
    EXPECT_EQ(d->dict[1].second.name, "Catalog");
    EXPECT_EQ(d->dict[2].first, "X");
    EXPECT_EQ(d->dict[3].first, "Pages");
    EXPECT_EQ(d->dict[3].second.kind, Kind::Ref);
    EXPECT_EQ(d->dict[3].second.ref, (ObjectId{2, 0}));
}

TEST(DictionaryScanner, NestingStringsAndNumbers) {
    // The first >> ends the scan even inside a nested dictionary; a slash in
    // a string starts a key; numbers that are not references are Other.
    auto d = scan_at("1 0 obj <</A<</Type/Font>>/Pages 2 0 R>>");
    ASSERT_TRUE(d);
    ASSERT_EQ(d->dict.size(), 2u);
    EXPECT_EQ(d->dict[1].first, "Type");
    EXPECT_EQ(d->dict[1].second.name, "Font");
    auto s = scan_at("1 0 obj << /T (a /B c) /N 5 /G 4 5 /R 1 0 R>>");
    ASSERT_TRUE(s);
    ASSERT_EQ(s->dict.size(), 5u);
    EXPECT_EQ(s->dict[1].first, "B");
    EXPECT_EQ(s->dict[2].second.kind, Kind::Other); // 5
    EXPECT_EQ(s->dict[3].second.kind, Kind::Other); // 4 5
    EXPECT_EQ(s->dict[4].second.ref, (ObjectId{1, 0}));
}

TEST(DictionaryScanner, NothingOtherOrDict) {
    EXPECT_FALSE(scan_at("1 0 obj"));                     // nothing after the keyword
    EXPECT_FALSE(scan_at("1 0 obj   "));                  // only whitespace
    EXPECT_FALSE(scan_at("1 0 obj <<>"));                 // fewer than four bytes from <<
    EXPECT_FALSE(scan_at("1 0 obj << /N 4294967296 >>")); // above 32 bits
    EXPECT_FALSE(scan_at("1 0 obj << /N 1 65536 R >>"));  // generation above 16 bits
    auto other = scan_at("1 0 obj [1 2]");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->kind, Kind::Other);
    auto nul = scan_at(std::string_view("1 0 obj \0<< >>", 14)); // NUL is not whitespace here
    ASSERT_TRUE(nul);
    EXPECT_EQ(nul->kind, Kind::Other);
    auto open = scan_at("1 0 obj << /A /B /C");
    ASSERT_TRUE(open);
    ASSERT_EQ(open->kind, Kind::Dict);
    EXPECT_EQ(open->dict.size(), 2u);
    EXPECT_FALSE(try_parse_object_at("obj", 5));
}

} // namespace
} // namespace quarvel
