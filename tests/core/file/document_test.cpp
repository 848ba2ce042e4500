#include "file/document.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "resource_limits.h"
#include "support/pdf_builder.h"

namespace quarvel {
namespace {

using testing::BuildOptions;
using testing::PdfBuilder;
using testing::XrefStyle;

// Build options by name (designated initialisers would leave the other
// members to -Wmissing-field-initializers).
BuildOptions xref_stream(std::string trailer_extra = "") {
    BuildOptions o;
    o.xref = XrefStyle::Stream;
    o.trailer_extra = std::move(trailer_extra);
    return o;
}
BuildOptions table(std::string trailer_extra) {
    BuildOptions o;
    o.trailer_extra = std::move(trailer_extra);
    return o;
}
BuildOptions no_startxref(std::string trailer_extra = "") {
    BuildOptions o;
    o.omit_startxref = true;
    o.trailer_extra = std::move(trailer_extra);
    return o;
}
BuildOptions no_xref() {
    BuildOptions o;
    o.xref = XrefStyle::None;
    o.omit_startxref = true;
    return o;
}
BuildOptions startxref(std::string value) {
    BuildOptions o;
    o.startxref = std::move(value);
    return o;
}

std::unique_ptr<Document> open_bytes(std::string bytes) {
    auto doc = Document::from_mmap(Mapping::from_bytes(std::move(bytes)));
    EXPECT_TRUE(doc.ok()) << (doc.ok() ? "" : doc.error().display());
    return doc.ok() ? std::move(doc).value() : nullptr;
}

std::string open_error(std::string bytes) {
    auto doc = Document::from_mmap(Mapping::from_bytes(std::move(bytes)));
    return doc.ok() ? "opened" : doc.error().display();
}

std::string object_error(const Document& doc, std::uint32_t num) {
    auto obj = doc.get_object(num);
    return obj.ok() ? "resolved" : obj.error().display();
}

std::vector<std::uint32_t> page_nums(const Document& doc) {
    auto pages = doc.page_refs();
    EXPECT_TRUE(pages.ok()) << (pages.ok() ? "" : pages.error().display());
    std::vector<std::uint32_t> nums;
    if (pages.ok()) {
        for (ObjectId id : *pages)
            nums.push_back(id.num);
    }
    return nums;
}

std::string pages_error(const Document& doc) {
    auto pages = doc.page_refs();
    return pages.ok() ? "listed" : pages.error().display();
}

// Catalogue 1, root node 2 with the given kids, and the given extra objects.
PdfBuilder tree(const std::string& root_kids,
                const std::vector<std::pair<std::uint32_t, std::string>>& nodes) {
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.object(2, "<< /Type /Pages /Kids [" + root_kids + "] >>");
    for (const auto& [num, text] : nodes)
        b.object(num, text);
    return b;
}

// A document whose objects 3.. live in an object stream (number 20).
PdfBuilder packed_document(std::string_view filter = "FlateDecode") {
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.object(2, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>");
    b.object_stream(20,
                    {{3, "<< /Type /Page /Parent 2 0 R /Name /A#42C >>"},
                     {4, "<< /Type /Page /Parent 2 0 R /Rotate 90 >>"},
                     {5, "[1 2 (three)]"},
                     {6, "42"}},
                    filter);
    return b;
}

// --- open -------------------------------------------------------------------

TEST(DocumentOpen, ReadsTableAndResolvesObjects) {
    PdfBuilder b = testing::simple_document({"BT (Hi) Tj ET"});
    auto doc = open_bytes(b.build());
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->trailer().root, (ObjectId{1, 0}));
    auto page = doc->get_object(3);
    ASSERT_TRUE(page.ok());
    EXPECT_TRUE((*page)->get("Type")->is_name("Page"));
    auto content = doc->get_object(4);
    ASSERT_TRUE(content.ok());
    ASSERT_TRUE((*content)->is_stream());
    EXPECT_EQ((*content)->stream_data(), "BT (Hi) Tj ET");
    EXPECT_EQ(page_nums(*doc), (std::vector<std::uint32_t>{3}));
}

TEST(DocumentOpen, FromFileMapsAndClosesTheDescriptor) {
    const std::string path = testing::write_temp_file(testing::simple_document({"a", "b"}).build());
    const auto fds_before = std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                          std::filesystem::directory_iterator{});
    {
        auto doc = Document::open(path);
        ASSERT_TRUE(doc.ok()) << doc.error().display();
        const auto fds_open = std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                            std::filesystem::directory_iterator{});
        EXPECT_EQ(fds_open, fds_before);
        EXPECT_EQ(page_nums(**doc), (std::vector<std::uint32_t>{3, 5}));
    }
    auto broken = Document::open(testing::write_temp_file("not a pdf"));
    ASSERT_FALSE(broken.ok());
    const auto fds_after = std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                         std::filesystem::directory_iterator{});
    EXPECT_EQ(fds_after, fds_before);
}

