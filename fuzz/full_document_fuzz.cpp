// The whole document from memory by the full reader, end to end: open
// (every cross-reference form, recovery, encryption with the empty
// password), every page with its images and drawings, one page at a time
// and through the document driver, then links.
#include <cstddef>
#include <cstdint>

#include "fuzz_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    quarvel::ExtractOptions options;
    options.page_parallel = false;
    options.include_images = true;
    options.include_drawings = true;
    options.read = quarvel::ReadOptions::full_reader();
    return quarvel::fuzz::extract_everything(data, size, options);
}
