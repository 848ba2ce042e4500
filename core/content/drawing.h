// What a page draws besides text and images: painted paths, in user space
// (y upwards), as the full reader's interpreter records them when asked.
// The table finder and the Markdown stage read rules and boxes from here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace quarvel {

// One piece of a painted path. Points are in user space.
struct PathItem {
    enum class Kind : std::uint8_t {
        Line,  // p[0..3]: x0, y0, x1, y1
        Rect,  // p[0..3]: x0, y0, x1, y1 with x0 <= x1, y0 <= y1 (axis-aligned only)
        Curve, // p[0..7]: start, two control points, end
    };
    Kind kind = Kind::Line;
    std::array<double, 8> p{};
};

// One painted path: what `S`, `f`, `B` and their variants paint.
struct Drawing {
    std::array<double, 4> bbox{}; // x0, y0, x1, y1 over the items
    std::optional<std::uint32_t> stroke; // sRGB 0xRRGGBB when stroked
    std::optional<std::uint32_t> fill;   // sRGB 0xRRGGBB when filled
    double width = 0;                    // line width in user space
    bool closed = false;
    std::vector<PathItem> items;
};

} // namespace quarvel