TEST(DocumentOpen, FileErrors) {
    auto missing = Document::open("/nonexistent/quarvel.pdf");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().display(), "cannot open file");
    auto dir = Document::open("/tmp");
    ASSERT_FALSE(dir.ok());
    EXPECT_EQ(dir.error().display(), "cannot mmap file");
    // An empty file maps to an empty view: nothing to recover from.
    auto empty = Document::open(testing::write_temp_file(""));
    ASSERT_FALSE(empty.ok());
    EXPECT_EQ(empty.error().display(), "recovery: could not find Catalog root");
}

TEST(DocumentOpen, UncompressedXrefStream) {
    PdfBuilder b = testing::simple_document({"x"});
    auto doc = open_bytes(b.build(xref_stream()));
    ASSERT_TRUE(doc);
    EXPECT_EQ(page_nums(*doc), (std::vector<std::uint32_t>{3}));
    // The entries came from the stream, not from a scan: object 0 is free.
    ASSERT_NE(doc->xref().find(0), nullptr);
    EXPECT_EQ(doc->xref().find(0)->kind, XrefEntry::Kind::Free);
}

TEST(DocumentOpen, BrokenTableFallsBackToRecovery) {
    PdfBuilder b = testing::simple_document({"x"});
    BuildOptions o;
    o.offset_shift = 3; // every table offset is wrong, but the table parses
    auto shifted = open_bytes(b.build(o));
    ASSERT_TRUE(shifted);
    EXPECT_EQ(object_error(*shifted, 3), "invalid number format");

    std::string pdf = b.build();
    const std::size_t at = pdf.find("0000000000 65535 f");
    pdf.replace(at, 18, "0000000000 65535 x"); // unreadable table
    auto recovered = open_bytes(pdf);
    ASSERT_TRUE(recovered);
    EXPECT_EQ(page_nums(*recovered), (std::vector<std::uint32_t>{3}));
    // Recovery points at the first digit of each header.
    EXPECT_EQ(recovered->xref().find(3)->offset_or_stream, b.offset_of(3));
}

TEST(DocumentOpen, StartxrefProblems) {
    PdfBuilder b = testing::simple_document({"x"});
    // Missing keyword, a number beyond the file, garbage: all recovered.
    for (const BuildOptions& o : {no_startxref(), startxref("99999999"), startxref("%%EOF")}) {
        auto doc = open_bytes(b.build(o));
        ASSERT_TRUE(doc);
        EXPECT_EQ(page_nums(*doc), (std::vector<std::uint32_t>{3}));
    }
    // An offset equal to the file's length is read as a stream object and
    // finds no number there.
    const std::string base = b.build(no_startxref());
    std::string tail;
    for (std::size_t len = base.size(); tail.empty() || base.size() + tail.size() != len;) {
        if (!tail.empty()) len = base.size() + tail.size();
        tail = "startxref\n" + std::to_string(len) + "\n%%EOF\n";
    }
    EXPECT_EQ(open_error(base + tail), "invalid number format");
}

TEST(DocumentOpen, BrokenXrefStreamObjectFailsWithoutRecovery) {
    // Whatever startxref points at, other than "xref", is read as a
    // cross-reference stream object; when that read fails the open fails
    // with its error.
    PdfBuilder b = testing::simple_document({"x"});
    const std::size_t page = b.build().find("3 0 obj");
    EXPECT_EQ(open_error(b.build(startxref(std::to_string(page)))), "expected stream after dict");
    EXPECT_EQ(open_error(b.build(startxref(std::to_string(page + 2)))), "invalid number format");
    // A stream object that is read but fails as a cross-reference stream
    // falls back to the scan.
    const std::size_t content = b.build().find("4 0 obj");
    EXPECT_EQ(open_error(b.build(startxref(std::to_string(content)))), "opened");
}

