// An image XObject as 8-bit samples a PNG writer takes as they are: grey or
// RGB, with its soft mask as alpha.
#pragma once

#include <cstdint>
#include <string>

#include "file/document.h"

namespace quarvel {

struct ImagePixels {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    // 1 grey, 2 grey and alpha, 3 RGB, 4 RGB and alpha; 0 when the colours
    // could not be made (JPEG or JPEG 2000 data, an unread colour space).
    std::uint8_t channels = 0;
    std::string samples; // rows top to bottom, width * channels bytes each
    // With channels 0 only: the soft mask as grey samples at the image's
    // size, so the data as stored can be written with its mask beside it.
    std::string mask;
};

// The image behind object `xref`. ICCBased spaces are read by their /N
// (1 grey, 3 RGB, 4 CMYK) or else their /Alternate; Indexed spaces through
// their lookup; CMYK is turned into RGB without a profile; 16-bit samples
// keep their high byte. /Decode arrays are not applied. A soft mask of
// another size is scaled to the image's by nearest neighbour. An error
// when `xref` is not an image or its pixels exceed the limits.
Result<ImagePixels> read_image_pixels(const Document& document, std::uint32_t xref);

} // namespace quarvel
