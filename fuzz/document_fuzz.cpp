// The whole document from memory: open, page list, every page extracted with
// its images (one page at a time and through the document driver), links.
#include <cstddef>
#include <cstdint>
#include <string>

#include "file/document.h"
#include "extract/extract.h"
#include "extract/links.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto doc = quarvel::Document::from_mmap(
        quarvel::Mapping::from_bytes(std::string(reinterpret_cast<const char*>(data), size)));
    if (!doc.ok()) return 0;
    const quarvel::Document& document = **doc;

    quarvel::ExtractOptions options;
    options.page_parallel = false;
    options.include_images = true;
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