TEST(DocumentOpen, CatalogueOnlyReachableByRecovery) {
    PdfBuilder b;
    b.object(7, "<< /Type /Catalog /Pages 8 0 R >>");
    b.object(8, "<< /Type /Pages /Kids [9 0 R] >>");
    b.object(9, "<< /Type /Page >>");
    auto doc = open_bytes(b.build(no_xref()));
    ASSERT_TRUE(doc);
    EXPECT_EQ(doc->trailer().root, (ObjectId{7, 0}));
    EXPECT_EQ(doc->trailer().size, 10u);
    EXPECT_EQ(page_nums(*doc), (std::vector<std::uint32_t>{9}));
}

TEST(DocumentOpen, EncryptedFilesAreRefusedThroughEveryPath) {
    PdfBuilder b = testing::simple_document({"x"});
    b.object(9, "<< /Filter /Standard /V 1 /R 2 >>");
    const std::string enc = "/Encrypt 9 0 R";
    // The table's trailer and the cross-reference stream's dictionary.
    EXPECT_EQ(open_error(b.build(table(enc))), "encrypted PDFs are not supported");
    EXPECT_EQ(open_error(b.build(xref_stream(enc))), "encrypted PDFs are not supported");
    // The same files with unreadable cross-reference data, opened by the scan.
    EXPECT_EQ(open_error(b.build(no_startxref(enc))), "encrypted PDFs are not supported");
    std::string stream = b.build(xref_stream(enc));
    stream.replace(stream.find("/W [1 4 2]"), 10, "/W [1 4 9]"); // rows no longer fit
    EXPECT_EQ(open_error(stream), "encrypted PDFs are not supported");
    // A direct /Encrypt dictionary is not a reference and is not seen.
    EXPECT_EQ(open_error(b.build(table("/Encrypt << /V 1 >>"))), "opened");
}

// --- objects ----------------------------------------------------------------

TEST(DocumentObjects, LookupErrors) {
    PdfBuilder b = testing::simple_document({"x"});
    b.object(5, "<< /A 1 >>");
    BuildOptions o;
    o.omit_from_xref = {5};
    std::string pdf = b.build(o);
    auto doc = open_bytes(pdf);
    ASSERT_TRUE(doc);
    EXPECT_EQ(object_error(*doc, 99), "object not in xref");
    EXPECT_EQ(object_error(*doc, 5), "object is free (deleted)");
    EXPECT_EQ(object_error(*doc, 0), "object is free (deleted)");
}

TEST(DocumentObjects, OffsetsAreTrustedAndNumbersNeverCompared) {
    // Entry 12 points at the header of object 7; entry 13 at "obj"-less text,
    // entry 14 past the end of the file.
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.object(2, "<< /Type /Pages /Kids [] >>");
    b.object(7, "(seven)");
    b.raw("8 0 xyz\n");
    std::string body = b.build(no_xref());
    body = body.substr(0, body.find("trailer"));
    const std::size_t eight = body.find("8 0 xyz");
    const std::size_t xref_at = body.size();
    auto entry = [](std::size_t off) {
        char buf[24];
        std::snprintf(buf, sizeof buf, "%010zu 00000 n \n", off);
        return std::string(buf);
    };
    body += "xref\n0 3\n0000000000 65535 f \n" + entry(b.offset_of(1)) + entry(b.offset_of(2)) +
            "12 3\n" + entry(b.offset_of(7)) + entry(eight) + entry(1u << 30) +
            "trailer\n<< /Size 15 /Root 1 0 R >>\nstartxref\n" + std::to_string(xref_at) +
            "\n%%EOF\n";
    auto doc = open_bytes(body);
    ASSERT_TRUE(doc);
    auto twelve = doc->get_object(12);
    ASSERT_TRUE(twelve.ok());
    EXPECT_EQ((*twelve)->bytes(), "seven");
    EXPECT_EQ(object_error(*doc, 13), "expected 'obj' keyword");
    EXPECT_EQ(object_error(*doc, 14), "unexpected end of input");
    EXPECT_TRUE(page_nums(*doc).empty());
}

TEST(DocumentObjects, StreamKeywordAndDanglingDictionary) {
    PdfBuilder b = testing::simple_document({"x"});
    b.object(9, "<< /Length 3 >>\nstreamXYZ\nabc\nendstream");
    b.object(10, "<< /A 1 >> 5");
    auto doc = open_bytes(b.build());
    ASSERT_TRUE(doc);
    auto s = doc->get_object(9);
    ASSERT_TRUE(s.ok());
    ASSERT_TRUE((*s)->is_stream());
    EXPECT_EQ((*s)->stream_data(), "XYZ");
    auto d = doc->get_object(10);
    ASSERT_TRUE(d.ok());
    EXPECT_TRUE((*d)->is_dict());
}

