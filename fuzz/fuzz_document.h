// The document fuzz targets' common run: a document opened from the input,
// with every page extracted one at a time and through the document driver,
// then its links.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "extract/extract.h"
#include "extract/links.h"
#include "file/document.h"

namespace quarvel::fuzz {

inline int extract_everything(const std::uint8_t* data, std::size_t size,
                              const ExtractOptions& options) {
    auto doc = Document::from_mmap(
        Mapping::from_bytes(std::string(reinterpret_cast<const char*>(data), size)),
        options.read);
    if (!doc.ok()) return 0;
    const Document& document = **doc;
    auto pages = document.page_refs();
    if (pages.ok()) {
        for (const ObjectId& id : *pages) {
            auto page = extract_single_page(document, id.num, id.gen, document.data(), options);
            (void)page;
        }
    }
    auto all = extract::extract_doc(document, options);
    (void)all;
    auto links = links::extract_links(document);
    (void)links;
    return 0;
}

} // namespace quarvel::fuzz
