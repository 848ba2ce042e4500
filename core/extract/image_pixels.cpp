#include "extract/image_pixels.h"

#include <algorithm>
#include <optional>

#include "extract/image.h"
#include "resource_limits.h"
#include "syntax/string_bytes.h"

namespace quarvel {
namespace {

// How the samples of one colour space become grey or RGB bytes.
struct Space {
    enum class Kind : std::uint8_t { Gray, Rgb, Cmyk, Indexed } kind = Kind::Gray;
    std::uint8_t components = 1;     // per sample as stored
    std::uint8_t base_components = 1; // Indexed: per palette entry
    Kind base = Kind::Gray;           // Indexed: the palette's space
    std::string lookup;               // Indexed: the palette
    std::uint32_t hival = 0;
};

std::optional<Space> device_space(std::string_view name) {
    Space space;
    if (name == "DeviceGray" || name == "G" || name == "CalGray") return space;
    if (name == "DeviceRGB" || name == "RGB" || name == "CalRGB") {
        space.kind = Space::Kind::Rgb;
        space.components = 3;
        return space;
    }
    if (name == "DeviceCMYK" || name == "CMYK") {
        space.kind = Space::Kind::Cmyk;
        space.components = 4;
        return space;
    }
    return std::nullopt;
}

// A colour space value; `depth` bounds Alternate and Indexed chains, which
// a hostile file can make refer to each other.
std::optional<Space> read_space(const Document& document, const PdfObject& value, int depth) {
    if (depth > 4) return std::nullopt;
    ObjectPtr held = document.resolve(value);
    const PdfObject& object = held ? *held : value;
    if (object.is_name()) return device_space(object.bytes());
    if (!object.is_array() || object.as_array().empty()) return std::nullopt;
    const PdfArray& items = object.as_array();
    if (!items.front().is_name()) return std::nullopt;
    const std::string_view family = items.front().bytes();
    if (family == "CalGray" || family == "CalRGB") return device_space(family);
    if (family == "ICCBased" && items.size() >= 2) {
        ObjectPtr profile = document.resolve(items[1]);
        if (!profile || !profile->has_dict()) return std::nullopt;
        const PdfObject* n = profile->get("N");
        if (n != nullptr && n->is_int()) {
            if (n->as_int() == 1) return device_space("DeviceGray");
            if (n->as_int() == 3) return device_space("DeviceRGB");
            if (n->as_int() == 4) return device_space("DeviceCMYK");
        }
        const PdfObject* alternate = profile->get("Alternate");
        if (alternate == nullptr) return std::nullopt;
        return read_space(document, *alternate, depth + 1);
    }
    if ((family == "Indexed" || family == "I") && items.size() >= 4) {
        std::optional<Space> base = read_space(document, items[1], depth + 1);
        if (!base || base->kind == Space::Kind::Indexed || !items[2].is_int()) return std::nullopt;
        Space space;
        space.kind = Space::Kind::Indexed;
        space.base = base->kind;
        space.base_components = base->components;
        space.hival = static_cast<std::uint32_t>(std::clamp<std::int64_t>(items[2].as_int(), 0, 255));
        ObjectPtr lookup = document.resolve(items[3]);
        if (!lookup) return std::nullopt;
        if (lookup->is_string() || lookup->is_hex_string()) {
            space.lookup = string_bytes(*lookup);
        } else if (lookup->is_stream()) {
            auto decoded = document.decode_stream(*lookup, limits::kMaxDecodedBytes);
            if (!decoded.ok()) return std::nullopt;
            space.lookup = std::move(decoded).value();
        } else {
            return std::nullopt;
        }
        // A short palette reads as black past its end, never past the bytes.
        space.lookup.resize(std::size_t{256} * space.base_components, '\0');
        return space;
    }
    return std::nullopt;
}

std::uint32_t dimension(const PdfObject& image, std::string_view key) {
    const PdfObject* value = image.get(key);
    if (value == nullptr || !value->is_int() || value->as_int() <= 0) return 0;
    return static_cast<std::uint32_t>(std::min<std::int64_t>(value->as_int(), UINT32_MAX));
}

// Reads packed samples of 1, 2, 4, 8 or 16 bits, rows padded to a byte.
class SampleReader {
  public:
    SampleReader(std::string_view data, std::uint32_t bpc, std::uint64_t row_samples)
        : data_(data), bpc_(bpc), row_bytes_((row_samples * bpc + 7) / 8) {}
    bool covers(std::uint32_t rows) const { return data_.size() / row_bytes_ >= rows; }
    // Sample `i` of row `row`, as a value of `bpc` bits.
    std::uint32_t raw(std::uint32_t row, std::uint64_t i) const {
        const auto* p = reinterpret_cast<const std::uint8_t*>(data_.data()) + row * row_bytes_;
        switch (bpc_) {
        case 8: return p[i];
        case 16: return p[2 * i];
        default: {
            const std::uint64_t bit = i * bpc_;
            const std::uint32_t byte = p[bit / 8];
            return (byte >> (8 - bpc_ - bit % 8)) & ((1u << bpc_) - 1);
        }
        }
    }
    // The same sample scaled to 0..255.
    std::uint8_t byte(std::uint32_t row, std::uint64_t i) const {
        const std::uint32_t v = raw(row, i);
        if (bpc_ >= 8) return static_cast<std::uint8_t>(v);
        return static_cast<std::uint8_t>(v * 255 / ((1u << bpc_) - 1));
    }