TEST(DocumentObjects, CacheHandsOutTheSameObject) {
    auto doc = open_bytes(testing::simple_document({"x"}).build());
    ASSERT_TRUE(doc);
    auto a = doc->get_object(3);
    auto b = doc->get_object(3);
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(a->get(), b->get());
}

// Objects read once each (annotation scans) are not kept, unless the cache
// has them already or the same object was read this way
// kMaxTransientReads times, from a plain object and from an object stream.
TEST(DocumentObjects, TransientReadsAreCachedOnlyPastTheLimit) {
    for (const std::uint32_t num : {2u, 5u}) {
        SCOPED_TRACE(num);
        auto doc = open_bytes(packed_document().build(xref_stream()));
        ASSERT_TRUE(doc);
        std::vector<ObjectPtr> reads;
        for (std::size_t i = 0; i < limits::kMaxTransientReads; ++i) {
            auto read = doc->get_object_transient(num);
            ASSERT_TRUE(read.ok());
            if (!reads.empty()) {
                EXPECT_NE(read->get(), reads.back().get());
                EXPECT_EQ(**read, *reads.back());
            }
            reads.push_back(std::move(read).value());
        }
        auto past = doc->get_object_transient(num);
        auto cached = doc->get_object(num);
        ASSERT_TRUE(past.ok() && cached.ok());
        EXPECT_EQ(past->get(), cached->get());
        EXPECT_EQ(**cached, *reads.front());

        auto other = open_bytes(packed_document().build(xref_stream()));
        ASSERT_TRUE(other);
        auto first = other->get_object(num);
        auto transient = other->get_object_transient(num);
        ASSERT_TRUE(first.ok() && transient.ok());
        EXPECT_EQ(first->get(), transient->get());
    }
}

TEST(Mapping, MovesKeepTheBytesViewable) {
    // A short buffer lives inside the string object and moves with it.
    Mapping a = Mapping::from_bytes("abc");
    Mapping b = std::move(a);
    EXPECT_EQ(b.bytes(), "abc");
    EXPECT_TRUE(a.bytes().empty());
    Mapping c;
    c = std::move(b);
    EXPECT_EQ(c.bytes(), "abc");
}

struct RawStreamCase {
    const char* text;
    const char* outcome; // the body, or the error
};

class ParseObjectStreamRaw : public ::testing::TestWithParam<RawStreamCase> {};

