// The whole document from memory by the full reader, end to end: open
// (every cross-reference form, recovery, encryption with the empty
// password), every page with its images and drawings, one page at a time
// and through the document driver, then links.
#include <cstddef>
#include <cstdint>
#include <string>

#include "extract/extract.h"
#include "extract/links.h"
#include "file/document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto doc = quarvel::Document::from_mmap(
        quarvel::Mapping::from_bytes(std::string(reinterpret_cast<const char*>(data), size)),
        quarvel::ReadOptions::full_reader());
    if (!doc.ok()) return 0;
    const quarvel::Document& document = **doc;

    quarvel::ExtractOptions options;
    options.page_parallel = false;
    options.include_images = true;
    options.include_drawings = true;
    options.read = quarvel::ReadOptions::full_reader();
    auto pages = document.page_refs();
    if (pages.ok()) {
        for (const quarvel::ObjectId& id : *pages) {
            auto page =
                quarvel::extract_single_page(document, id.num, id.gen, document.data(), options);
            (void)page;
        }
    }
    auto all = quarvel::extract::extract_doc(document, options);
    (void)all;
    auto links = quarvel::links::extract_links(document);
    (void)links;
    return 0;
}
