#include "image.h"

namespace quarvel {

std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>&, const PdfObject&,
                                           const Document&) {
    return {};
}
std::vector<std::string> extract_filter(const PdfObject&) { return {}; }
std::string filter_to_ext(const std::vector<std::string>&) { return "png"; }
std::string extract_colorspace(const PdfObject&) { return "DeviceRGB"; }
std::string extract_image_data(const PdfObject&, const std::vector<std::string>&) { return {}; }

} // namespace quarvel