TEST_P(ParseObjectStreamRaw, ReadsHeaderDictionaryAndBody) {
    Arena arena;
    const std::string text = std::string("%junk\n") + GetParam().text;
    auto r = parse_object_stream_raw(text, 6, arena);
    EXPECT_EQ(r.ok() ? std::string(r->body) : r.error().display(), GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseObjectStreamRaw,
    ::testing::Values(
        RawStreamCase{"12 0 obj << /Length 3 /N 1 >>\nstream\nabc\nendstream", "abc"},
        RawStreamCase{" % lead\n12 0 obj<</Length 4 0 R>>stream\r\nab\nendstream", "ab\n"},
        RawStreamCase{"12 0 obj 5 endobj", "expected dict for ObjStm"},
        RawStreamCase{"12 0 obj << /Length 3 >> endobj", "expected stream after dict"},
        RawStreamCase{"12 0 ob << >>", "expected 'obj' keyword"},
        RawStreamCase{"12 obj << >>", "invalid number format"},
        RawStreamCase{"12 0 obj << /Length 99 >> stream\nabc", "unexpected end of input"},
        RawStreamCase{"", "invalid number format"}));

TEST(ParseObjectStreamRawOffsets, BeyondTheEndIsEof) {
    Arena arena;
    EXPECT_EQ(parse_object_stream_raw("1 0 obj", 8, arena).error().display(),
              "unexpected end of input");
}

// --- object streams ---------------------------------------------------------

class DocumentObjStm : public ::testing::TestWithParam<const char*> {};

TEST_P(DocumentObjStm, ResolvesPackedObjectsThroughEveryFilter) {
    PdfBuilder b = packed_document(GetParam());
    auto doc = open_bytes(b.build(xref_stream()));
    ASSERT_TRUE(doc);
    EXPECT_EQ(page_nums(*doc), (std::vector<std::uint32_t>{3, 4}));
    auto three = doc->get_object(3);
    ASSERT_TRUE(three.ok());
    EXPECT_EQ((*three)->get("Name")->bytes(), "ABC"); // escaped name from the arena
    auto five = doc->get_object(5);
    ASSERT_TRUE(five.ok());
    ASSERT_TRUE((*five)->is_array());
    EXPECT_EQ((*five)->as_array()[2].bytes(), "three");
    auto six = doc->get_object(6);
    ASSERT_TRUE(six.ok());
    EXPECT_EQ((*six)->as_int(), 42);
}

TEST(DocumentObjStmParams, DecodeParmsAreNotApplied) {
    // Decoding ignores /DecodeParms: a predictor named there is not undone
    // (the body was written without one).
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.object(2, "<< /Type /Pages /Kids [3 0 R] >>");
    b.object_stream(20, {{3, "<< /Type /Page >>"}}, "FlateDecode",
                    "/DecodeParms << /Predictor 12 /Columns 5 >>");
    auto doc = open_bytes(b.build(xref_stream()));
    ASSERT_TRUE(doc);
    EXPECT_EQ(page_nums(*doc), (std::vector<std::uint32_t>{3}));
}

INSTANTIATE_TEST_SUITE_P(Filters, DocumentObjStm,
                         ::testing::Values("", "FlateDecode", "ASCIIHexDecode", "ASCII85Decode",
                                           "RunLengthDecode", "LZWDecode"));

TEST(DocumentObjStmErrors, ContainerProblems) {
    PdfBuilder b = packed_document();
    b.object(30, "<< /Type /Page >>");
    std::string pdf = b.build(xref_stream());
    auto doc = open_bytes(pdf);
    ASSERT_TRUE(doc);
    // An object stream entry parsed once serves all its objects; the unpacked
    // stream is decoded into the document's arena exactly once.
    ASSERT_TRUE(doc->get_object(3).ok());
    const std::size_t held = doc->arena().bytes_held();
    ASSERT_TRUE(doc->get_object(4).ok());
    ASSERT_TRUE(doc->get_object(5).ok());
    EXPECT_EQ(doc->arena().bytes_held(), held);
}

TEST(DocumentObjStmErrors, MessagesForBadContainers) {
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.object(2, "<< /Type /Pages /Kids [] >>");
    b.object_stream(20, {{3, "<< /A 1 >>"}, {4, "garbage)"}}, "");
    b.object(21, "5");
    b.stream(22, "/Filter /FlateDecode", "not zlib");
    std::string pdf = b.build(no_xref());
    pdf = pdf.substr(0, pdf.find("trailer"));
    // A cross-reference stream written by hand, rows of /W [1 2 1].
    auto row = [](int type, unsigned f2, unsigned f3) {
        std::string r;
        r += static_cast<char>(type);
        r += static_cast<char>((f2 >> 8) & 0xFF);
        r += static_cast<char>(f2 & 0xFF);
        r += static_cast<char>(f3);
        return r;
    };
    std::string rows;
    rows += row(1, static_cast<unsigned>(b.offset_of(1)), 0); // 1
    rows += row(1, static_cast<unsigned>(b.offset_of(2)), 0); // 2
    rows += row(2, 20, 0);                                    // 3: in 20
    rows += row(2, 20, 1);                                    // 4: garbage in 20
    rows += row(2, 20, 2);                                    // 5: not in 20
    rows += row(2, 99, 0);                                    // 6: 99 unknown
    rows += row(2, 5, 0);                                     // 7: 5 is compressed
    rows += row(2, 21, 0);                                    // 8: 21 is not a stream
    rows += row(2, 22, 0);                                    // 9: 22 fails to inflate
    rows += row(0, 0, 0);                                     // 10: free
    rows += row(2, 10, 0);                                    // 11: 10 is free
    std::string index = "/Index [1 11 20 3]";
    rows += row(1, static_cast<unsigned>(b.offset_of(20)), 0); // 20
    rows += row(1, static_cast<unsigned>(b.offset_of(21)), 0); // 21
    rows += row(1, static_cast<unsigned>(b.offset_of(22)), 0); // 22
    const std::size_t xref_at = pdf.size();
    pdf += "30 0 obj\n<< /Type /XRef /W [1 2 1] " + index + " /Size 31 /Root 1 0 R /Length " +
           std::to_string(rows.size()) + " >>\nstream\n" + rows + "\nendstream\nendobj\n";
    pdf += "startxref\n" + std::to_string(xref_at) + "\n%%EOF\n";
    ASSERT_LT(pdf.size(), 65536u);
    auto doc = open_bytes(pdf);
    ASSERT_TRUE(doc);
    EXPECT_EQ(object_error(*doc, 3), "resolved");
    EXPECT_EQ(object_error(*doc, 4), "object not found in ObjStm");
    EXPECT_EQ(object_error(*doc, 5), "object not found in ObjStm");
    EXPECT_EQ(object_error(*doc, 6), "ObjStm not in xref");
    EXPECT_EQ(object_error(*doc, 7), "ObjStm must be uncompressed");
    EXPECT_EQ(object_error(*doc, 8), "expected dict for ObjStm");
    EXPECT_EQ(object_error(*doc, 9), "flate decompression failed");
    EXPECT_EQ(object_error(*doc, 11), "ObjStm must be uncompressed");
    // Asking again gives the same answers (failures are remembered, not
    // decoded again).
    const std::size_t held = doc->arena().bytes_held();
    EXPECT_EQ(object_error(*doc, 9), "flate decompression failed");
    EXPECT_EQ(object_error(*doc, 4), "object not found in ObjStm");
    EXPECT_EQ(doc->arena().bytes_held(), held);
}

TEST(DocumentObjStm, ConcurrentResolutionFromManyThreads) {
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    std::string kids;
    std::vector<std::pair<std::uint32_t, std::string>> packed;
    constexpr std::uint32_t kObjects = 400;
    for (std::uint32_t i = 0; i < kObjects; ++i) {
        const std::uint32_t num = 100 + i;
        kids += std::to_string(num) + " 0 R ";
        packed.emplace_back(num, "<< /Type /Page /Index " + std::to_string(i) + " /N#41me /X >>");
    }
    b.object(2, "<< /Type /Pages /Kids [" + kids + "] >>");
    // Four object streams, so that threads race on streams and on objects.
    for (std::uint32_t s = 0; s < 4; ++s) {
        std::vector<std::pair<std::uint32_t, std::string>> part(packed.begin() + s * 100,
                                                                packed.begin() + (s + 1) * 100);
        b.object_stream(10 + s, part);
    }
    auto doc = open_bytes(b.build(xref_stream()));
    ASSERT_TRUE(doc);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (std::uint32_t k = 0; k < kObjects; ++k) {
                const std::uint32_t i = (k * 7 + static_cast<std::uint32_t>(t) * 13) % kObjects;
                auto obj = doc->get_object(100 + i);
                if (!obj.ok() || (*obj)->get("Index")->as_int() != i ||
                    !(*obj)->get("NAme")->is_name("X")) {
                    ++failures;
                }
            }
            auto pages = doc->page_refs();
            if (!pages.ok() || pages->size() != kObjects) ++failures;
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
}

long resident_pages() {
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident;
}

TEST(DocumentMemory, RepeatedOpenAndResolveKeepsResidentMemoryFlat) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "freed memory sits in the address sanitizer's quarantine";
#endif
    PdfBuilder b = packed_document();
    std::vector<std::pair<std::uint32_t, std::string>> big;
    for (std::uint32_t i = 0; i < 200; ++i) {
        big.emplace_back(40 + i, "<< /K#41 (" + std::string(200, 'x') + ") /I " +
                                     std::to_string(i) + " >>");
    }
    b.object_stream(21, big);
    const std::string pdf = b.build(xref_stream());
    auto cycle = [&] {
        auto doc = Document::from_mmap(Mapping::from_bytes(pdf));
        ASSERT_TRUE(doc.ok());
        (*doc)->xref().for_each(
            [&](std::uint32_t num, const XrefEntry&) { (void)(*doc)->get_object(num); });
        ASSERT_TRUE((*doc)->page_refs().ok());
    };
    for (int i = 0; i < 100; ++i)
        cycle(); // warm-up: allocator pools settle
    const long before = resident_pages();
    for (int i = 0; i < 1000; ++i)
        cycle();
    const long after = resident_pages();
    // Each cycle decodes ~50 KB of object-stream bodies; 1,000 cycles kept
    // would add some 50 MB (12,000 pages). Allow 1 MiB of noise.
    EXPECT_LT(after - before, 256) << "before " << before << " after " << after;
}

