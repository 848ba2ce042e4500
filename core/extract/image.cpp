#include "extract/image.h"

#include <algorithm>
#include <optional>

#include "syntax/filters.h"
#include "resource_limits.h"
#include "syntax/text.h"

namespace quarvel {
namespace {

// The /XObject dictionary of a resources value, only when it is written
// directly: a referenced one is not followed, so its images are not found.
const PdfObject* direct_xobject_dict(const PdfObject& resources) {
    if (!resources.has_dict()) return nullptr;
    const PdfObject* xobjects = resources.get("XObject");
    if (xobjects == nullptr || !xobjects->is_dict()) return nullptr;
    return xobjects;
}

// The object number behind `name` in an /XObject dictionary, when the first
// entry with that key holds a reference.
std::optional<std::uint32_t> reference_under(const PdfObject& xobjects, std::string_view name) {
    const PdfObject* value = xobjects.get(name);
    if (value == nullptr || !value->is_ref()) return std::nullopt;
    return value->as_ref().num;
}

// Images drawn inside a form are named in the form's own resources; one
// level of forms is searched, as producers that wrap each image in a form
// (scanners, print drivers) need no more.
std::optional<std::uint32_t> find_in_forms(const PdfObject& page_xobjects, std::string_view name,
                                           const Document& document) {
    for (const DictEntry& entry : page_xobjects.dict()) {
        if (!entry.value.is_ref()) continue;
        auto form = document.get_object(entry.value.as_ref().num);
        if (!form.ok()) continue;
        const PdfObject& object = **form;
        if (!object.has_dict()) continue;
        const PdfObject* subtype = object.get("Subtype");
        if (subtype == nullptr || !subtype->is_name("Form")) continue;
        const PdfObject* resources = object.get("Resources");
        if (resources == nullptr) continue;
        const PdfObject* xobjects = direct_xobject_dict(*resources);
        if (xobjects == nullptr) continue;
        if (auto num = reference_under(*xobjects, name)) return num;
    }
    return std::nullopt;
}

std::uint32_t low_u32_or(const PdfObject* value, std::uint32_t fallback) {
    if (value == nullptr || !value->is_int()) return fallback;
    return static_cast<std::uint32_t>(value->as_int()); // modular: the low 32 bits
}

} // namespace

std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& refs,
                                           const PdfObject& resources, const Document& document) {
    return resolve_images(refs, resources, document,
                          {limits::kMaxImagesPerPage, limits::kMaxImageBytesPerPage});
}

std::vector<ExtractedImage> resolve_images(const std::vector<ImageRef>& refs,
                                           const PdfObject& resources, const Document& document,
                                           const ImageBudget& budget, bool keep_bytes) {
    std::vector<ExtractedImage> images;
    std::size_t bytes_used = 0;
    const PdfObject* xobjects = direct_xobject_dict(resources);
    if (xobjects == nullptr || xobjects->dict().empty() || refs.empty()) return images;

    for (const ImageRef& ref : refs) {
        if (images.size() >= budget.max_images) break;
        std::optional<std::uint32_t> num = reference_under(*xobjects, ref.name);
        if (!num) num = find_in_forms(*xobjects, ref.name, document);
        if (!num) continue;
        auto resolved = document.get_object(*num);
        if (!resolved.ok()) continue;
        const PdfObject& object = **resolved;
        if (!object.has_dict()) continue;
        const PdfObject* subtype = object.get("Subtype");
        if (subtype == nullptr || !subtype->is_name("Image")) continue;

        ExtractedImage image;
        image.width = low_u32_or(object.get("Width"), 0);
        image.height = low_u32_or(object.get("Height"), 0);
        image.bpc = static_cast<std::uint8_t>(low_u32_or(object.get("BitsPerComponent"), 8));
        image.colorspace = extract_colorspace(object);
        std::vector<std::string> filters = extract_filter(object);
        image.ext = filter_to_ext(filters);
        // An inflated size is known only once inflated, so the bytes are
        // measured after the copy and released at once when they would
        // overrun the page's budget: at most one image beyond it is held.
        image.image = extract_image_data(object, filters);
        if (image.image.size() > budget.max_bytes - bytes_used) {
            std::string().swap(image.image);
        } else {
            bytes_used += image.image.size();
        }
        if (!keep_bytes) {
            image.dropped_bytes = image.image.size();
            std::string().swap(image.image);
        }
        image.bbox = {ref.x0, ref.y0, ref.x1, ref.y1};
        image.xref = *num;
        images.push_back(std::move(image));
    }
    return images;
}

std::vector<std::string> extract_filter(const PdfObject& object) {
    std::vector<std::string> filters;
    const PdfObject* filter = object.get("Filter");
    if (filter == nullptr) return filters;
    if (filter->is_name()) {
        filters.push_back(lossy_utf8(filter->bytes()));
    } else if (filter->is_array()) {
        for (const PdfObject& element : filter->as_array()) {
            if (element.is_name()) filters.push_back(lossy_utf8(element.bytes()));
        }
    }
    return filters;
}

std::string filter_to_ext(const std::vector<std::string>& filters) {
    for (const std::string& name : filters) {
        if (name == "DCTDecode") return "jpeg";
        if (name == "JPXDecode") return "jpx";
        if (name == "FlateDecode" || name == "LZWDecode" || name == "CCITTFaxDecode") return "png";
    }
    return "png";
}

std::string extract_colorspace(const PdfObject& object) {
    const PdfObject* space = object.get("ColorSpace");
    if (space == nullptr) return "DeviceRGB";
    if (space->is_name()) return lossy_utf8(space->bytes());
    if (space->is_array()) {
        const PdfArray& items = space->as_array();
        if (!items.empty() && items.front().is_name()) return lossy_utf8(items.front().bytes());
        return "Unknown";
    }
    return "DeviceRGB";
}

std::string extract_image_data(const PdfObject& object, const std::vector<std::string>& filters) {
    if (!object.is_stream()) return {};
    std::string_view raw = object.stream_data();
    auto has = [&](std::string_view name) {
        return std::find(filters.begin(), filters.end(), name) != filters.end();
    };
    // JPEG and JPEG 2000 data is a complete image file as stored; any other
    // filter around it is left in place rather than half undone.
    if (has("DCTDecode") || has("JPXDecode")) return std::string(raw);
    if (has("FlateDecode")) {
        auto inflated = decompress_flate(raw);
        if (inflated.ok()) return std::move(inflated).value();
    }
    return std::string(raw);
}

} // namespace quarvel
