// The Markdown pass over arbitrary laid-out pages: the input is read as a
// sequence of spans, each four 16-bit coordinates (scaled to a page, with a
// few codes standing for NaN and the infinities), a size, style bits, a byte
// saying where the span starts (a new line, block or page; a link over it)
// and a word from a vocabulary of the tokens the heuristics look for. The
// first byte, when odd, adds outline entries pointing at the first pages.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "markdown/markdown.h"

namespace {

using quarvel::fuzz::coordinate;

constexpr const char* kWords[] = {
    "word",  "Chapter 1", "2.3 Results", "IV. Title", "- ",  "* ",   "1. ",      "a) ",
    "(iv) ", "\xe2\x80\xa2 item", "#",  "```",       "12",  "Page 3 of 9", "end.", "hyph-",
    "enated", "x", "", " ", "\xef\xbf\xbd", "[a](b)", "|", "`code`", "**", "_", "- 7 -",
    "ii", "A.1 Proofs", "Introduction", "http://e.org", "\n"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kRecord = 12;
    using namespace quarvel;
    std::vector<markdown::PageInput> pages(1);
    std::vector<docinfo::OutlineEntry> outline;
    if (size > 0 && (data[0] & 1) != 0) {
        outline.push_back({1, "Introduction", 0, 700.0, std::nullopt});
        outline.push_back({9, "2.3 Results", 1, std::nullopt, std::nullopt});
        outline.push_back({-3, "Chapter 1", 5, std::nullopt, std::nullopt});
    }
    for (std::size_t off = 1; off + kRecord <= size; off += kRecord) {
        const std::uint8_t* p = data + off;
        const std::uint8_t where = p[10];
        if ((where & 4) != 0 && pages.size() < 64) {
            pages.emplace_back();
            pages.back().number = pages.size() - 1;
        }
        markdown::PageInput& page = pages.back();
        if ((where & 2) != 0 || page.blocks.empty()) page.blocks.emplace_back();
        TextBlock& block = page.blocks.back();
        if ((where & 1) != 0 || block.lines.empty()) block.lines.emplace_back();
        TextLine& line = block.lines.back();
        TextSpan span;
        span.bbox = {coordinate(p), coordinate(p + 2), coordinate(p + 4), coordinate(p + 6)};
        span.size = static_cast<double>(p[8]) / 4.0;
        span.flags = p[9] & 0x3F;
        span.text = kWords[p[11] % std::size(kWords)];
        line.bbox = span.bbox;
        block.bbox = span.bbox;
        if ((where & 8) != 0) page.links.push_back({.uri = "https://e.org/", .bbox = span.bbox});
        if ((where & 16) != 0) {
            ExtractedImage image;
            image.bbox = span.bbox;
            page.images.push_back(image);
        }
        if ((where & 32) != 0) page.tables.push_back({span.bbox, "| t |\n|---|"});
        line.spans.push_back(std::move(span));
    }
    markdown::Options options;
    options.headers_footers = size > 1 && (data[1] & 1) != 0;
    auto result = markdown::pages_to_markdown(pages, outline, std::nullopt, options);
    const std::string joined = markdown::join_pages(result);
    (void)joined;
    return 0;
}
