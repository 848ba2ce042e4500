// Extraction: one page from page object to laid-out result, and documents
// and lists of files on the worker pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "content/drawing.h"
#include "file/document.h"
#include "extract/image.h"
#include "layout/layout.h"
#include "read_options.h"
#include "resource_limits.h"

namespace quarvel {

struct PageResult;

struct ExtractOptions {
    // Accepted and carried: pages now stream through a window of a few pages
    // a worker (limits::kPagesAheadPerWorker), whatever the batch size.
    std::size_t batch_size = 50;
    bool page_parallel = true;
    bool file_parallel = false;
    bool include_images = true;
    // False lists the images with every fact but their bytes (empty `image`),
    // for callers that count or place images: a batch then holds no image
    // data while its files wait to be taken.
    bool include_image_bytes = true;
    // Full reader: record the page's painted paths in PageResult::drawings.
    bool include_drawings = false;
    // False leaves PageResult::blocks empty and skips the layout, for
    // callers that want only drawings or images.
    bool include_text = true;
    bool gpu = false; // accepted and carried; nothing reads it
    // Which reader opens the documents (see read_options.h).
    ReadOptions read;
    // The 0-based numbers of the pages to extract, in the order given; all
    // pages when empty. A number past the last page fails the call.
    std::optional<std::vector<std::size_t>> pages;
    // Work on each extracted page done by the worker that extracted it,
    // before the page is handed on in order (later stages, such as finding
    // tables, then run on the pool too). Called from several threads at once.
    std::function<void(PageResult&)> on_page;
    // Work of the calling thread's own, done once the workers have started
    // on the pages and before it takes the first: reading what the document
    // holds besides its pages then costs a long document no time. Without
    // workers, done before the first page.
    std::function<void()> meanwhile;
};

struct PageResult {
    std::vector<TextBlock> blocks;
    std::vector<ExtractedImage> images;
    // Painted paths in drawing order, when ExtractOptions::include_drawings.
    std::vector<Drawing> drawings;
    // The 0-based number of the page in the document's page tree.
    std::size_t number = 0;
};

struct ExtractResult {
    std::vector<PageResult> pages;
};

// The decoded data of a stream object; empty bytes for anything else.
Result<std::string> get_stream_data(const PdfObject& object);

// A stream a page decoded: its object number and decoded size. The
// document's budgets count each one once, however many pages draw it.
struct DecodedSource {
    std::uint32_t object = 0;
    std::uint64_t bytes = 0;
};
using DecodedSources = std::vector<DecodedSource>;

// The content bytes of a page from its first /Contents entry (a stream
// reference, or an array of them each followed by a line feed). Streams that
// would take the total past `max_bytes` are left out with all after them.
// Each stream decoded is added to `sources` when given.
Result<std::string> page_content(const PdfObject* contents, const Document& document,
                                 std::size_t max_bytes = limits::kMaxPageContentBytes,
                                 DecodedSources* sources = nullptr);

// The page's XObjects by resource name, forms decoded. A form whose content
// would take the page's decoded form bytes past `max_form_bytes` is kept with
// empty content, so that many names for one decompression bomb stay bounded.
// Forms' fonts come from `fonts` when the page built them already; each form
// decoded is added to `sources` when given.
XObjectMap build_xobject_map(const PdfObject* resources, const Document& document,
                             std::size_t max_form_bytes = limits::kMaxPageContentBytes,
                             FontCache* fonts = nullptr, DecodedSources* sources = nullptr);

Result<PageResult> extract_single_page(const Document& document, std::uint32_t page_num,
                                       std::uint16_t page_gen, std::string_view file_bytes,
                                       const ExtractOptions& options);

namespace extract {

// Takes each page of a document as it is done, on the thread that started
// the extraction, in page order; false stops the extraction (the sink keeps
// its own reason). A sink that only reads the page leaves it in place, and
// page-parallel extraction then frees it on a worker.
using PageSink = std::function<bool(PageResult&&)>;

// The text "document exceeds extraction limits" of the error a document
// fails with when its pages pass the document's budgets.
ParseError document_limit_error();
// The error of a call whose sink returned false.
ParseError sink_stopped_error();

// Streams a document's pages into `sink` while the pool's workers extract
// the next ones, so that no more than a few pages a worker are held at once.
Status extract_doc_each(const Document& document, const ExtractOptions& options,
                        const PageSink& sink);
Status extract_each(const std::string& path, const ExtractOptions& options,
                    const PageSink& sink);

// The same pages collected into one result.
Result<ExtractResult> extract(const std::string& path, const ExtractOptions& options);
Result<ExtractResult> extract_doc(const Document& document, const ExtractOptions& options);

// Takes each file's result of a batch with the file's index in the batch;
// false stops the batch (the sink keeps its own reason).
using FileSink = std::function<bool(std::size_t index, Result<ExtractResult>&&)>;

// Extracts every file of `paths` and hands each result to `sink` on the
// calling thread as soon as it is done, while the pool's workers go on with
// the other files, so that what the caller does with a result overlaps the
// extraction of the rest. Files in parallel (file_parallel and at least 8
// files) are started largest first and come in the order they finish;
// otherwise they come one after the other in input order. Once the sink has
// stopped the batch no file is started, and the call returns the stop error
// only when the files already started are done; an exception thrown by the
// extraction or by the sink leaves the same way.
Status extract_many_each(const std::vector<std::string>& paths, const ExtractOptions& options,
                         const FileSink& sink);

// The same results in input order, each with its path.
std::vector<std::pair<std::string, Result<ExtractResult>>>
extract_many(const std::vector<std::string>& paths, const ExtractOptions& options);

// The indices of `paths` by file size, largest first; files whose size is
// unknown come last, and equal sizes keep their input order. A batch that
// starts its largest files first does not end with one worker on a big file
// while the others wait.
std::vector<std::size_t> largest_first(const std::vector<std::string>& paths);

} // namespace extract
} // namespace quarvel
