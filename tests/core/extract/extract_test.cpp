#include "extract/extract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <numeric>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "file/document.h"
#include "support/pdf_builder.h"

namespace quarvel {
namespace {

using testing::flate;
using testing::PdfBuilder;
using testing::write_temp_file;

std::unique_ptr<Document> open_bytes(const std::string& pdf) {
    auto doc = Document::from_mmap(Mapping::from_bytes(pdf));
    EXPECT_TRUE(doc.ok()) << (doc.ok() ? "" : doc.error().display());
    return doc.ok() ? std::move(doc).value() : nullptr;
}

// Everything a page result holds, floats bit for bit, for comparisons.
std::string dump(const PageResult& page) {
    std::string out;
    char buf[160];
    auto box = [&](const BBox& b) {
        std::snprintf(buf, sizeof buf, "[%a %a %a %a]", b[0], b[1], b[2], b[3]);
        out += buf;
    };
    for (const TextBlock& block : page.blocks) {
        out += "B";
        box(block.bbox);
        for (const TextLine& line : block.lines) {
            out += " L";
            box(line.bbox);
            for (const TextSpan& span : line.spans) {
                std::snprintf(buf, sizeof buf, " S(%s|%a|%u)", span.font.c_str(), span.size,
                              span.color);
                out += buf + span.text;
                box(span.bbox);
            }
        }
        out += "\n";
    }
    for (const ExtractedImage& image : page.images) {
        std::snprintf(buf, sizeof buf, "I %u %u %u %u %s %s ", image.xref, image.width,
                      image.height, static_cast<unsigned>(image.bpc), image.colorspace.c_str(),
                      image.ext.c_str());
        out += buf + image.image;
        box(image.bbox);
        out += "\n";
    }
    return out;
}

std::string dump(const ExtractResult& result) {
    std::string out;
    for (std::size_t i = 0; i < result.pages.size(); ++i) {
        out += "page " + std::to_string(i) + "\n" + dump(result.pages[i]);
    }
    return out;
}

std::string text_of(const PageResult& page) {
    std::string text;
    for (const TextBlock& block : page.blocks) {
        for (const TextLine& line : block.lines) {
            for (const TextSpan& span : line.spans)
                text += span.text;
        }
    }
    return text;
}

std::set<std::string> fonts_of(const PageResult& page) {
    std::set<std::string> fonts;
    for (const TextBlock& block : page.blocks) {
        for (const TextLine& line : block.lines) {
            for (const TextSpan& span : line.spans)
                fonts.insert(span.font);
        }
    }
    return fonts;
}

const char* kFontDict = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>";

// A one-page document: catalogue 1, pages 2, page 3 with `page_entries`.
PdfBuilder one_page(const std::string& page_entries) {
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
        .object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
        .object(3, "<< /Type /Page /Parent 2 0 R " + page_entries + " >>");
    return b;
}

Result<PageResult> first_page(const PdfBuilder& b, bool include_images = true) {
    auto doc = open_bytes(b.build());
    if (doc == nullptr) return ParseError::other("test document did not open");
    ExtractOptions options;
    options.include_images = include_images;
    std::string bytes(doc->data());
    return extract_single_page(*doc, 3, 0, bytes, options);
}

TEST(ExtractPage, ContentArrayIsJoinedWithLineFeeds) {
    // Without the line feed, "Tf" and "(x)" would still parse, but "12" and
    // "Tf" of the next stream would glue into one token in other splits.
    PdfBuilder b = one_page("/Contents [4 0 R 5 0 R]");
    b.stream(4, "", "BT 1 0 0 1 72 700 Tm").stream(5, "", "(x) Tj ET");
    auto page = first_page(b);
    ASSERT_TRUE(page.ok()) << page.error().display();
    EXPECT_EQ(text_of(*page), "x");
}

TEST(PageContent, JoinedBytesStopAtTheLimit) {
    PdfBuilder b = one_page("/Contents [4 0 R 5 0 R]");
    b.stream(4, "", "abc").stream(5, "", "de").object(6, "<< /Contents 4 0 R >>");
    auto doc = open_bytes(b.build());
    ASSERT_NE(doc, nullptr);
    auto page = doc->get_object(3);
    ASSERT_TRUE(page.ok());
    const PdfObject* contents = (*page)->get("Contents");
    EXPECT_EQ(*page_content(contents, *doc, 7), "abc\nde\n");
    EXPECT_EQ(*page_content(contents, *doc, 6), "abc\n");
    EXPECT_EQ(*page_content(contents, *doc, 3), "");
    EXPECT_EQ(*page_content(contents, *doc), "abc\nde\n");

    auto single = doc->get_object(6);
    ASSERT_TRUE(single.ok());
    EXPECT_EQ(*page_content((*single)->get("Contents"), *doc, 3), "abc");
    EXPECT_EQ(*page_content((*single)->get("Contents"), *doc, 2), "");
}

TEST(XObjectMapBuild, FormBytesStopAtTheLimit) {
    PdfBuilder b = one_page("/Resources 9 0 R");
    b.object(9, "<< /XObject << /A 10 0 R /B 10 0 R /Im 11 0 R >> >>")
        .filtered_stream(10, "/Subtype /Form", "BT (a) Tj ET", "FlateDecode")
        .stream(11, "/Subtype /Image", "p");
    auto doc = open_bytes(b.build());
    ASSERT_NE(doc, nullptr);
    auto resources = doc->get_object(9);
    ASSERT_TRUE(resources.ok());
    auto full = build_xobject_map(resources->get(), *doc, 24);
    ASSERT_EQ(full.size(), 3u);
    EXPECT_EQ(full.at("A").content, "BT (a) Tj ET");
    EXPECT_EQ(full.at("B").content, "BT (a) Tj ET");
    EXPECT_EQ(full.at("Im").kind, XObjectData::Kind::Image);
    auto past = build_xobject_map(resources->get(), *doc, 23);
    EXPECT_EQ(past.at("A").content, "BT (a) Tj ET");
    EXPECT_EQ(past.at("B").kind, XObjectData::Kind::Form);
    EXPECT_EQ(past.at("B").content, "");
}

TEST(XObjectMapBuild, FullReaderFormsCarryTheXObjectsOfTheirOwnResources) {
    // Page -> Outer -> Inner -> Outer again: the self-reference ends in an
    // entry that is still a form but is never drawn.
    PdfBuilder b = one_page("/Resources 9 0 R");
    b.object(9, "<< /XObject << /Outer 10 0 R >> >>")
        .stream(10, "/Subtype /Form /Resources << /XObject << /Inner 11 0 R /Im 12 0 R >> >>",
                "/Inner Do")
        .stream(11, "/Subtype /Form /Resources << /XObject << /Outer 10 0 R >> >>", "/Outer Do")
        .stream(12, "/Subtype /Image", "p");
    auto doc = Document::from_mmap(Mapping::from_bytes(b.build()), ReadOptions::full_reader());
    ASSERT_TRUE(doc.ok());
    auto resources = (*doc)->get_object(9);
    ASSERT_TRUE(resources.ok());
    XObjectMap page = build_xobject_map(resources->get(), **doc);
    const XObjectData& outer = page.at("Outer");
    ASSERT_NE(outer.xobjects, nullptr);
    EXPECT_EQ(outer.xobjects->at("Im").kind, XObjectData::Kind::Image);
    const XObjectData& inner = outer.xobjects->at("Inner");
    EXPECT_EQ(inner.content, "/Outer Do");
    ASSERT_NE(inner.xobjects, nullptr);
    const XObjectData& third = inner.xobjects->at("Outer");
    EXPECT_EQ(third.content, "/Inner Do");
    ASSERT_NE(third.xobjects, nullptr);
    const XObjectData& fourth = third.xobjects->at("Inner");
    EXPECT_EQ(fourth.kind, XObjectData::Kind::Form);
    EXPECT_EQ(fourth.content, "");
    EXPECT_EQ(fourth.xobjects, nullptr);
    // The compact reader's forms draw with the page's map.
    auto compact = open_bytes(b.build());
    ASSERT_NE(compact, nullptr);
    auto compact_resources = compact->get_object(9);
    ASSERT_TRUE(compact_resources.ok());
    EXPECT_EQ(build_xobject_map(compact_resources->get(), *compact).at("Outer").xobjects, nullptr);
}

TEST(ExtractPage, ContentsThatResolveToAnArrayGiveAnEmptyPage) {
    PdfBuilder b = one_page("/Contents 4 0 R");
    b.object(4, "[5 0 R]").stream(5, "", "BT (x) Tj ET");
    auto page = first_page(b);
    ASSERT_TRUE(page.ok());
    EXPECT_TRUE(page->blocks.empty());
}

struct FailingContents {
    const char* label;
    const char* entries;
};

class ExtractPageFails : public ::testing::TestWithParam<FailingContents> {};

TEST_P(ExtractPageFails, WhenContentCannotBeRead) {
    PdfBuilder b = one_page(GetParam().entries);
    b.stream(4, "", "BT (x) Tj ET");
    b.stream(5, "/Filter /FlateDecode", "this is not zlib data");
    EXPECT_FALSE(first_page(b).ok());
}

INSTANTIATE_TEST_SUITE_P(
    Contents, ExtractPageFails,
    ::testing::Values(FailingContents{"MissingInArray", "/Contents [4 0 R 6 0 R]"},
                      FailingContents{"MissingReference", "/Contents 6 0 R"},
                      FailingContents{"BrokenFilter", "/Contents 5 0 R"},
                      FailingContents{"BrokenFilterInArray", "/Contents [4 0 R 5 0 R]"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ExtractPage, PageThatIsNotADictionaryIsEmpty) {
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
        .object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>")
        .object(3, "[1 2 3]");
    auto page = first_page(b);
    ASSERT_TRUE(page.ok());
    EXPECT_TRUE(page->blocks.empty());
    EXPECT_TRUE(page->images.empty());
}

TEST(ExtractPage, ResourcesAreNotInheritedFromThePageTree) {
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
        .object(2, std::string("<< /Type /Pages /Kids [3 0 R] /Count 1 /Resources << /Font << "
                               "/F1 20 0 R >> >> >>"))
        .object(3, "<< /Type /Page /Parent 2 0 R /Contents 4 0 R >>")
        .stream(4, "", "BT /F1 12 Tf 1 0 0 1 72 700 Tm (Hi) Tj ET")
        .object(20, kFontDict);
    auto page = first_page(b);
    ASSERT_TRUE(page.ok());
    EXPECT_EQ(text_of(*page), "Hi");
    EXPECT_EQ(fonts_of(*page), std::set<std::string>{"Helvetica"});
}

TEST(ExtractPage, FontLabelIsTheSmallestResourceName) {
    // Byte order: "F10" < "F2" < "Zf", whatever order the map iterates in.
    PdfBuilder b = one_page("/Contents 4 0 R /Resources << /Font << /Zf 20 0 R /F2 20 0 R "
                            "/F10 20 0 R >> >>");
    b.stream(4, "", "BT /Zf 12 Tf 1 0 0 1 72 700 Tm (Hi) Tj ET").object(20, kFontDict);
    auto page = first_page(b);
    ASSERT_TRUE(page.ok());
    EXPECT_EQ(text_of(*page), "Hi");
    EXPECT_EQ(fonts_of(*page), std::set<std::string>{"F10"});
    for (const TextBlock& block : page->blocks) {
        for (const TextLine& line : block.lines) {
            for (const TextSpan& span : line.spans) {
                EXPECT_EQ(span.size, 12.0);
                EXPECT_EQ(span.color, 0u);
            }
        }
    }
}

TEST(ExtractPage, LaterXObjectEntryWithTheSameNameWins) {
    PdfBuilder b =
        one_page("/Contents 4 0 R /Resources << /XObject << /X1 10 0 R /X1 11 0 R >> >>");
    b.stream(4, "", "/X1 Do")
        .stream(10, "/Subtype /Image /Width 1 /Height 1", "p")
        .stream(11, "/Subtype /Form", "BT 1 0 0 1 72 700 Tm (form) Tj ET");
    auto page = first_page(b);
    ASSERT_TRUE(page.ok());
    EXPECT_EQ(text_of(*page), "form");
    EXPECT_TRUE(page->images.empty());
}

TEST(ExtractPage, FormsAreDecodedWithTheirOwnFontsAndMatrix) {
    PdfBuilder b = one_page("/Contents 4 0 R /Resources << /XObject << /Fm 10 0 R /Bad 11 0 R "
                            ">> >>");
    b.stream(4, "", "/Bad Do /Fm Do")
        .filtered_stream(10,
                         "/Subtype /Form /Matrix [1 0 0 1 100 0] /Resources << /Font << /G1 "
                         "20 0 R >> >>",
                         "BT /G1 10 Tf 1 0 0 1 0 700 Tm (in form) Tj ET", "FlateDecode")
        // Claims Flate but is stored plain: the failed inflate falls back to
        // the stored bytes, which here are readable content.
        .stream(11, "/Subtype /Form /Filter /FlateDecode", "BT 1 0 0 1 0 100 Tm (raw) Tj ET")
        .object(20, kFontDict);
    auto page = first_page(b);
    ASSERT_TRUE(page.ok()) << page.error().display();
    std::string text = text_of(*page);
    EXPECT_NE(text.find("in form"), std::string::npos) << text;
    EXPECT_NE(text.find("raw"), std::string::npos) << text;
    bool shifted = false;
    for (const TextBlock& block : page->blocks)
        shifted = shifted || block.bbox[0] >= 100.0;
    EXPECT_TRUE(shifted) << "the form's /Matrix moves its text right by 100";
}

TEST(ExtractPage, ImagesOnlyWhenAskedAndDrawn) {
    const std::string drawing = "q 100 0 0 50 10 20 cm /Im1 Do Q";
    PdfBuilder with_resources =
        one_page("/Contents 4 0 R /Resources << /XObject << /Im1 10 0 R >> >>");
    with_resources.stream(4, "", drawing).stream(10, "/Subtype /Image /Width 1 /Height 1", "p");

    auto asked = first_page(with_resources, true);
    ASSERT_TRUE(asked.ok());
    ASSERT_EQ(asked->images.size(), 1u);
    EXPECT_EQ(asked->images[0].bbox, (BBox{10, 20, 110, 70}));
    EXPECT_EQ(asked->images[0].xref, 10u);

    auto not_asked = first_page(with_resources, false);
    ASSERT_TRUE(not_asked.ok());
    EXPECT_TRUE(not_asked->images.empty());

    PdfBuilder no_resources = one_page("/Contents 4 0 R");
    no_resources.stream(4, "", drawing);
    auto bare = first_page(no_resources, true);
    ASSERT_TRUE(bare.ok());
    EXPECT_TRUE(bare->images.empty());

    PdfBuilder referenced = one_page("/Contents 4 0 R /Resources << /XObject 9 0 R >>");
    referenced.stream(4, "", drawing)
        .object(9, "<< /Im1 10 0 R >>")
        .stream(10, "/Subtype /Image", "p");
    auto via_ref = first_page(referenced, true);
    ASSERT_TRUE(via_ref.ok());
    EXPECT_TRUE(via_ref->images.empty());
}

TEST(GetStreamData, DecodesFiltersAndCopiesTheRest) {
    EXPECT_EQ(*get_stream_data(PdfObject::integer(3)), "");
    EXPECT_EQ(*get_stream_data(PdfObject::stream({}, "raw")), "raw");
    std::string packed = flate("hello");
    PdfDict dict;
    dict.push_back({"Filter", PdfObject::name("FlateDecode")});
    auto decoded = get_stream_data(PdfObject::stream(std::move(dict), packed));
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(*decoded, "hello");
}

// A document of `n` pages reading "Page 1", "Page 2", ...; the page at
// `failing` (0-based) has a content reference that does not resolve.
std::string numbered_pages(std::size_t n, std::optional<std::size_t> failing = std::nullopt) {
    PdfBuilder b;
    std::string kids;
    for (std::size_t i = 0; i < n; ++i)
        kids += std::to_string(3 + 2 * i) + " 0 R ";
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
        .object(2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(n) + " >>");
    for (std::size_t i = 0; i < n; ++i) {
        auto num = static_cast<std::uint32_t>(3 + 2 * i);
        std::string contents = failing == i ? "999 0 R" : std::to_string(num + 1) + " 0 R";
        b.object(num, "<< /Type /Page /Parent 2 0 R /Contents " + contents + " >>");
        b.stream(num + 1, "", "BT 1 0 0 1 72 700 Tm (Page " + std::to_string(i + 1) + ") Tj ET");
    }
    return b.build();
}

struct DriverCase {
    std::size_t batch_size;
    bool page_parallel;
};

class ExtractDoc : public ::testing::TestWithParam<DriverCase> {};

TEST_P(ExtractDoc, PagesComeBackInOrderWhateverTheBatching) {
    auto doc = open_bytes(numbered_pages(10, 2));
    ASSERT_NE(doc, nullptr);
    ExtractOptions sequential;
    sequential.batch_size = 0;
    sequential.page_parallel = false;
    auto reference = extract::extract_doc(*doc, sequential);
    ASSERT_TRUE(reference.ok());

    ExtractOptions options;
    options.batch_size = GetParam().batch_size;
    options.page_parallel = GetParam().page_parallel;
    auto result = extract::extract_doc(*doc, options);
    ASSERT_TRUE(result.ok());
    ASSERT_EQ(result->pages.size(), 10u);
    for (std::size_t i = 0; i < 10; ++i) {
        if (i == 2) {
            // The failing page keeps its place, empty.
            EXPECT_TRUE(result->pages[i].blocks.empty());
            EXPECT_TRUE(result->pages[i].images.empty());
        } else {
            EXPECT_EQ(text_of(result->pages[i]), "Page " + std::to_string(i + 1));
        }
    }
    EXPECT_EQ(dump(*result), dump(*reference));
}

INSTANTIATE_TEST_SUITE_P(Batches, ExtractDoc,
                         ::testing::Values(DriverCase{0, true}, DriverCase{1, true},
                                           DriverCase{3, true}, DriverCase{3, false},
                                           DriverCase{9, true}, DriverCase{10, true},
                                           DriverCase{50, true}, DriverCase{50, false}));

TEST(ExtractDocument, NoPagesAndUnreadablePageTree) {
    PdfBuilder empty;
    empty.object(1, "<< /Type /Catalog /Pages 2 0 R >>")
        .object(2, "<< /Type /Pages /Kids [] /Count 0 >>");
    auto doc = open_bytes(empty.build());
    ASSERT_NE(doc, nullptr);
    auto none = extract::extract_doc(*doc, {});
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none->pages.empty());

    PdfBuilder no_tree;
    no_tree.object(1, "<< /Type /Catalog >>");
    auto broken = open_bytes(no_tree.build());
    if (broken != nullptr) {
        EXPECT_FALSE(extract::extract_doc(*broken, {}).ok());
    }
}

// Pages of a million characters each, made cheaply by forms drawing forms
// from one shared content stream: repeats add no source bytes, so the
// document stops at the floor of its text budget, by every route, and
// fails as a whole instead of returning its last pages empty.
TEST(ExtractDocument, RepeatedFormsStopAtTheTextFloorWithAnError) {
    constexpr std::uint64_t kPageChars = 1'000'000;
    const std::size_t pages_that_fit =
        static_cast<std::size_t>(limits::kMinTextCharsPerDocument / kPageChars);
    auto repeat = [](const std::string& piece, int n) {
        std::string out;
        for (int i = 0; i < n; ++i)
            out += piece;
        return out;
    };
    auto build = [&](std::size_t n) {
        PdfBuilder b;
        std::string kids;
        for (std::size_t i = 0; i < n; ++i)
            kids += std::to_string(10 + i) + " 0 R ";
        b.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
        b.object(2, "<< /Type /Pages /Kids [" + kids + "] >>");
        const std::string resources = "<< /XObject << /A 3 0 R /B 4 0 R >> >>";
        // Long strings, so that the text comes in few spans and the
        // characters, not the pieces, reach their floor first.
        b.stream(3, "/Subtype /Form /Resources " + resources, repeat("/B Do ", 250));
        b.stream(4, "/Subtype /Form", "BT (" + std::string(4000, 'a') + ") Tj ET");
        b.stream(5, "", "/A Do");
        for (std::size_t i = 0; i < n; ++i) {
            b.object(static_cast<std::uint32_t>(10 + i),
                     "<< /Type /Page /Contents 5 0 R /Resources " + resources + " >>");
        }
        return b.build();
    };
    auto at_floor = open_bytes(build(pages_that_fit));
    auto past_floor = open_bytes(build(pages_that_fit + 1));
    ASSERT_NE(at_floor, nullptr);
    ASSERT_NE(past_floor, nullptr);
    for (const bool parallel : {false, true}) {
        ExtractOptions options;
        options.page_parallel = parallel;
        options.include_images = false;
        if (parallel) {
            auto whole = extract::extract_doc(*at_floor, options);
            ASSERT_TRUE(whole.ok());
            ASSERT_EQ(whole->pages.size(), pages_that_fit);
            EXPECT_EQ(text_of(whole->pages.back()).size(), kPageChars);
        }

        std::size_t delivered = 0;
        auto cut = extract::extract_doc_each(*past_floor, options, [&](PageResult&&) {
            ++delivered;
            return true;
        });
        ASSERT_FALSE(cut.ok());
        EXPECT_EQ(cut.error().display(), "document exceeds extraction limits");
        // The pages before the one that passed the budget were handed over.
        EXPECT_EQ(delivered, pages_that_fit);
    }
}

// The same drawing in four-letter pieces: a million characters a page come
// as a quarter of a million spans, which as Python dicts would weigh some
// 150 MiB a page, so the piece floor stops the document long before the
// character floor would.
TEST(ExtractDocument, TextInTinyPiecesStopsAtThePieceFloor) {
    auto repeat = [](const std::string& piece, int n) {
        std::string out;
        for (int i = 0; i < n; ++i)
            out += piece;
        return out;
    };
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.object(2, "<< /Type /Pages /Kids [10 0 R 11 0 R 12 0 R 13 0 R] >>");
    const std::string resources = "<< /XObject << /A 3 0 R /B 4 0 R >> >>";
    b.stream(3, "/Subtype /Form /Resources " + resources, repeat("/B Do ", 250));
    b.stream(4, "/Subtype /Form", "BT (abcd) Tj ET");
    b.stream(5, "", repeat("/A Do ", 1000));
    for (std::uint32_t i = 10; i < 14; ++i)
        b.object(i, "<< /Type /Page /Contents 5 0 R /Resources " + resources + " >>");
    auto doc = open_bytes(b.build());
    ASSERT_NE(doc, nullptr);
    std::size_t delivered = 0;
    auto cut = extract::extract_doc_each(*doc, {}, [&](PageResult&&) {
        ++delivered;
        return true;
    });
    ASSERT_FALSE(cut.ok());
    EXPECT_EQ(cut.error().display(), "document exceeds extraction limits");
    EXPECT_LT(delivered, 4U);
}

TEST(ExtractDocument, MissingFileCannotBeOpened) {
    auto result = extract::extract("/nonexistent/quarvel/missing.pdf", {});
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().display(), "cannot open file");
}

struct ManyCase {
    std::size_t files;
    bool file_parallel;
    bool page_parallel;
};

class ExtractMany : public ::testing::TestWithParam<ManyCase> {};

TEST_P(ExtractMany, EachEntryIsWhatExtractGives) {
    const ManyCase& c = GetParam();
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < c.files; ++i) {
        // The third file is missing; the fifth repeats the first.
        if (i == 2) {
            paths.push_back("/nonexistent/quarvel/file.pdf");
        } else if (i == 4) {
            paths.push_back(paths[0]);
        } else {
            paths.push_back(write_temp_file(numbered_pages(i % 3 + 1)));
        }
    }
    ExtractOptions options;
    options.file_parallel = c.file_parallel;
    options.page_parallel = c.page_parallel;
    options.batch_size = 2;

