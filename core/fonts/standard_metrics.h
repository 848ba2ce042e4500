// Metrics of the 14 standard fonts, which a PDF may use without embedding or
// giving widths, and the /BaseFont names that stand for them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quarvel {

struct StandardFontMetrics {
    std::string_view name; // "Times-Roman", "Helvetica-BoldOblique", ...
    // All in 1/1000 em.
    double ascent;
    double descent; // negative
    double cap_height; // 0 for Symbol and ZapfDingbats, which have no letters
    double x_height;   // likewise
    double italic_angle;        // degrees, negative for a slant to the right
    std::array<double, 4> bbox; // llx, lly, urx, ury
    bool fixed_pitch;
    bool symbolic; // Symbol and ZapfDingbats: their own glyph sets, not Latin text
    bool serif;
    bool italic() const { return italic_angle != 0; }

    // The advance of the named glyph in 1/1000 em; nothing when the font lacks it.
    std::optional<double> width(std::string_view glyph_name) const;

    const std::uint16_t* widths; // by index in the shared sorted name table
};

// The metrics of the standard font a /BaseFont names, by its own name or an
// alias real files use (ArialMT, Arial,Bold, TimesNewRomanPS-BoldMT,
// CourierNew, ...), after dropping a subset tag; nullptr for any other font.
const StandardFontMetrics* standard_font_metrics(std::string_view base_font);

// All 14, sorted by name.
std::span<const StandardFontMetrics> standard_fonts();

} // namespace quarvel
