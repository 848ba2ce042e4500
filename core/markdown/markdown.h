// Markdown: a document's laid-out pages as GitHub-flavoured Markdown with
// headings, paragraphs joined across lines, columns and pages, lists, fenced
// code, inline styles, links in place, and running headers and footers left
// out. Reads only what the layout, the link reader and the outline produced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "docinfo/outline.h"
#include "extract/extract.h"
#include "extract/links.h"
#include "layout/layout.h"

namespace quarvel::markdown {

// A line whose main size is at least this many times the body size is set
// larger than the text: on papers a section head is 1.2 times the body or
// more, while footnotes, captions and sub- and superscripts are smaller and
// the body's own sizes differ by less than a tenth.
inline constexpr double kHeadingSizeRatio = 1.15;
// A heading is a title, not a passage: more lines or characters than these
// make larger text a pull quote, an abstract or a title page's blurb.
inline constexpr std::size_t kMaxHeadingLines = 3;
inline constexpr std::size_t kMaxHeadingChars = 200;
// Sizes of headings within this share of the body size are one level.
inline constexpr double kHeadingSizeTolerance = 0.06;
// Running headers and footers are looked for among this many lines at the
// top and at the bottom of each page.
inline constexpr std::size_t kRunningLinesEachEnd = 2;
// Text at the top or bottom of a page is a running header or footer when it
// comes back, its digits aside, at about the same height (within this many
// body sizes) on at least this share of the pages and this many pages:
// reports alternate two headers, each on half the pages.
inline constexpr double kRunningYTolerance = 1.5;
inline constexpr double kRunningMinShare = 0.3;
inline constexpr std::size_t kRunningMinPages = 3;
// A list item's following lines are its own while they start this many body
// sizes right of its marker (the hanging indent); a nested list's marker
// sits at least as far right of its parent's.
inline constexpr double kHangingIndent = 0.3;
// A gap between two spans of a line wider than this share of the font size
// is a word space made by moving the pen (as in the layout).
inline constexpr double kSpanWordGap = 0.15;
// Monospaced text is this wide per character, as a share of its size, when
// its spans give no better measure: code keeps its indentation in spaces.
inline constexpr double kMonospaceAdvance = 0.6;
// A paragraph cut at a column's foot goes on past at most this many blocks
// of smaller text (footnotes, a copyright notice) set between its parts.
inline constexpr std::size_t kMaxHeldFootnotes = 3;
inline constexpr std::size_t kMinFootnoteChars = 40;

enum class ImageMode {
    Placeholder, // ![](page-P-image-N) where the image is
    Omit,        // left out
    Files,       // ![](PREFIX/page-P-image-N.EXT), EXT by image_file_suffix: the caller writes the files
};

struct Options {
    ImageMode images = ImageMode::Placeholder;
    // The folder prefix of image links in ImageMode::Files.
    std::string image_prefix;
    // Keep the running headers, footers and page numbers.
    bool headers_footers = false;
    // Which pages, as in ExtractOptions::pages.
    std::optional<std::vector<std::size_t>> pages;
    ReadOptions read;
};

// A table another stage found on the page: the region it covers and its
// Markdown. The lines inside the region are replaced by the Markdown, put
// where the first of them was.
struct PageTable {
    BBox bbox{};
    std::string markdown;
};

// What the Markdown pass takes from one page.
struct PageInput {
    std::size_t number = 0; // 0-based, in the page tree
    std::vector<TextBlock> blocks;
    std::vector<PageLink> links;
    std::vector<ExtractedImage> images; // the bytes may be empty: only bbox and ext are read
    std::vector<PageTable> tables;
};

struct Heading {
    int level = 1; // 1..6
    std::string text;
};

struct PageMarkdown {
    std::size_t number = 0;
    std::string label;
    std::string text;
    // The section titles the page's first line sits under, outermost first.
    std::vector<std::string> headings;
    std::size_t tables = 0;
    std::size_t images = 0;
    std::vector<std::string> links; // each page link's URI once, in page order

    // For joining pages: the headings set on this page, in order, how many
    // of them come before any other text, whether the page ends inside a
    // paragraph and whether it starts with the rest of one.
    std::vector<Heading> page_headings;
    std::size_t leading_headings = 0;
    bool ends_open = false;
    bool starts_continuation = false;
};

// The file type `quarvel images` and `quarvel markdown --images` write an
// image as: "jpg" and "jp2" as stored, "png" for 8-bit grey and RGB samples
// of the full size, else "bin" (with a JSON sidecar).
std::string image_file_suffix(const ExtractedImage& image);

// The pages joined into one document: a blank line between pages, or a
// space where a paragraph goes on over the break (a hyphen there joins the
// word).
std::string join_pages(const std::vector<PageMarkdown>& pages);

// Each page's `headings` from the headings the pages before it set.
void fill_section_paths(std::vector<PageMarkdown>& pages);


// Every pass over pages already laid out: the document-wide statistics, then
// each page on the worker pool.
std::vector<PageMarkdown> pages_to_markdown(const std::vector<PageInput>& pages,
                                            const std::vector<docinfo::OutlineEntry>& outline,
                                            const std::optional<std::vector<std::string>>& labels,
                                            const Options& options);

// Opens and lays out the document, then pages_to_markdown.
Result<std::vector<PageMarkdown>> document_to_markdown(const Document& document,
                                                       const Options& options);
Result<std::vector<PageMarkdown>> to_markdown(const std::string& path, const Options& options);

} // namespace quarvel::markdown