    auto outcomes = extract::extract_many(paths, options);
    ASSERT_EQ(outcomes.size(), paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        EXPECT_EQ(outcomes[i].first, paths[i]);
        auto alone = extract::extract(paths[i], options);
        ASSERT_EQ(outcomes[i].second.ok(), alone.ok()) << i;
        if (!alone.ok()) {
            EXPECT_EQ(outcomes[i].second.error().display(), "cannot open file");
            continue;
        }
        EXPECT_EQ(dump(*outcomes[i].second), dump(*alone)) << i;
        EXPECT_EQ(outcomes[i].second->pages.size(), i == 4 ? 1u : i % 3 + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, ExtractMany,
                         ::testing::Values(ManyCase{0, true, false}, ManyCase{1, true, true},
                                           ManyCase{2, false, true}, ManyCase{7, true, false},
                                           ManyCase{8, true, false}, ManyCase{8, true, true},
                                           ManyCase{8, false, true}, ManyCase{12, true, true}));

TEST(ExtractMany, LargestFilesFirstUnknownSizesLastTiesInInputOrder) {
    const std::string small = write_temp_file(numbered_pages(1));
    const std::string big = write_temp_file(numbered_pages(5));
    const std::string missing = "/nonexistent/quarvel/file.pdf";
    EXPECT_EQ(extract::largest_first({missing, small, big, small, missing, big}),
              (std::vector<std::size_t>{2, 5, 1, 3, 0, 4}));
}

// A batch stopped by its sink, or by an exception from it, returns only once
// the files already started are done: the tasks use what the call owns.
TEST(ExtractMany, StoppedBatchDeliversNothingMoreAndLeavesNoTaskBehind) {
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < 24; ++i) paths.push_back(write_temp_file(numbered_pages(i % 4 + 1)));
    ExtractOptions options;
    options.file_parallel = true;
    for (int round = 0; round < 5; ++round) {
        std::size_t delivered = 0;
        auto status = extract::extract_many_each(paths, options, [&](std::size_t, auto&&) {
            ++delivered;
            return false;
        });
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error().display(), extract::sink_stopped_error().display());
        EXPECT_EQ(delivered, 1u);
        EXPECT_THROW((void)extract::extract_many_each(paths, options,
                                                      [](std::size_t, auto&&) -> bool {
                                                          throw std::runtime_error("sink");
                                                      }),
                     std::runtime_error);
    }
    std::vector<bool> seen(paths.size());
    ASSERT_TRUE(extract::extract_many_each(paths, options, [&](std::size_t i, auto&& result) {
                    EXPECT_FALSE(seen[i]) << i;
                    seen[i] = result.ok();
                    return true;
                }).ok());
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 24);
}

