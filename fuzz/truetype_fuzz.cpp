// Embedded TrueType / OpenType font programs: the input is the decoded
// /FontFile2 stream; every query the font code makes is run over codes and
// glyph ids taken from the input and over the edges of their ranges.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fonts/truetype.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto font = quarvel::TrueTypeFont::parse(bytes);
    if (!font) return 0;
    for (std::uint32_t c :
         {0u, 0x20u, 0x41u, 0xFFu, 0xF041u, 0xFFFEu, 0xFFFFu, 0x10000u, 0x10FFFFu, 0xFFFFFFFFu}) {
        (void)font->glyph_for_code(c);
        (void)font->glyph_for_unicode(c);
    }
    const std::size_t probes = size < 256 ? size : 256;
    for (std::size_t i = 0; i + 1 < probes; i += 2) {
        const auto v = static_cast<std::uint16_t>((data[i] << 8) | data[i + 1]);
        (void)font->glyph_for_code(v);
        (void)font->glyph_for_code(data[i]);
        (void)font->glyph_for_mac_code(data[i]);
        (void)font->unicode_for_glyph(v);
        (void)font->glyph_name(v);
        (void)font->glyph_name(data[i]);
    }
    (void)font->unicode_for_glyph(0xFFFF);
    (void)font->glyph_name(0xFFFF);
    return 0;
}
