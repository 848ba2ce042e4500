#include "extract/links.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/pdf_builder.h"

namespace quarvel {
namespace {

using testing::PdfBuilder;
using testing::simple_document;

// A one-page document whose page carries `annots` as its /Annots value, plus
// the extra objects (numbered from 20) that the annotations refer to.
PdfBuilder page_with_annots(const std::string& annots,
                            const std::vector<std::string>& extra_objects = {}) {
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.object(2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>");
    b.object(3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Annots " + annots + " >>");
    for (std::size_t i = 0; i < extra_objects.size(); ++i) {
        b.object(static_cast<std::uint32_t>(20 + i), extra_objects[i]);
    }
    return b;
}

Result<std::vector<PageLink>> links_of(const PdfBuilder& b) {
    auto doc = Document::from_mmap(Mapping::from_bytes(b.build()));
    if (!doc.ok()) return doc.error();
    return links::extract_links(**doc);
}

std::vector<PageLink> ok_links(const PdfBuilder& b) {
    auto r = links_of(b);
    EXPECT_TRUE(r.ok()) << r.error().display();
    return r.ok() ? *r : std::vector<PageLink>{};
}

TEST(ExtractLinks, DocumentWithoutAnnotationsHasNone) {
    EXPECT_TRUE(ok_links(simple_document({"BT ET", "BT ET"})).empty());
}

TEST(ExtractLinks, UriActionGivesItsTextAndPageIndex) {
    PdfBuilder b;
    b.object(1, "<< /Type /Catalog /Pages 2 0 R >>");
    b.object(2, "<< /Type /Pages /Kids [3 0 R 4 0 R] /Count 2 >>");
    b.object(3, "<< /Type /Page /Parent 2 0 R >>");
    b.object(4, "<< /Type /Page /Parent 2 0 R /Annots [5 0 R 6 0 R] >>");
    b.object(5, "<< /Type /Annot /Subtype /Link /Rect [1 2 3 4] /A << /S /URI /URI (abc) >> >>");
    b.object(6, "<< /Subtype /Link /Rect [5 6 7 8] /A 7 0 R >>");
    b.object(7, "<< /S /URI /URI (https://example.org/x) >>");
    const auto links = ok_links(b);
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[0].uri, "abc");
    EXPECT_EQ(links[0].page, 1u);
    EXPECT_EQ(links[0].bbox, (std::array<double, 4>{1, 2, 3, 4}));
    EXPECT_EQ(links[1].uri, "https://example.org/x");
    EXPECT_EQ(links[1].bbox, (std::array<double, 4>{5, 6, 7, 8}));
}

struct TargetCase {
    const char* name;
    std::string annot; // the annotation dictionary's entries after /Subtype /Link
    std::vector<std::string> expected;
};

class LinkTarget : public ::testing::TestWithParam<TargetCase> {};

TEST_P(LinkTarget, Matches) {
    const auto& c = GetParam();
    const auto links = ok_links(page_with_annots("[<< /Subtype /Link " + c.annot + " >>]"));
    std::vector<std::string> uris;
    for (const auto& l : links)
        uris.push_back(l.uri);
    EXPECT_EQ(uris, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkTarget,
    ::testing::Values(
        TargetCase{"GoToActionFallsBackToWebDest",
                   "/A << /S /GoTo /D [3 0 R /Fit] >> /Dest (https://a.example/)",
                   {"https://a.example/"}},
        TargetCase{"ExplicitDestinationIsInternal", "/Dest [3 0 R /XYZ 0 0 0]", {}},
        TargetCase{"NamedDestinationIsInternal", "/Dest (chapter1)", {}},
        TargetCase{"SchemeIsCaseSensitive", "/Dest (HTTP://a.example/)", {}},
        TargetCase{"BareSchemeIsATarget", "/Dest (http://)", {"http://"}},
        TargetCase{"ShortHttpsPrefixIsNot", "/Dest (https:/)", {}},
        TargetCase{"HexDestDoesNotCount", "/Dest <687474703a2f2f612e6578616d706c65>", {}},
        TargetCase{"HexUriIsDecoded", "/A << /S /URI /URI <61 62 6> >>", {"ab`"}},
        TargetCase{"EmptyUriIsATarget", "/A << /S /URI /URI () >>", {""}},
        TargetCase{"EscapesAreDecoded",
                   "/A << /S /URI /URI (w/R_\\(x\\)\\\\\\q\\101\\0631\\\n2\\t\r\nz) >>",
                   {"w/R_(x)\\qA312\t\nz"}},
        TargetCase{"EscapedDestIsAWebAddress", "/Dest (http:\\/\\/a\\(1\\))", {"http://a(1)"}},
        TargetCase{"UriMustBeAString", "/A << /S /URI /URI /abc >>", {}},
        TargetCase{"UriActionWinsOverDest",
                   "/A << /S /URI /URI (https://a/) >> /Dest (https://b/)",
                   {"https://a/"}},
        TargetCase{"NonUriActionWithoutDest", "/A << /S /Launch /F (x.exe) >>", {}},
        TargetCase{"ActionWithoutTypeFallsBack",
                   "/A << /URI (https://a/) >> /Dest (http://b)",
                   {"http://b"}},
        TargetCase{"InvalidUtf8BecomesReplacement",
                   "/A << /S /URI /URI (a\xff"
                   "b\\342\\202) >>",
                   {"a\xef\xbf\xbd"
                    "b\xef\xbf\xbd"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct RectCase {
    const char* name;
    std::string rect;
    std::array<double, 4> expected;
};

class LinkRect : public ::testing::TestWithParam<RectCase> {};

TEST_P(LinkRect, Matches) {
    const auto& c = GetParam();
    const auto links = ok_links(page_with_annots(
        "[<< /Subtype /Link " + c.rect + " /A << /S /URI /URI (u) >> >>]", {"[1 2 3 4]"}));
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].bbox, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinkRect,
    ::testing::Values(RectCase{"TooFewNumbers", "/Rect [10 20.5 30]", {0, 0, 0, 0}},
                      RectCase{"NonNumbersDropped", "/Rect [10 (a) 20 30 40]", {10, 20, 30, 40}},
                      RectCase{"NotNormalised", "/Rect [50 60 10 20]", {50, 60, 10, 20}},
                      RectCase{"FirstFourOfMore", "/Rect [1 2 3 4 5]", {1, 2, 3, 4}},
                      RectCase{"ReferenceNotResolved", "/Rect 20 0 R", {0, 0, 0, 0}},
                      RectCase{"Missing", "", {0, 0, 0, 0}},
                      RectCase{"Reals", "/Rect [-1.5 .25 3 4.0]", {-1.5, 0.25, 3, 4}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExtractLinks, SkipsWhatIsNotALinkAnnotation) {
    const auto links =
        ok_links(page_with_annots("[<< /Subtype /Text /A << /S /URI /URI (t) >> >> "
                                  "<< /A << /S /URI /URI (no-subtype) >> >> "
                                  "<< /Subtype (Link) /A << /S /URI /URI (string-subtype) >> >> "
                                  "42 null [<< /Subtype /Link >>] "
                                  "<< /Subtype /Link /A << /S /URI /URI (kept) >> >>]"));
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].uri, "kept");
}

TEST(ExtractLinks, AnnotsThroughReference) {
    EXPECT_EQ(
        ok_links(page_with_annots("20 0 R", {"[<< /Subtype /Link /Dest (http://x) >>]"})).size(),
        1u);
    // A referenced /Annots that is not an array gives the page no links.
    EXPECT_TRUE(
        ok_links(page_with_annots("20 0 R", {"<< /Subtype /Link /Dest (http://x) >>"})).empty());
    EXPECT_TRUE(ok_links(page_with_annots("<< /Subtype /Link /Dest (http://x) >>")).empty());
}

TEST(ExtractLinks, DanglingActionDropsOnlyThatAnnotation) {
    const auto links =
        ok_links(page_with_annots("[<< /Subtype /Link /A 99 0 R /Dest (https://dest/) >> "
                                  "<< /Subtype /Link /A << /S /URI /URI (next) >> >>]"));
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].uri, "next");
}

TEST(ExtractLinks, DanglingAnnotationOrAnnotsFailsTheCall) {
    for (const char* annots : {"[99 0 R]", "99 0 R"}) {
        auto r = links_of(page_with_annots(annots));
        ASSERT_FALSE(r.ok()) << annots;
        EXPECT_EQ(r.error().display(), "object not in xref");
    }
}

} // namespace
} // namespace quarvel