TEST(ExtractCorpus, EveryFileExtractsTheSameWayEachRoute) {
    const std::filesystem::path dir = QUARVEL_CORPUS_DIR;
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no corpus at " << dir;
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() == ".pdf") paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end());
    ExtractOptions serial;
    serial.page_parallel = false;
    serial.include_images = true;
    ExtractOptions parallel = serial;
    parallel.page_parallel = true;
    parallel.batch_size = 7;
    parallel.file_parallel = true;
    auto many = extract::extract_many(paths, parallel);
    ASSERT_EQ(many.size(), paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        auto one = extract::extract(paths[i], serial);
        ASSERT_EQ(one.ok(), many[i].second.ok()) << paths[i];
        if (one.ok()) {
            EXPECT_TRUE(dump(*one) == dump(*many[i].second)) << paths[i];
        }
    }
}

// The full reader is called from many Python threads at once, each call on
// its own document or on the same file, pages on the shared pool.
TEST(ExtractFull, ConcurrentCallsGiveWhatSequentialCallsGive) {
    std::vector<std::string> paths;
    for (int i = 0; i < 4; ++i) paths.push_back(write_temp_file(numbered_pages(i + 2)));
    ExtractOptions options;
    options.read = ReadOptions::full_reader();
    std::vector<std::string> expected;
    for (const std::string& path : paths) {
        auto result = extract::extract(path, options);
        ASSERT_TRUE(result.ok());
        expected.push_back(dump(*result));
    }
    std::vector<std::string> got(paths.size() * 3);
    {
        std::vector<std::jthread> threads;
        for (std::size_t t = 0; t < got.size(); ++t) {
            threads.emplace_back([&, t] {
                auto result = extract::extract(paths[t % paths.size()], options);
                if (result.ok()) got[t] = dump(*result);
            });
        }
    }
    for (std::size_t t = 0; t < got.size(); ++t) EXPECT_EQ(got[t], expected[t % paths.size()]) << t;
}

