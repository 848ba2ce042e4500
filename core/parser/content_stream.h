// The content-stream interpreter: lexing page content, tracking the text and
// transformation state, following form XObjects, recording image placements
// and emitting positioned characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "font.h"

namespace quarvel {

// One positioned character: the contract between the interpreter and the
// layout stage.
struct CharInfo {
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    char32_t ch = 0;
};

// One image drawn by Do, with the box it was drawn in.
struct ImageRef {
    std::string name;
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

struct ContentResult {
    std::vector<CharInfo> chars;
    std::vector<ImageRef> images;
};

struct Matrix {
    double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;

    // The matrix that applies `other` first and this one second.
    Matrix mul(const Matrix& other) const;
    friend bool operator==(const Matrix&, const Matrix&) = default;
};

// An entry of a page's XObject map.
struct XObjectData {
    enum class Kind { Form, Image };
    Kind kind = Kind::Image;
    // Form only:
    std::string content; // decoded content stream
    FontMap fonts;       // from the form's own /Resources
    Matrix matrix;       // /Matrix
};

using XObjectMap = std::unordered_map<std::string, XObjectData>;

// Scans one decoded content stream with a fresh text state. Never fails.
ContentResult scan_content_stream_full(std::string_view data, const FontMap& fonts,
                                       const XObjectMap& xobjects, unsigned depth);

} // namespace quarvel
