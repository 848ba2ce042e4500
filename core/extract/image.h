// Images: the image XObjects a page's content drew, with their bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "file/document.h"
#include "layout/layout.h"
#include "content/content_stream.h"

namespace quarvel {

struct ExtractedImage {
    std::string image; // raw or inflated stream bytes; may be empty
    std::string colorspace;
    std::string ext; // "jpeg", "jpx" or "png"
    BBox bbox{};
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t xref = 0;
    std::uint8_t bpc = 8;
    // The size of the bytes a listing without them measured and let go
    // (ExtractOptions::include_image_bytes false); zero when `image` holds
    // them. The document's budgets count these as they count kept bytes.
    std::uint64_t dropped_bytes = 0;
};

std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& refs,
                                           const PdfObject& resources, const Document& document);

// What one page may collect (see core/resource_limits.h).
struct ImageBudget {
    std::size_t max_images;
    std::size_t max_bytes;
};
// resolve_images under an explicit budget; resolve_images uses the limits.
// Without `keep_bytes` each image's bytes are still made and measured, so
// that the budgets and what they admit stay the same, then let go.
std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& refs,
                                           const PdfObject& resources, const Document& document,
                                           const ImageBudget& budget, bool keep_bytes = true);
std::vector<std::string> extract_filter(const PdfObject& object);
std::string filter_to_ext(const std::vector<std::string>& filters);
std::string extract_colorspace(const PdfObject& object);
std::string extract_image_data(const PdfObject& object, const std::vector<std::string>& filters);

} // namespace quarvel
