#include "file/xref.h"

#include <gtest/gtest.h>

#include <string>

namespace quarvel {
namespace {

using Kind = XrefEntry::Kind;

std::string err(const ParseError& e) {
    return e.display();
}

// --- startxref and numbers --------------------------------------------------

TEST(FindStartxref, TakesTheLastKeywordInTheLastKilobyte) {
    EXPECT_EQ(*find_startxref("startxref 12\n%%EOF\nstartxref\n34\n%%EOF\n"), 34u);
    EXPECT_EQ(*find_startxref("startxref\n% a comment\n1234\n%%EOF"), 1234u);
    // A keyword only before the last 1024 bytes is not found.
    const std::string early = "startxref 5\n" + std::string(1024, ' ');
    EXPECT_EQ(err(find_startxref(early).error()), "startxref not found");
    EXPECT_EQ(err(find_startxref("").error()), "startxref not found");
    EXPECT_EQ(find_startxref("startxref\n%%EOF\n").error().kind(), ParseError::Kind::InvalidNumber);
}

TEST(ParsePositiveInt, DigitsOnlyWithinSignedRange) {
    Arena arena;
    Cursor ok("9223372036854775807x", arena);
    EXPECT_EQ(*parse_positive_int(ok), 9223372036854775807u);
    EXPECT_EQ(ok.pos, 19u);
    for (const char* bad : {"9223372036854775808", "-1", "+1", " 1", "x", ""}) {
        Cursor cur(bad, arena);
        auto r = parse_positive_int(cur);
        ASSERT_FALSE(r.ok()) << bad;
        EXPECT_EQ(r.error().kind(), ParseError::Kind::InvalidNumber) << bad;
        EXPECT_EQ(cur.pos, 0u) << bad;
    }
}

// --- classic tables ---------------------------------------------------------

Result<XrefSection> table(const std::string& text, Arena& arena) {
    return parse_xref_table(text, 0, arena);
}

TEST(XrefTable, EntriesSubsectionsAndLaterWins) {
    Arena arena;
    // Odd spacing: one-space separators and LF ends (19-byte entries), a
    // comment, a subsection with count 0, object 5 listed twice.
    auto r = table("xref\n0 3\n0000000000 65535 f\n0000000017 00000 n\n"
                   "0000000081 00002 n\n5 1 % second section\n0000000100 00000 n \n"
                   "5 1\n0000000200 00007 n\r\n9 0\ntrailer << /Size 6 /Root 1 0 R >>",
                   arena);
    ASSERT_TRUE(r.ok()) << err(r.error());
    EXPECT_EQ(r->map.size(), 4u);
    EXPECT_EQ(*r->map.find(0), (XrefEntry{Kind::Free, 0, 65535}));
    EXPECT_EQ(*r->map.find(1), (XrefEntry{Kind::InUse, 17, 0}));
    EXPECT_EQ(*r->map.find(2), (XrefEntry{Kind::InUse, 81, 2}));
    EXPECT_EQ(*r->map.find(5), (XrefEntry{Kind::InUse, 200, 7}));
    EXPECT_EQ(r->trailer.root, (ObjectId{1, 0}));
    EXPECT_EQ(r->trailer.size, 6u);
}

TEST(XrefTable, WideValuesKeepTheirLowBits) {
    Arena arena;
    auto r = table("xref\n4294967295 2\n4294967297 65537 n\n1 0 n\ntrailer<</Size 1/Root 1 0 R>>",
                   arena);
    ASSERT_TRUE(r.ok()) << err(r.error());
    EXPECT_EQ(*r->map.find(4294967295u), (XrefEntry{Kind::InUse, 1, 1}));
    EXPECT_EQ(*r->map.find(0), (XrefEntry{Kind::InUse, 1, 0})); // the number wrapped
}

struct TableError {
    const char* text;
    const char* message;
};

class XrefTableErrors : public ::testing::TestWithParam<TableError> {};

TEST_P(XrefTableErrors, Fail) {
    Arena arena;
    auto r = table(GetParam().text, arena);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(err(r.error()), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, XrefTableErrors,
    ::testing::Values(
        TableError{"xre", "expected 'xref' keyword"},
        TableError{"1 0 obj", "expected 'xref' keyword"},
        TableError{"xref\n0 1\n0000000000 65535 x\ntrailer", "expected 'n' or 'f' in xref entry"},
        TableError{"xref\n0 1\n0000000000 65535", "expected 'n' or 'f' in xref entry"},
        TableError{"xref\n0 2\n0000000000 65535 f\ntrailer <<>>", "invalid number format"},
        TableError{"xref\n0 1\n0000000000 65535 f\n", "invalid number format"},
        TableError{"xref\n0 0\ntrailer [1 2]", "trailer must be a dictionary"},
        TableError{"xref\n0 0\ntrailer << /Size 1 /Root << >> >>",
                   "expected reference for trailer field"},
        TableError{"xref\n0 0\ntrailer << /Root 1 0 R >>", "missing required trailer field"},
        TableError{"xref\n0 0\ntrailer << /Root 1 0 R /Size 1.0 >>",
                   "expected integer for trailer field"},
        TableError{"xref\n0 0\ntrailer << /Root 1 0 R /Size", "unexpected end of input"}));

TEST(TrailerFields, InfoAndEncryptTakeTheFirstReference) {
    Arena arena;
    auto r = table("xref\n0 0\ntrailer << /Info 5 /Root 1 0 R /Encrypt << >> /Size 3 "
                   "/Info 7 0 R /Encrypt 9 0 R /Info 8 0 R >>",
                   arena);
    ASSERT_TRUE(r.ok()) << err(r.error());
    EXPECT_EQ(r->trailer.info, (ObjectId{7, 0}));
    EXPECT_EQ(r->trailer.encrypt, (ObjectId{9, 0}));
    auto plain = table("xref\n0 0\ntrailer << /Root 1 0 R /Size 3 >>", arena);
    ASSERT_TRUE(plain.ok());
    EXPECT_FALSE(plain->trailer.info);
    EXPECT_FALSE(plain->trailer.encrypt);
}

// --- cross-reference streams ------------------------------------------------

// Parses the dictionary text and runs the stream reader over `body`.
Result<XrefSection> xref_stream(const std::string& dict_text, std::string_view body, Arena& arena) {
    Cursor cur(dict_text, arena);
    auto dict = parse_object(cur);
    EXPECT_TRUE(dict.ok() && dict->is_dict()) << dict_text;
    if (!dict.ok()) return dict.error();
    return parse_xref_stream_obj(dict->dict(), body);
}

TEST(XrefStream, RowsByWidth) {
    Arena arena;
    const std::string body("\x01\x00\x0F\x00\x02\x00\x05\x01\x00\x00\x00\x00", 12);
    auto r = xref_stream("<< /W [1 2 1] /Size 3 /Root 1 0 R >>", body, arena);
    ASSERT_TRUE(r.ok()) << err(r.error());
    EXPECT_EQ(*r->map.find(0), (XrefEntry{Kind::InUse, 15, 0}));
    EXPECT_EQ(*r->map.find(1), (XrefEntry{Kind::Compressed, 5, 1}));
    EXPECT_EQ(*r->map.find(2), (XrefEntry{Kind::Free, 0, 0}));

    // Without a type column every row is InUse.
    auto no_type = xref_stream("<< /W [0 2 1] /Size 3 /Root 1 0 R >>", body.substr(0, 9), arena);
    ASSERT_TRUE(no_type.ok()) << err(no_type.error());
    EXPECT_EQ(*no_type->map.find(0), (XrefEntry{Kind::InUse, 0x100, 0x0F}));
    EXPECT_EQ(*no_type->map.find(2), (XrefEntry{Kind::InUse, 0x0501, 0}));

    // Subsections from /Index (a trailing odd element ignored); an offset
    // wider than 32 bits keeps its low bits.
    const std::string wide("\x01\x01\x00\x00\x00\x07\x00\x01\x00\x00\x00\x00\x09\x00", 14);
    auto indexed =
        xref_stream("<< /W [1 5 1] /Size 99 /Index [40 1 7 1 3] /Root 1 0 R >>", wide, arena);
    ASSERT_TRUE(indexed.ok()) << err(indexed.error());
    EXPECT_EQ(indexed->map.size(), 2u);
    EXPECT_EQ(*indexed->map.find(40), (XrefEntry{Kind::InUse, 7, 0}));
    EXPECT_EQ(*indexed->map.find(7), (XrefEntry{Kind::InUse, 9, 0}));

    auto empty = xref_stream("<< /W [1 2 1] /Size 3 /Index [5] /Root 1 0 R >>", body, arena);
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(empty->map.size(), 0u);
}

struct StreamError {
    const char* dict;
    std::string body;
    const char* message;
};

class XrefStreamErrors : public ::testing::TestWithParam<StreamError> {};

TEST_P(XrefStreamErrors, Fail) {
    Arena arena;
    auto r = xref_stream(GetParam().dict, GetParam().body, arena);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(err(r.error()), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, XrefStreamErrors,
    ::testing::Values(
        StreamError{"<< /Size 1 /Root 1 0 R >>", "", "missing /W in xref stream"},
        StreamError{"<< /W [1 2] /Size 1 /Root 1 0 R >>", "", "/W must be an array of 3 integers"},
        StreamError{"<< /W 4 /Size 1 /Root 1 0 R >>", "", "/W must be an array of 3 integers"},
        StreamError{"<< /W [1 2 1] /Root 1 0 R >>", "", "missing required trailer field"},
        StreamError{"<< /W [1 2 1] /Size 1 >>", std::string(4, '\0'),
                    "missing required trailer field"},
        StreamError{"<< /W [1 2 1] /Size 2 /Root 1 0 R >>", std::string(7, '\0'),
                    "xref stream data too short"},
        StreamError{"<< /W [1 2 1] /Size 2 /Root 1 0 R >>", std::string("\x01\0\0\0\x03\0\0\0", 8),
                    "unknown xref stream entry type"},
        // A type field wider than eight bytes whose low bytes read 1.
        StreamError{"<< /W [9 0 0] /Size 1 /Root 1 0 R >>",
                    std::string("\x01\0\0\0\0\0\0\0\x01", 9), "unknown xref stream entry type"},
        // Row sizes and totals that wrap 16 or 32 bits must not pass the
        // size check: 65536 wraps to a width of 0, three maximal widths make
        // a row of 196605 bytes, and counts summing past 2^32 wrap to 1.
        StreamError{"<< /W [65535 65535 65535] /Size 1 /Root 1 0 R >>", std::string(100, '\1'),
                    "xref stream data too short"},
        StreamError{"<< /W [1 0 0] /Size 1 /Index [0 4294967295 0 2] /Root 1 0 R >>",
                    std::string(1, '\1'), "xref stream data too short"},
        StreamError{"<< /W [65535 65535 65535] /Size 1 /Index [0 4294967295 0 4294967295 0 "
                    "4294967295 0 4294967295] /Root 1 0 R >>",
                    std::string(1, '\1'), "xref stream data too short"}));

TEST(XrefStream, ZeroWidthRowsAreHeldAsRuns) {
    Arena arena;
    // /Size near four billion with rows of no bytes: every object InUse at
    // offset 0 without materialising billions of entries.
    auto r = xref_stream("<< /W [0 0 0] /Size 4294967295 /Root 1 0 R >>", "", arena);
    ASSERT_TRUE(r.ok()) << err(r.error());
    EXPECT_EQ(r->map.size(), 4294967295u);
    EXPECT_EQ(*r->map.find(0), (XrefEntry{Kind::InUse, 0, 0}));
    EXPECT_EQ(*r->map.find(4294967294u), (XrefEntry{Kind::InUse, 0, 0}));
    EXPECT_EQ(r->map.find(4294967295u), nullptr);

    // A run that crosses 2^32 wraps to 0; a width of 65536 is 0 too.
    auto wrapped = xref_stream(
        "<< /W [0 65536 0] /Size 1 /Index [4294967290 10 100 1] /Root 1 0 R >>", "", arena);
    ASSERT_TRUE(wrapped.ok()) << err(wrapped.error());
    EXPECT_EQ(wrapped->map.size(), 11u);
    EXPECT_NE(wrapped->map.find(4294967295u), nullptr);
    EXPECT_NE(wrapped->map.find(3), nullptr);
    EXPECT_EQ(wrapped->map.find(4), nullptr);
    EXPECT_NE(wrapped->map.find(100), nullptr);
}

TEST(XrefMapRuns, LaterInsertsWinWhateverTheirForm) {
    XrefMap m;
    const XrefEntry a{Kind::InUse, 1, 0};
    const XrefEntry b{Kind::InUse, 2, 0};
    const XrefEntry c{Kind::Free, 3, 0};
    m.insert(5, a);
    m.insert(50, a);
    m.insert_run(0, 10, b); // replaces 5, keeps 50
    EXPECT_EQ(*m.find(5), b);
    EXPECT_EQ(*m.find(50), a);
    m.insert(7, c); // splits the run
    EXPECT_EQ(*m.find(6), b);
    EXPECT_EQ(*m.find(7), c);
    EXPECT_EQ(*m.find(8), b);
    m.insert_run(3, 3, a); // over the middle of the first piece
    EXPECT_EQ(*m.find(2), b);
    EXPECT_EQ(*m.find(3), a);
    EXPECT_EQ(*m.find(5), a);
    EXPECT_EQ(*m.find(6), b);
    EXPECT_EQ(m.size(), 11u);                   // 0..9 and 50
    m.insert_run(0, std::uint64_t{1} << 40, c); // everything
    EXPECT_EQ(m.size(), std::uint64_t{1} << 32);
    EXPECT_EQ(*m.find(50), c);
    EXPECT_EQ(*m.find(7), c);
}

} // namespace
} // namespace quarvel