  private:
    std::string_view data_;
    std::uint32_t bpc_;
    std::uint64_t row_bytes_;
};

bool valid_bpc(std::uint32_t bpc) {
    return bpc == 1 || bpc == 2 || bpc == 4 || bpc == 8 || bpc == 16;
}

std::uint32_t bits_per_component(const PdfObject& image) {
    const PdfObject* value = image.get("BitsPerComponent");
    if (value == nullptr || !value->is_int()) return 8;
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(value->as_int(), 0, 64));
}

bool kept_as_stored(const PdfObject& image) {
    for (const std::string& name : extract_filter(image)) {
        if (name == "DCTDecode" || name == "JPXDecode" || name == "DCT" || name == "JBIG2Decode")
            return true;
    }
    return false;
}

void cmyk_to_rgb(const std::uint8_t* cmyk, char* out) {
    const unsigned k = 255 - cmyk[3];
    for (int c = 0; c < 3; ++c) out[c] = static_cast<char>((255 - cmyk[c]) * k / 255);
}

// The soft mask's alpha at width x height, or nothing when the image has
// none or it cannot be read (then the image is written opaque).
std::optional<std::string> soft_mask(const Document& document, const PdfObject& image,
                                     std::uint32_t width, std::uint32_t height) {
    const PdfObject* value = image.get("SMask");
    if (value == nullptr) return std::nullopt;
    ObjectPtr mask = document.resolve(*value);
    if (!mask || !mask->is_stream() || kept_as_stored(*mask)) return std::nullopt;
    const std::uint32_t mw = dimension(*mask, "Width"), mh = dimension(*mask, "Height");
    const std::uint32_t bpc = bits_per_component(*mask);
    if (mw == 0 || mh == 0 || !valid_bpc(bpc) ||
        std::uint64_t{mw} * mh > limits::kMaxImagePixels) {
        return std::nullopt;
    }
    auto data = document.decode_stream(*mask, limits::kMaxDecodedBytes);
    if (!data.ok()) return std::nullopt;
    const SampleReader reader(*data, bpc, mw);
    if (!reader.covers(mh)) return std::nullopt;
    std::string alpha(std::size_t{width} * height, '\0');
    for (std::uint32_t y = 0; y < height; ++y) {
        const auto my = static_cast<std::uint32_t>(std::uint64_t{y} * mh / height);
        for (std::uint32_t x = 0; x < width; ++x) {
            const auto mx = std::uint64_t{x} * mw / width;
            alpha[std::size_t{y} * width + x] = static_cast<char>(reader.byte(my, mx));
        }
    }
    return alpha;
}

} // namespace

