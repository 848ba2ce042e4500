#include "content/color.h"

#include <algorithm>
#include <cmath>

#include "resource_limits.h"
#include "syntax/string_bytes.h"
#include "syntax/text.h"

namespace quarvel {

namespace {

using Family = ColorSpace::Family;

ColorSpace make(Family family, std::uint8_t components) {
    ColorSpace space;
    space.family = family;
    space.components = components;
    return space;
}

double unit(double v) { return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : 0.0; }

std::uint32_t pack(double r, double g, double b) {
    auto byte = [](double v) { return static_cast<std::uint32_t>(std::lround(unit(v) * 255.0)); };
    return (byte(r) << 16) | (byte(g) << 8) | byte(b);
}

double component(std::span<const double> c, std::size_t i) { return i < c.size() ? c[i] : 0.0; }

// CMYK by the naive complement: what readers without a colour profile show.
std::uint32_t cmyk_to_srgb(double c, double m, double y, double k) {
    k = unit(k);
    return pack((1 - unit(c)) * (1 - k), (1 - unit(m)) * (1 - k), (1 - unit(y)) * (1 - k));
}

// CIE L*a*b* to XYZ under the space's white point, then to sRGB.
std::uint32_t lab_to_srgb(const ColorSpace& space, double l, double a, double b) {
    if (!std::isfinite(l) || !std::isfinite(a) || !std::isfinite(b)) return 0;
    const double fy = (std::clamp(l, 0.0, 100.0) + 16.0) / 116.0;
    const double fx = fy + a / 500.0;
    const double fz = fy - b / 200.0;
    auto inverse = [](double t) {
        return t > 6.0 / 29.0 ? t * t * t : 3.0 * (6.0 / 29.0) * (6.0 / 29.0) * (t - 4.0 / 29.0);
    };
    const double x = space.white_x * inverse(fx);
    const double y = inverse(fy);
    const double z = space.white_z * inverse(fz);
    auto gamma = [](double v) {
        v = unit(v);
        return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
    };
    return pack(gamma(3.2406 * x - 1.5372 * y - 0.4986 * z),
                gamma(-0.9689 * x + 1.8758 * y + 0.0415 * z),
                gamma(0.0557 * x - 0.2040 * y + 1.0570 * z));
}

std::uint32_t direct_to_srgb(const ColorSpace& space, Family family,
                             std::span<const double> c) {
    switch (family) {
    case Family::Gray: {
        const double g = component(c, 0);
        return pack(g, g, g);
    }
    case Family::Rgb: return pack(component(c, 0), component(c, 1), component(c, 2));
    case Family::Cmyk:
        return cmyk_to_srgb(component(c, 0), component(c, 1), component(c, 2), component(c, 3));
    case Family::Lab: return lab_to_srgb(space, component(c, 0), component(c, 1), component(c, 2));
    case Family::Tint: {
        if (space.tint_outputs > 0 && !c.empty()) {
            const double t = std::pow(unit(c[0]), space.tint_exponent);
            std::array<double, 4> out{};
            for (std::size_t i = 0; i < space.tint_outputs; ++i)
                out[i] = space.tint_c0[i] + t * (space.tint_c1[i] - space.tint_c0[i]);
            if (!std::isfinite(t)) return 0;
            return direct_to_srgb(space, space.base,
                                  std::span<const double>(out.data(), space.tint_outputs));
        }
        double ink = 0;
        for (const double t : c)
            ink = std::max(ink, unit(t));
        return pack(1 - ink, 1 - ink, 1 - ink);
    }
    case Family::Indexed:
    case Family::Pattern: break;
    }
    return 0;
}

std::uint8_t components_of(Family family) {
    switch (family) {
    case Family::Rgb:
    case Family::Lab: return 3;
    case Family::Cmyk: return 4;
    default: return 1;
    }
}

// A device or calibrated family by name, with the abbreviations inline
// images use.
std::optional<Family> family_by_name(std::string_view name) {
    if (name == "DeviceGray" || name == "G" || name == "CalGray") return Family::Gray;
    if (name == "DeviceRGB" || name == "RGB" || name == "CalRGB") return Family::Rgb;
    if (name == "DeviceCMYK" || name == "CMYK") return Family::Cmyk;
    if (name == "Lab") return Family::Lab;
    if (name == "Pattern") return Family::Pattern;
    return std::nullopt;
}

ColorSpace read_space(const PdfObject& value, const Document& document, int depth);

// [/ICCBased stream]: the alternate space where given, else the space its
// number of components implies.
ColorSpace read_icc(const PdfArray& items, const Document& document, int depth) {
    if (items.size() < 2) return ColorSpace::device_gray();
    const ObjectPtr stream = document.resolve(items[1]);
    if (const PdfObject* alternate = stream->get("Alternate")) {
        ColorSpace space = read_space(*document.resolve(*alternate), document, depth + 1);
        if (space.family != Family::Pattern && space.family != Family::Indexed) return space;
    }
    const PdfObject* n = stream->get("N");
    const std::optional<double> count = n != nullptr ? document.resolve(*n)->number() : std::nullopt;
    if (count && *count == 3) return ColorSpace::device_rgb();
    if (count && *count == 4) return ColorSpace::device_cmyk();
    return ColorSpace::device_gray();
}

// [/Indexed base hival lookup]: the palette, read once, from a string or a
// stream.
ColorSpace read_indexed(const PdfArray& items, const Document& document, int depth) {
    if (items.size() < 4) return ColorSpace::device_gray();
    const ColorSpace base = read_space(*document.resolve(items[1]), document, depth + 1);
    if (base.family == Family::Indexed || base.family == Family::Pattern ||
        base.family == Family::Tint) {
        return ColorSpace::device_gray();
    }
    const std::optional<double> hival = document.resolve(items[2])->number();
    ColorSpace space = make(Family::Indexed, 1);
    space.base = base.family;
    space.white_x = base.white_x;
    space.white_z = base.white_z;
    space.hival = hival && std::isfinite(*hival) ? static_cast<int>(std::clamp(*hival, 0.0, 255.0))
                                                 : 0;
    const ObjectPtr lookup = document.resolve(items[3]);
    const std::size_t want = static_cast<std::size_t>(space.hival + 1) * components_of(base.family);
    std::string bytes;
    if (lookup->is_string() || lookup->is_hex_string()) {
        bytes = string_bytes(*lookup);
    } else if (lookup->is_stream()) {
        auto decoded = document.decode_stream(*lookup, limits::kMaxPaletteBytes);
        if (decoded.ok()) bytes = std::move(decoded).value();
    }
    bytes.resize(std::min(bytes.size(), want));
    space.palette = std::make_shared<const std::string>(std::move(bytes));
    return space;
}

// [/Separation name alternate tintTransform]: an exponential tint
// transform into a device, calibrated or Lab alternate is kept to be run.
ColorSpace read_separation(const PdfArray& items, const Document& document, int depth) {
    ColorSpace space = make(Family::Tint, 1);
    if (items.size() < 4) return space;
    const ColorSpace alternate = read_space(*document.resolve(items[2]), document, depth + 1);
    const Family family = alternate.family;
    if (family != Family::Gray && family != Family::Rgb && family != Family::Cmyk &&
        family != Family::Lab) {
        return space;
    }
    const ObjectPtr function = document.resolve(items[3]);
    const PdfObject* type = function->get("FunctionType");
    if (type == nullptr || document.resolve(*type)->number() != 2.0) return space;
    const std::uint8_t n = components_of(family);
    auto read_values = [&](std::string_view key, std::array<double, 4>& out, double fallback) {
        out.fill(fallback);
        const PdfObject* entry = function->get(key);
        const ObjectPtr values = entry != nullptr ? document.resolve(*entry) : nullptr;
        if (values == nullptr || !values->is_array()) return values == nullptr;
        const PdfArray& list = values->as_array();
        if (list.size() != n) return false;
        for (std::size_t i = 0; i < n; ++i) {
            const std::optional<double> v = document.resolve(list[i])->number();
            if (!v || !std::isfinite(*v)) return false;
            out[i] = *v;
        }
        return true;
    };
    const PdfObject* exponent = function->get("N");
    const std::optional<double> e =
        exponent != nullptr ? document.resolve(*exponent)->number() : std::nullopt;
    if (!e || !std::isfinite(*e) || *e < 0 || *e > 100 || !read_values("C0", space.tint_c0, 0) ||
        !read_values("C1", space.tint_c1, 1)) {
        return space;
    }
    space.base = family;
    space.white_x = alternate.white_x;
    space.white_z = alternate.white_z;
    space.tint_exponent = *e;
    space.tint_outputs = n;
    return space;
}

ColorSpace read_space(const PdfObject& value, const Document& document, int depth) {
    // Spaces refer to spaces (an ICC profile's alternate, a palette's base)
    // a level or two deep; a cycle of references ends here.
    if (depth > 4) return ColorSpace::device_gray();
    if (value.is_name()) {
        const std::optional<Family> family = family_by_name(value.bytes());
        if (!family) return ColorSpace::device_gray();
        return make(*family, *family == Family::Pattern ? 0 : components_of(*family));
    }
    if (!value.is_array() || value.as_array().empty()) return ColorSpace::device_gray();
    const PdfArray& items = value.as_array();
    const ObjectPtr head = document.resolve(items[0]);
    if (!head->is_name()) return ColorSpace::device_gray();
    const std::string_view kind = head->bytes();
    if (kind == "ICCBased") return read_icc(items, document, depth);
    if (kind == "Indexed" || kind == "I") return read_indexed(items, document, depth);
    if (kind == "Separation") return read_separation(items, document, depth);
    if (kind == "DeviceN") {
        const ObjectPtr names = items.size() > 1 ? document.resolve(items[1]) : nullptr;
        const std::size_t n = names != nullptr && names->is_array() ? names->as_array().size() : 1;
        return make(Family::Tint, static_cast<std::uint8_t>(std::clamp<std::size_t>(n, 1, 32)));
    }
    if (kind == "Pattern") {
        // An uncoloured pattern takes its colour in an underlying space.
        ColorSpace space = make(Family::Pattern, 0);
        if (items.size() > 1) {
            const ColorSpace under = read_space(*document.resolve(items[1]), document, depth + 1);
            space.base = under.family;
            space.components = under.components;
        }
        return space;
    }
    if (kind == "Lab") {
        ColorSpace space = make(Family::Lab, 3);
        const ObjectPtr params = items.size() > 1 ? document.resolve(items[1]) : nullptr;
        const PdfObject* white = params != nullptr ? params->get("WhitePoint") : nullptr;
        if (white != nullptr && white->is_array() && white->as_array().size() == 3) {
            const auto x = white->as_array()[0].number();
            const auto z = white->as_array()[2].number();
            if (x && z && *x > 0 && *z > 0 && *x < 2 && *z < 2) {
                space.white_x = *x;
                space.white_z = *z;
            }
        }
        return space;
    }
    if (const std::optional<Family> family = family_by_name(kind)) {
        if (*family != Family::Pattern) return make(*family, components_of(*family));
    }
    return ColorSpace::device_gray();
}

} // namespace

const ColorSpace& ColorSpace::device_gray() {
    static const ColorSpace space = make(Family::Gray, 1);
    return space;
}
const ColorSpace& ColorSpace::device_rgb() {
    static const ColorSpace space = make(Family::Rgb, 3);
    return space;
}
const ColorSpace& ColorSpace::device_cmyk() {
    static const ColorSpace space = make(Family::Cmyk, 4);
    return space;
}
const ColorSpace& ColorSpace::pattern() {
    static const ColorSpace space = make(Family::Pattern, 0);
    return space;
}

std::uint32_t to_srgb(const ColorSpace& space, std::span<const double> components) {
    if (space.family == Family::Pattern) return 0;
    if (space.family != Family::Indexed) return direct_to_srgb(space, space.family, components);
    const double index = component(components, 0);
    if (!std::isfinite(index) || space.palette == nullptr) return 0;
    const auto i = static_cast<std::size_t>(std::clamp(std::round(index), 0.0,
                                                       static_cast<double>(space.hival)));
    const std::size_t n = components_of(space.base);
    std::array<double, 4> entry{};
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t at = i * n + k;
        entry[k] = at < space.palette->size()
                       ? static_cast<unsigned char>((*space.palette)[at]) / 255.0
                       : 0.0;
    }
    // Lab palettes hold L in 0..100 and a, b in -128..127 as bytes.
    if (space.base == Family::Lab) {
        entry[0] *= 100.0;
        entry[1] = entry[1] * 255.0 - 128.0;
        entry[2] = entry[2] * 255.0 - 128.0;
    }
    return direct_to_srgb(space, space.base, std::span<const double>(entry.data(), n));
}

std::uint32_t initial_color(const ColorSpace& space) {
    switch (space.family) {
    case Family::Cmyk: {
        const double black[4] = {0, 0, 0, 1};
        return to_srgb(space, black);
    }
    case Family::Tint: {
        const double full_ink[1] = {1};
        return to_srgb(space, full_ink);
    }
    default: return to_srgb(space, {});
    }
}

ColorSpace read_color_space(const PdfObject& value, const Document& document) {
    return read_space(*document.resolve(value), document, 0);
}

ColorSpaceMap build_color_space_map(const PdfObject& resources, const Document& document) {
    ColorSpaceMap map;
    const PdfObject* entry = resources.get("ColorSpace");
    if (entry == nullptr) return map;
    const ObjectPtr dict = document.resolve(*entry);
    if (!dict->is_dict()) return map;
    std::size_t read = 0;
    for (const DictEntry& named : dict->dict()) {
        if (read++ == limits::kMaxColorSpacesPerResources) break;
        map.insert_or_assign(lossy_utf8(named.key), read_color_space(named.value, document));
    }
    return map;
}

} // namespace quarvel