// --- page tree --------------------------------------------------------------

TEST(PageTree, NestingOrderAndSharing) {
    // Root: page 10, node 3 (pages 4, then node 5 with page 6), page 10 again,
    // node 5 again (shared by two parents).
    auto doc =
        open_bytes(tree("10 0 R 3 0 R 10 0 R 5 0 R", {{3, "<< /Type /Pages /Kids [4 0 R 5 0 R] >>"},
                                                      {4, "<< /Type /Page >>"},
                                                      {5, "<< /Type /Pages /Kids [6 0 R] >>"},
                                                      {6, "<< /Type /Page >>"},
                                                      {10, "<< /Type /Page >>"}})
                       .build());
    ASSERT_TRUE(doc);
    EXPECT_EQ(page_nums(*doc), (std::vector<std::uint32_t>{10, 4, 6, 10, 6}));
}

TEST(PageTree, OddTypesAreSkipped) {
    auto doc = open_bytes(tree("3 0 R 4 0 R 5 0 R 6 0 R 7 0 R 8 0 R 9 0 R",
                               {{3, "<< /Kids [9 0 R] >>"},             // no /Type
                                {4, "<< /Type (Page) >>"},              // a string
                                {5, "<< /Type /Template >>"},           // another name
                                {6, "<< /Type /Page /Kids [9 0 R] >>"}, // a page, kids ignored
                                {7, "[/Type /Page]"},                   // not a dictionary
                                {8, "<< /Type /Page /Length 0 >>\nstream\n\nendstream"},
                                {9, "<< /Type /Page >>"}})
                              .build());
    ASSERT_TRUE(doc);
    EXPECT_EQ(page_nums(*doc), (std::vector<std::uint32_t>{6, 8, 9}));
}