Result<ImagePixels> read_image_pixels(const Document& document, std::uint32_t xref) {
    QUARVEL_TRY(ObjectPtr held, document.get_object(xref));
    const PdfObject& image = *held;
    const PdfObject* subtype = image.is_stream() ? image.get("Subtype") : nullptr;
    if (subtype == nullptr || !subtype->is_name("Image")) {
        return ParseError::other("not an image XObject");
    }
    ImagePixels pixels;
    pixels.width = dimension(image, "Width");
    pixels.height = dimension(image, "Height");
    const std::uint64_t count = std::uint64_t{pixels.width} * pixels.height;
    if (count == 0) return ParseError::other("image without a width or height");
    if (count > limits::kMaxImagePixels) return ParseError::other("image has too many pixels");

    std::optional<std::string> alpha = soft_mask(document, image, pixels.width, pixels.height);
    const std::uint32_t bpc = bits_per_component(image);
    const PdfObject* space_value = image.get("ColorSpace");
    std::optional<Space> space;
    const PdfObject* image_mask = image.get("ImageMask");
    if (image_mask != nullptr && image_mask->is_bool() && image_mask->as_bool()) {
        space = Space{}; // a stencil: its 1-bit samples read as grey
    } else if (space_value != nullptr) {
        space = read_space(document, *space_value, 0);
    }
    // Data that stays as stored, or that is short of its size (a filter
    // left in place, a truncated stream), goes out unconverted with its mask.
    auto as_stored = [&] {
        if (alpha) pixels.mask = std::move(*alpha);
        return pixels;
    };
    if (kept_as_stored(image) || !space || !valid_bpc(bpc) ||
        (space->kind == Space::Kind::Indexed && bpc == 16)) {
        return as_stored();
    }
    auto decoded = document.decode_stream(image, limits::kMaxDecodedBytes);
    if (!decoded.ok()) return as_stored();
    const std::string data = std::move(decoded).value();
    const SampleReader reader(data, bpc, std::uint64_t{pixels.width} * space->components);
    if (!reader.covers(pixels.height)) return as_stored();

    const Space::Kind out_kind =
        space->kind == Space::Kind::Indexed ? space->base : space->kind;
    const std::uint8_t colour = out_kind == Space::Kind::Gray ? 1 : 3;
    pixels.channels = static_cast<std::uint8_t>(colour + (alpha ? 1 : 0));
    pixels.samples.resize(static_cast<std::size_t>(count) * pixels.channels);
    char* out = pixels.samples.data();
    // No space here has more than four components (CMYK).
    const std::size_t stored_components = std::min<std::size_t>(space->components, 4);
    const std::size_t entry_components = std::min<std::size_t>(space->base_components, 4);
    for (std::uint32_t y = 0; y < pixels.height; ++y) {
        for (std::uint32_t x = 0; x < pixels.width; ++x) {
            const std::uint64_t first = std::uint64_t{x} * space->components;
            std::uint8_t stored[4] = {};
            if (space->kind == Space::Kind::Indexed) {
                const std::uint32_t index = std::min(reader.raw(y, first), space->hival);
                const char* entry = space->lookup.data() + index * space->base_components;
                std::copy_n(entry, entry_components, stored);
            } else {
                for (std::size_t c = 0; c < stored_components; ++c) {
                    stored[c] = reader.byte(y, first + c);
                }
            }
            if (out_kind == Space::Kind::Cmyk) {
                cmyk_to_rgb(stored, out);
            } else {
                std::copy_n(stored, colour, out);
            }
            out += colour;
            if (alpha) *out++ = (*alpha)[std::size_t{y} * pixels.width + x];
        }
    }
    return pixels;
}

} // namespace quarvel
