#include "markdown/markdown.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quarvel::markdown {
namespace {

using docinfo::OutlineEntry;
namespace flags = span_flags;

// Pages written by hand: a line is one span at (x, top) of `size`, as wide
// as its characters at half the size each.
TextLine line(const std::string& text, double x, double top, double size = 10,
              std::uint32_t style = 0) {
    TextSpan span;
    span.text = text;
    span.size = size;
    span.flags = style;
    span.bbox = {x, top - size, x + 0.5 * size * static_cast<double>(text.size()), top};
    TextLine l;
    l.bbox = span.bbox;
    l.spans.push_back(span);
    return l;
}

TextBlock block(std::vector<TextLine> lines) {
    TextBlock b;
    b.lines = std::move(lines);
    b.bbox = b.lines.front().bbox;
    for (const TextLine& l : b.lines) {
        b.bbox = {std::min(b.bbox[0], l.bbox[0]), std::min(b.bbox[1], l.bbox[1]),
                  std::max(b.bbox[2], l.bbox[2]), std::max(b.bbox[3], l.bbox[3])};
    }
    return b;
}

// A paragraph of `n` body lines from `top` down.
TextBlock body(const std::string& first, double top, int n = 3) {
    std::vector<TextLine> lines;
    for (int i = 0; i < n; ++i)
        lines.push_back(line(i == 0 ? first : "more words of the running text here", 72,
                             top - 12 * i));
    lines.back().spans.back().text += ".";
    return block(std::move(lines));
}

PageInput page(std::size_t number, std::vector<TextBlock> blocks) {
    PageInput p;
    p.number = number;
    p.blocks = std::move(blocks);
    return p;
}

std::vector<PageMarkdown> run(const std::vector<PageInput>& pages,
                              const std::vector<OutlineEntry>& outline = {},
                              Options options = {}) {
    return pages_to_markdown(pages, outline, std::nullopt, options);
}

std::string text_of(const std::vector<PageInput>& pages, Options options = {}) {
    return join_pages(run(pages, {}, options));
}

TEST(MarkdownHeadings, SizeRankWeightAndNumberingGiveLevels) {
    const std::string md = text_of({page(0, {
        block({line("A Title", 72, 760, 20)}),
        block({line("1 Introduction", 72, 720, 14)}),
        body("Body text starts here", 700),
        block({line("1.1 Background", 72, 650, 12)}),
        body("Body text again", 630),
        block({line("Bold Apart", 72, 580, 10, flags::kBold)}),
        body("Body text under bold", 565),
        block({line("2.3 Numbered Results", 72, 510)}),
        body("Body text after the number", 495),
        block({line("3 CAPITALS", 72, 485), line("Body text under capitals.", 72, 473)}),
        // A contents entry looks numbered and stands alone.
        block({line("1.2 Sample Output . . . . . . 10", 72, 470)}),
        // An italic numbered line alone is a subsection; one opening a
        // paragraph is not.
        block({line("A. Italic Alone", 72, 462, 10, flags::kItalic)}),
        block({line("B. Italic Opening", 72, 452, 10, flags::kItalic),
               line("body text under it.", 72, 446)}),
        // Larger text of many lines is a passage, not a heading.
        block({line("Big one", 72, 440, 14), line("big two", 72, 424, 14),
               line("big three", 72, 408, 14), line("big four", 72, 392, 14)}),
    })});
    EXPECT_NE(md.find("# A Title\n"), std::string::npos) << md;
    EXPECT_NE(md.find("\n## 1 Introduction\n"), std::string::npos) << md;
    EXPECT_NE(md.find("\n### 1.1 Background\n"), std::string::npos) << md;
    EXPECT_NE(md.find("\n#### Bold Apart\n"), std::string::npos) << md;
    EXPECT_NE(md.find("\n##### 2.3 Numbered Results\n"), std::string::npos) << md;
    EXPECT_NE(md.find("\n#### 3 CAPITALS\n"), std::string::npos) << md;
    EXPECT_NE(md.find("\nBig one big two big three big four"), std::string::npos) << md;
    EXPECT_NE(md.find("\n1.2 Sample Output . . . . . . 10\n"), std::string::npos) << md;
    EXPECT_NE(md.find("\n##### A. Italic Alone\n"), std::string::npos) << md;
    EXPECT_EQ(md.find("# B. Italic Opening"), std::string::npos) << md;
}

TEST(MarkdownHeadings, TitlesNeedTwoLettersOrAnIdeograph) {
    // A figure's label, a number and a symbol set large or bold stand alone
    // without being titles; a short word or one ideograph is one.
    const std::string md = text_of({page(0, {
        body("Body text first", 760),
        block({line("T", 72, 700, 16)}),
        block({line("68", 72, 670, 16)}),
        block({line("\xe2\x84\xa2 \xe2\x88\xbc", 72, 640, 10, flags::kBold)}),
        body("Body text in between", 620),
        block({line("Go", 72, 570, 16)}),
        body("Body text after", 550),
        block({line("\xe5\xba\x8f", 72, 500, 16)}),
        body("Body text last", 480),
    })});
    EXPECT_EQ(md.find("# T"), std::string::npos) << md;
    EXPECT_EQ(md.find("# 68"), std::string::npos) << md;
    EXPECT_EQ(md.find("# \xe2\x84\xa2"), std::string::npos) << md;
    EXPECT_NE(md.find("\n# Go\n"), std::string::npos) << md;
    EXPECT_NE(md.find("\n# \xe5\xba\x8f\n"), std::string::npos) << md;
}

TEST(MarkdownHeadings, SmallCapitalsKeepTheirNumbersSize) {
    TextLine heading = line("2.1 T", 72, 700);
    TextSpan rest = heading.spans[0];
    rest.text = "OKENIZER";
    rest.size = 8;
    rest.bbox = {97, 692, 137, 700};
    heading.spans.push_back(rest);
    const std::string md =
        text_of({page(0, {body("Body text first", 760), block({heading}), body("Body", 680)})});
    EXPECT_NE(md.find("\n## 2.1 TOKENIZER\n"), std::string::npos) << md;
}

TEST(MarkdownHeadings, OutlineLevelsWinAndCarryToTheirSize) {
    const std::vector<PageInput> pages = {page(0, {
        block({line("Chapter One", 72, 760, 14)}),
        body("Body text", 740),
        block({line("Chapter Two", 72, 680, 14)}),
        body("Body text", 660),
        block({line("3 Appendix", 72, 600, 10)}),
        body("Body text", 580),
    })};
    const std::vector<OutlineEntry> outline = {
        {1, "Chapter One", 0, 760.0, std::nullopt},
        // The outline names the section without its number.
        {2, "Appendix", 0, std::nullopt, std::nullopt},
    };
    Options options;
    const std::string md = join_pages(run(pages, outline, options));
    EXPECT_NE(md.find("# Chapter One\n"), std::string::npos) << md;
    // Not in the outline, but set at the size the outline calls level 1.
    EXPECT_NE(md.find("\n# Chapter Two\n"), std::string::npos) << md;
    EXPECT_NE(md.find("\n## 3 Appendix\n"), std::string::npos) << md;
}

// Four pages with a running title, a footer line and page numbers that count
// the pages from 5.
std::vector<PageInput> running_pages() {
    std::vector<PageInput> pages;
    for (std::size_t p = 0; p < 4; ++p) {
        pages.push_back(page(p, {
            block({line("Journal of Tests", 72, 780, 8)}),
            body(std::string("Page body ") + "wxyz"[p], 700),
            // A chapter's title at the top of its page is not a running header.
            block({line("Chapter " + std::to_string(p + 1), 72, 740, 14)}),
            block({line("Printed in 20" + std::to_string(10 + p), 72, 60, 8)}),
            block({line(std::to_string(p + 5), 300, 40, 8)}),
        }));
    }
    return pages;
}

TEST(MarkdownRunningLines, HeadersFootersAndPageNumbersLeftOutUnlessAsked) {
    const std::string md = text_of(running_pages());
    EXPECT_EQ(md.find("Journal"), std::string::npos) << md;
    EXPECT_EQ(md.find("Printed"), std::string::npos) << md;
    EXPECT_EQ(md.find("\n5\n"), std::string::npos) << md;
    EXPECT_NE(md.find("Page body z"), std::string::npos) << md;
    EXPECT_NE(md.find("# Chapter 4"), std::string::npos) << md;
    Options keep;
    keep.headers_footers = true;
    const std::string kept = text_of(running_pages(), keep);
    EXPECT_NE(kept.find("Journal of Tests"), std::string::npos);
    EXPECT_NE(kept.find("Printed in 2013"), std::string::npos);
    EXPECT_NE(kept.find("\n\n8"), std::string::npos) << kept;
}

TEST(MarkdownRunningLines, NumbersRepeatedOnOnePageAreNotPageNumbers) {
    // A chart's axis: "8" at the top and at the bottom of a single page.
    const std::string md = text_of({page(0, {block({line("8", 72, 700)}), body("Caption", 650),
                                             block({line("8", 72, 100)})})});
    EXPECT_EQ(md.find("8\n"), 0u) << md;
    EXPECT_NE(md.rfind("\n8\n"), std::string::npos) << md;
}

TEST(MarkdownParagraphs, JoinedAcrossLinesColumnsAndPages) {
    const std::vector<PageInput> pages = {
        page(0, {block({line("The first paragraph runs", 72, 700),
                        line("over two lines and stops at the", 72, 688)}),
                 // The right column carries on the sentence.
                 block({line("column end and ends here.", 320, 700)}),
                 block({line("A last line cut by the page and its hyph-", 320, 500)})}),
        page(1, {block({line("enated word goes on.", 72, 700)})}),
    };
    const std::string md = text_of(pages);
    EXPECT_EQ(md, "The first paragraph runs over two lines and stops at the column end and "
                  "ends here.\n\nA last line cut by the page and its hyphenated word goes on.\n");
    // A note at the column's foot goes after the paragraph it cut; a mark
    // in small print is no note and stays.
    const std::string note = "Permission to copy is granted if copies are not sold.";
    const std::string run = "words of the running text that fill the column";
    EXPECT_EQ(text_of({page(0, {block({line(run, 72, 700), line("and stop at the", 72, 688)}),
                                block({line(note, 72, 120, 7)}),
                                block({line("column end and " + run + ".", 320, 700)})})}),
              run + " and stop at the column end and " + run + ".\n\n" + note + "\n");
    EXPECT_EQ(text_of({page(0, {block({line(run, 72, 700), line("and stop at the", 72, 688)}),
                                block({line("1", 72, 120, 7)}),
                                block({line("column end and " + run + ".", 320, 700)})})}),
              run + " and stop at the\n\n1 column end and " + run + ".\n");
    // Contents entries keep a line each.
    EXPECT_EQ(text_of({page(0, {block({line("1 Start . . . . 3", 72, 700),
                                        line("2 more . . . . 9", 72, 688)})})}),
              "1 Start . . . . 3\n\n2 more . . . . 9\n");
}

TEST(MarkdownLists, BulletsNumbersNestingAndHangingLines) {
    const std::string md = text_of({page(0, {
        body("Before the list", 760, 1),
        block({line("\xe2\x80\xa2 first item that wraps", 72, 720),
               line("onto a hanging line", 84, 708),
               line("\xe2\x80\x93 nested item", 90, 696),
               line("\xe2\x80\xa2 second item", 72, 684)}),
        block({line("1. one", 72, 650), line("2. two", 72, 638), line("a) letter", 90, 626)}),
        // A number at the start of a wrapped line of running text.
        block({line("The year was", 72, 580), line("2. The end.", 72, 568)}),
    })});
    EXPECT_NE(md.find("- first item that wraps onto a hanging line\n  - nested item\n"
                      "- second item\n"),
              std::string::npos)
        << md;
    EXPECT_NE(md.find("1. one\n2. two\n   - a) letter\n"), std::string::npos) << md;
    EXPECT_NE(md.find("The year was 2. The end."), std::string::npos) << md;
}

TEST(MarkdownCode, MonospacedRunsFencedWithIndentation) {
    const std::uint32_t mono = flags::kMonospaced;
    const std::string md = text_of({page(0, {
        body("Run this", 760, 1),
        block({line("def main():", 72, 720, 10, mono), line("return 0", 92, 708, 10, mono)}),
        block({line("main()", 72, 680, 10, mono)}),
        body("After the code", 640, 1),
    })});
    EXPECT_NE(md.find("```\ndef main():\n    return 0\n\nmain()\n```\n"), std::string::npos)
        << md;
}

TEST(MarkdownInline, StylesAndLinksInPlace) {
    TextLine l = line("Read ", 72, 700);
    TextSpan bold = l.spans[0];
    bold.text = "this";
    bold.flags = flags::kBold;
    bold.bbox = {100, 690, 120, 700};
    TextSpan code = bold;
    code.text = "x()";
    code.flags = flags::kMonospaced;
    code.bbox = {125, 690, 140, 700};
    TextSpan link = bold;
    link.text = "site";
    link.flags = flags::kItalic;
    link.bbox = {145, 690, 165, 700};
    l.spans.push_back(bold);
    l.spans.push_back(code);
    l.spans.push_back(link);
    PageInput p = page(0, {block({l})});
    p.links.push_back({.uri = "https://example.org", .bbox = {144, 688, 166, 702}});
    const auto pages = run({p});
    EXPECT_EQ(pages[0].text, "Read **this** `x()` [_site_](https://example.org)");
    EXPECT_EQ(pages[0].links, std::vector<std::string>{"https://example.org"});

    // A style that changes inside a word is left unmarked: markup there
    // would split the word in two for every reader of the Markdown.
    TextLine word = line("Geo", 72, 700);
    TextSpan rest = word.spans[0];
    rest.text = "Topo done";
    rest.flags = flags::kBold;
    rest.bbox = {88, 690, 130, 700};
    word.spans.push_back(rest);
    EXPECT_EQ(run({page(0, {block({word})})})[0].text, "GeoTopo done");
}

TEST(MarkdownChunks, SectionPathTablesAndImages) {
    PageInput first = page(0, {block({line("Guide", 72, 760, 20)}),
                               block({line("Setup", 72, 720, 14)}), body("Text", 700)});
    PageInput second = page(1, {body("Still setup", 700),
                                block({line("Use", 72, 600, 14)}),
                                block({line("cell a  cell b", 72, 560)}), body("Text", 500)});
    second.tables.push_back({{60, 540, 300, 575}, "| a | b |\n|---|---|"});
    ExtractedImage image;
    image.bbox = {72, 650, 200, 690};
    second.images.push_back(image);
    const auto pages = run({first, second});
    // The headings in force where the page's text begins.
    EXPECT_EQ(pages[0].headings, (std::vector<std::string>{"Guide", "Setup"}));
    EXPECT_EQ(pages[1].headings, (std::vector<std::string>{"Guide", "Setup"}));
    EXPECT_EQ(pages[1].tables, 1u);
    EXPECT_EQ(pages[1].images, 1u);
    EXPECT_NE(pages[1].text.find("![](page-1-image-0)\n\n## Use\n\n| a | b |\n|---|---|\n\nText"),
              std::string::npos)
        << pages[1].text;
    EXPECT_EQ(pages[1].text.find("cell a"), std::string::npos);
}

TEST(MarkdownLimits, ListDepthAndPlacedLinksStopAtTheirLimits) {
    std::vector<TextLine> lines;
    for (std::size_t d = 0; d <= limits::kMaxListDepth + 1; ++d)
        lines.push_back(line("- item", 72 + 10.0 * static_cast<double>(d), 700 - 12.0 * d));
    const std::string md = text_of({page(0, {block(lines)})});
    const std::string deepest((limits::kMaxListDepth - 1) * 2, ' ');
    EXPECT_NE(md.find("\n" + deepest + "- item\n" + deepest + "- item\n"), std::string::npos)
        << md;
    EXPECT_EQ(md.find("\n" + deepest + "  - item"), std::string::npos) << md;

    PageInput p = page(0, {block({line("linked", 72, 700)})});
    for (std::size_t k = 0; k <= limits::kMaxPlacedLinksPerPage; ++k)
        p.links.push_back({.uri = "https://example.org/" + std::to_string(k), .bbox = {0, 0, 1, 1}});
    p.links.back().bbox = {0, 0, 1000, 1000};
    const auto past = run({p});
    EXPECT_EQ(past[0].text, "linked");
    EXPECT_EQ(past[0].links.size(), limits::kMaxPlacedLinksPerPage + 1);
    p.links[limits::kMaxPlacedLinksPerPage - 1].bbox = {0, 0, 1000, 1000};
    EXPECT_NE(run({p})[0].text.find("[linked]"), std::string::npos);
}

} // namespace
} // namespace quarvel::markdown