TEST(PageTree, CyclesAreSkippedAndTheRestListed) {
    // 3 lists its own ancestor 2 (the root) and itself; 4 and 5 point at
    // each other.
    auto doc = open_bytes(tree("3 0 R 4 0 R", {{3, "<< /Type /Pages /Kids [2 0 R 3 0 R 6 0 R] >>"},
                                               {4, "<< /Type /Pages /Kids [5 0 R 7 0 R] >>"},
                                               {5, "<< /Type /Pages /Kids [4 0 R 6 0 R] >>"},
                                               {6, "<< /Type /Page >>"},
                                               {7, "<< /Type /Page >>"}})
                              .build());
    ASSERT_TRUE(doc);
    EXPECT_EQ(page_nums(*doc), (std::vector<std::uint32_t>{6, 6, 7}));
}

struct TreeError {
    const char* catalog;
    const char* root;
    const char* extra; // object 3
    const char* message;
};

class PageTreeErrors : public ::testing::TestWithParam<TreeError> {};

TEST_P(PageTreeErrors, FailTheWholeListing) {
    const TreeError& p = GetParam();
    PdfBuilder b;
    b.object(1, p.catalog);
    b.object(2, p.root);
    b.object(3, p.extra);
    b.object(4, "<< /Type /Page >>");
    auto doc = open_bytes(b.build());
    ASSERT_TRUE(doc);
    EXPECT_EQ(pages_error(*doc), p.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PageTreeErrors,
    ::testing::Values(
        TreeError{"<< /Type /Catalog >>", "<< >>", "1", "missing /Pages in catalog"},
        TreeError{"[/Pages 2 0 R]", "<< >>", "1", "missing /Pages in catalog"},
        TreeError{"<< /Pages << /Kids [] >> >>", "<< >>", "1", "/Pages must be a reference"},
        TreeError{"<< /Pages 2 0 R >>", "<< /Type /Pages >>", "1", "missing /Kids in Pages"},
        TreeError{"<< /Pages 2 0 R >>", "5", "1", "missing /Kids in Pages"},
        TreeError{"<< /Pages 2 0 R >>", "<< /Kids 4 0 R >>", "1", "/Kids must be an array"},
        TreeError{"<< /Pages 2 0 R >>", "<< /Kids [4 0 R << /Type /Page >>] >>", "1",
                  "Kid must be a reference"},
        TreeError{"<< /Pages 2 0 R >>", "<< /Kids [4 0 R 3 0 R] >>", "<< /Type /Pages >>",
                  "Pages node missing /Kids"},
        TreeError{"<< /Pages 2 0 R >>", "<< /Kids [3 0 R] >>", "<< /Type /Pages /Kids /None >>",
                  "/Kids must be an array"},
        TreeError{"<< /Pages 2 0 R >>", "<< /Kids [4 0 R 77 0 R] >>", "1", "object not in xref"},
        TreeError{"<< /Pages 9 0 R >>", "<< >>", "1", "object not in xref"}));

TEST(PageTree, EmptyKidsAndOrderByPosition) {
    auto empty = open_bytes(tree("", {}).build());
    ASSERT_TRUE(empty);
    EXPECT_TRUE(page_nums(*empty).empty());
    auto ordered = open_bytes(
        tree("10 0 R 4 0 R", {{4, "<< /Type /Page >>"}, {10, "<< /Type /Page >>"}}).build());
    ASSERT_TRUE(ordered);
    EXPECT_EQ(page_nums(*ordered), (std::vector<std::uint32_t>{10, 4}));
}

// A chain of `levels` nested /Pages nodes, the root (2) counting as one,
// nodes 10, 11, ... below it and page 9 at the bottom.
std::string chain(std::uint32_t levels) {
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    auto kids = [&](std::uint32_t k) { // kids of the node at level k (root: 0)
        return "<< /Type /Pages /Kids [" + std::to_string(k + 1 < levels ? 10 + k : 9) + " 0 R] >>";
    };
    b.object(2, kids(0));
    for (std::uint32_t k = 1; k < levels; ++k)
        b.object(10 + k - 1, kids(k));
    b.object(9, "<< /Type /Page >>");
    return b.build();
}

TEST(PageTree, DepthLimit) {
    auto at_limit = open_bytes(chain(static_cast<std::uint32_t>(limits::kMaxPageTreeDepth)));
    ASSERT_TRUE(at_limit);
    EXPECT_EQ(page_nums(*at_limit), (std::vector<std::uint32_t>{9}));
    auto past = open_bytes(chain(static_cast<std::uint32_t>(limits::kMaxPageTreeDepth + 1)));
    ASSERT_TRUE(past);
    EXPECT_EQ(pages_error(*past), "page tree too deep");
}

TEST(PageTree, KidsLimitStopsSharedSubtreeBlowUp) {
    // The root lists node 3 `a` times and page 4 `b` times; node 3 lists page
    // 4 1024 times: a + b + 1024 a kid references in all.
    auto build = [](std::uint64_t a, std::uint64_t b) {
        std::string root_kids;
        for (std::uint64_t i = 0; i < a; ++i)
            root_kids += "3 0 R ";
        for (std::uint64_t i = 0; i < b; ++i)
            root_kids += "4 0 R ";
        std::string node_kids;
        for (int i = 0; i < 1024; ++i)
            node_kids += "4 0 R ";
        return tree(root_kids,
                    {{3, "<< /Type /Pages /Kids [" + node_kids + "] >>"}, {4, "<< /Type /Page >>"}})
            .build();
    };
    constexpr std::uint64_t a = 4092;
    constexpr std::uint64_t b = limits::kMaxPageTreeKids - a - 1024 * a;
    auto at_limit = open_bytes(build(a, b));
    ASSERT_TRUE(at_limit);
    auto pages = at_limit->page_refs();
    ASSERT_TRUE(pages.ok());
    EXPECT_EQ(pages->size(), b + 1024 * a);
    auto past = open_bytes(build(a, b + 1));
    ASSERT_TRUE(past);
    EXPECT_EQ(pages_error(*past), "page tree too large");
}

// --- corpus -----------------------------------------------------------------

TEST(DocumentCorpus, EveryFileOpensOrFailsCleanly) {
    // Files with compressed cross-reference streams open through the scan,
    // which cannot see objects packed in object streams: their page listing
    // (or their catalogue) may be missing by design. Page counts of files
    // whose pages are listed must match the manifest.
    const std::filesystem::path dir = QUARVEL_CORPUS_DIR;
    std::ifstream manifest(dir / "MANIFEST.tsv");
    if (!manifest) GTEST_SKIP() << "no corpus";
    std::string line;
    std::getline(manifest, line);
    int opened = 0;
    int failed = 0;
    int listed = 0;
    std::vector<std::string> mismatches;
    while (std::getline(manifest, line)) {
        std::istringstream fields(line);
        std::string file;
        std::string bytes;
        std::string pages;
        std::getline(fields, file, '\t');
        std::getline(fields, bytes, '\t');
        std::getline(fields, pages, '\t');
        auto doc = Document::open((dir / file).string());
        if (!doc.ok()) {
            ++failed;
            std::printf("  %s: %s\n", file.c_str(), doc.error().display().c_str());
            continue;
        }
        ++opened;
        auto refs = (*doc)->page_refs();
        if (!refs.ok()) {
            std::printf("  %s: pages: %s\n", file.c_str(), refs.error().display().c_str());
            continue;
        }
        ++listed;
        if (std::to_string(refs->size()) != pages) {
            mismatches.push_back(file + ": " + std::to_string(refs->size()) + " pages, manifest " +
                                 pages);
        }
    }
    std::printf("corpus: %d opened (%d with pages listed), %d failed to open\n", opened, listed,
                failed);
    EXPECT_GT(listed, 0);
    EXPECT_TRUE(mismatches.empty()) << ::testing::PrintToString(mismatches);
}

} // namespace
} // namespace quarvel
