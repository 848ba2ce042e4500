// Colours as the full reader's interpreter tracks them: the colour spaces a
// page names in its /ColorSpace resources, and their colours as sRGB.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>

#include "file/document.h"
#include "syntax/types.h"

namespace quarvel {

// A colour space reduced to what turning its colours into sRGB needs.
struct ColorSpace {
    enum class Family : std::uint8_t {
        Gray,
        Rgb,
        Cmyk,
        Lab,
        Indexed,
        // Separation and DeviceN. A Separation whose tint transform is an
        // exponential function (type 2, what most writers give a spot
        // colour) is run into its alternate space; any other tint is shown
        // as the grey of its ink's coverage, which keeps rules and shaded
        // boxes visible as such.
        Tint,
        Pattern,
    };
    Family family = Family::Gray;
    // Indexed: the family of the base space, its highest index and the
    // palette (hival + 1 entries of the base space's components, as bytes).
    Family base = Family::Gray;
    int hival = 0;
    std::shared_ptr<const std::string> palette;
    // The operands sc and scn take (Pattern: those of its underlying space,
    // before the pattern's name).
    std::uint8_t components = 1;
    // Lab: the white point's X and Z (Y is 1).
    double white_x = 0.9505, white_z = 1.089;
    // Tint with a type 2 function: C0 + t^N (C1 - C0) in `base`, of
    // `tint_outputs` components (0: no function read).
    std::uint8_t tint_outputs = 0;
    double tint_exponent = 1;
    std::array<double, 4> tint_c0{}, tint_c1{};

    // The device spaces, for g/rg/k and the names that need no resource.
    static const ColorSpace& device_gray();
    static const ColorSpace& device_rgb();
    static const ColorSpace& device_cmyk();
    static const ColorSpace& pattern();
};

// A page's or form's /ColorSpace resources by name.
using ColorSpaceMap = std::unordered_map<std::string, ColorSpace>;

// sRGB 0xRRGGBB of `components` in `space`; missing components are 0 and
// each is clamped to its range. A pattern paints as black: its cells are
// not drawn, and black keeps the text or rule it paints readable as ink.
std::uint32_t to_srgb(const ColorSpace& space, std::span<const double> components);

// The colour a space starts with when cs or CS selects it: black in the
// device spaces, index 0 of a palette, full tint of an ink.
std::uint32_t initial_color(const ColorSpace& space);

// The colour space a /ColorSpace value names: a device name, or an array
// ([/ICCBased stream], [/Indexed base hival lookup], [/Separation ...], ...).
// Anything unreadable is DeviceGray, so its colours still come out grey.
ColorSpace read_color_space(const PdfObject& value, const Document& document);

// The entries of the /ColorSpace dictionary of `resources` (none when it
// has none), each read by read_color_space. At most
// limits::kMaxColorSpacesPerResources entries are read.
ColorSpaceMap build_color_space_map(const PdfObject& resources, const Document& document);

} // namespace quarvel
