// Layout over arbitrary characters: the input is read as a sequence of
// characters, each four 16-bit coordinates (scaled to a page, with a few
// codes standing for NaN and the infinities) and a 16-bit character.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_input.h"
#include "layout/layout.h"

using quarvel::fuzz::coordinate;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kRecord = 10;
    std::vector<quarvel::CharInfo> chars;
    chars.reserve(size / kRecord);
    for (std::size_t off = 0; off + kRecord <= size; off += kRecord) {
        const std::uint8_t* p = data + off;
        quarvel::CharInfo c;
        c.x0 = coordinate(p);
        c.y0 = coordinate(p + 2);
        c.x1 = coordinate(p + 4);
        c.y1 = coordinate(p + 6);
        const char32_t ch = char32_t(p[8]) << 8 | p[9];
        // Keep characters scalar values: surrogates never leave the decoder.
        c.ch = (ch >= 0xD800 && ch <= 0xDFFF) ? U'\uFFFD' : ch;
        chars.push_back(c);
    }
    auto blocks = quarvel::cluster_chars(chars, "F1", 0, 12.0);
    (void)blocks;
    return 0;
}
