// Decoding helpers the structured fuzz targets share.
#pragma once

#include <cstdint>
#include <limits>

namespace quarvel::fuzz {

// A coordinate from two input bytes: tenths of a point over about 6500
// points, offset to reach below 0, with a few codes standing for NaN, the
// infinities and a huge finite number, which files do carry.
inline double coordinate(const std::uint8_t* p) {
    const unsigned v = unsigned(p[0]) << 8 | p[1];
    switch (v) {
    case 0xFFFF:
        return std::numeric_limits<double>::quiet_NaN();
    case 0xFFFE:
        return std::numeric_limits<double>::infinity();
    case 0xFFFD:
        return -std::numeric_limits<double>::infinity();
    case 0xFFFC:
        return 1e300;
    default:
        return (static_cast<double>(v) - 4000.0) / 10.0;
    }
}

} // namespace quarvel::fuzz