// The calling thread's own work runs once, on that thread, before it takes
// the first page, with workers or without; if it throws, the workers stop
// and the call ends with that exception rather than waiting on them.
TEST(ExtractDocument, MeanwhileRunsOnceBeforeTheFirstPage) {
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    std::string kids;
    for (std::uint32_t i = 10; i < 22; ++i)
        kids += std::to_string(i) + " 0 R ";
    b.object(2, "<< /Type /Pages /Kids [" + kids + "] >>");
    b.object(3, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
    b.stream(4, "", "BT /F1 12 Tf 72 700 Td (page text) Tj ET");
    for (std::uint32_t i = 10; i < 22; ++i)
        b.object(i, "<< /Type /Page /Contents 4 0 R /Resources << /Font << /F1 3 0 R >> >> >>");
    auto doc = open_bytes(b.build());
    ASSERT_NE(doc, nullptr);
    for (const bool parallel : {false, true}) {
        SCOPED_TRACE(parallel);
        ExtractOptions options;
        options.page_parallel = parallel;
        int calls = 0;
        std::size_t pages_before = 99;
        std::size_t delivered = 0;
        const std::thread::id caller = std::this_thread::get_id();
        options.meanwhile = [&] {
            ++calls;
            pages_before = delivered;
            EXPECT_EQ(std::this_thread::get_id(), caller);
        };
        auto done = extract::extract_doc_each(*doc, options, [&](PageResult&&) {
            ++delivered;
            return true;
        });
        ASSERT_TRUE(done.ok());
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(pages_before, 0U);
        EXPECT_EQ(delivered, 12U);

        options.meanwhile = [] { throw std::bad_alloc(); };
        EXPECT_THROW((void)extract::extract_doc_each(*doc, options, [](PageResult&&) { return true; }),
                     std::bad_alloc);
    }
}

// Pages of large images fill the memory the pipeline lets pages ahead hold
// long before its window of pages: the workers then wait for the taking
// thread, and every page still comes, in order, with its image.
TEST(ExtractDocument, PagesPastTheMemoryAheadStillComeInOrder) {
    constexpr int kPages = 10;
    constexpr std::size_t kSide = 4096; // 16 MiB of grey a page
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    std::string kids;
    for (int i = 0; i < kPages; ++i)
        kids += std::to_string(10 + i) + " 0 R ";
    b.object(2, "<< /Type /Pages /Kids [" + kids + "] >>");
    b.stream(3,
             "/Type /XObject /Subtype /Image /Width 4096 /Height 4096 /ColorSpace /DeviceGray "
             "/BitsPerComponent 8 /Filter /FlateDecode",
             flate(std::string(kSide * kSide, '\0')));
    b.stream(4, "", "q 100 0 0 100 0 0 cm /Im0 Do Q");
    for (int i = 0; i < kPages; ++i)
        b.object(static_cast<std::uint32_t>(10 + i),
                 "<< /Type /Page /Contents 4 0 R /Resources << /XObject << /Im0 3 0 R >> >> >>");
    auto doc = open_bytes(b.build());
    ASSERT_NE(doc, nullptr);
    std::vector<std::size_t> numbers;
    auto done = extract::extract_doc_each(*doc, {}, [&](PageResult&& page) {
        EXPECT_EQ(page.images.size(), 1U);
        if (!page.images.empty()) {
            EXPECT_EQ(page.images[0].image.size(), kSide * kSide);
        }
        numbers.push_back(page.number);
        return true;
    });
    ASSERT_TRUE(done.ok());
    std::vector<std::size_t> in_order(kPages);
    std::iota(in_order.begin(), in_order.end(), std::size_t{0});
    EXPECT_EQ(numbers, in_order);
}

} // namespace
} // namespace quarvel
