// The whole document from memory: open, page list, every page extracted with
// its images (one page at a time and through the document driver), links.
#include <cstddef>
#include <cstdint>

#include "fuzz_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    quarvel::ExtractOptions options;
    options.page_parallel = false;
    options.include_images = true;
    return quarvel::fuzz::extract_everything(data, size, options);
}
