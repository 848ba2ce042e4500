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
};

std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& refs,
                                           const PdfObject& resources, const Document& document);

// What one page may collect (see core/resource_limits.h).
struct ImageBudget {
    std::size_t max_images;
    std::size_t max_bytes;
};
// resolve_images under an explicit budget; resolve_images uses the limits.
std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& refs,
                                           const PdfObject& resources, const Document& document,
                                           const ImageBudget& budget);
std::vector<std::string> extract_filter(const PdfObject& object);
std::string filter_to_ext(const std::vector<std::string>& filters);
std::string extract_colorspace(const PdfObject& object);
std::string extract_image_data(const PdfObject& object, const std::vector<std::string>& filters);

} // namespace quarvel
