// Embedded CFF font programs: the input is the decoded /FontFile3 stream
// (Type1C or CIDFontType0C), read for its charset and built-in encoding.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fonts/cff.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto font = quarvel::CffFont::parse(bytes);
    if (!font) return 0;
    (void)font->builtin_encoding();
    const std::uint32_t glyphs = font->num_glyphs();
    for (std::uint32_t g = 0; g <= glyphs && g < 4096; ++g) {
        (void)font->glyph_name(static_cast<std::uint16_t>(g));
        (void)font->cid_for_glyph(static_cast<std::uint16_t>(g));
    }
    (void)font->glyph_name(0xFFFF);
    return 0;
}
