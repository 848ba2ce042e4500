// Image samples from memory with the full reader: colour spaces (ICCBased,
// Indexed lookups, chains of alternates), packed sample depths and soft masks
// scaled to their image, for the first objects of the file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "extract/image_pixels.h"
#include "file/document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto doc = quarvel::Document::from_mmap(
        quarvel::Mapping::from_bytes(std::string(reinterpret_cast<const char*>(data), size)),
        quarvel::ReadOptions::full_reader());
    if (!doc.ok()) return 0;
    for (std::uint32_t xref = 1; xref <= 16; ++xref) {
        (void)quarvel::read_image_pixels(**doc, xref);
    }
    return 0;
}
