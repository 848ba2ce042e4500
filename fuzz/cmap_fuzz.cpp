// ToUnicode CMap parsing and lookup, by the compact and the full reader's
// parse: the input is the CMap stream; every
// one- and two-byte code taken from the input itself is then looked up and
// decoded through a font that carries the map.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fonts/font.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    quarvel::FontInfo font;
    font.to_unicode = quarvel::parse_cmap(bytes);
    font.is_type0 = (size % 2) == 0;
    const quarvel::CMap& cmap = *font.to_unicode;

    // Codes from the input reach the ranges the input declared far more
    // often than random codes would.
    const std::size_t probes = size < 512 ? size : 512;
    for (std::size_t i = 0; i < probes; ++i) {
        const std::string_view one = bytes.substr(i, 1);
        const std::string_view two = bytes.substr(i, 2);
        (void)cmap.lookup(one);
        (void)cmap.lookup(two);
        (void)font.decode_char(one);
        (void)font.decode_char(two);
    }
    (void)cmap.lookup(std::string_view());
    (void)font.decode_char(std::string_view());
    (void)quarvel::parse_hex_tokens(bytes.substr(0, 64));

    // The full reader's parse of the same text, and its multi-character
    // lookups.
    const quarvel::CMap full = quarvel::parse_cmap(bytes, quarvel::ReadOptions::full_reader());
    for (std::size_t i = 0; i < probes; ++i) {
        for (std::size_t n = 1; n <= 4; ++n) (void)full.lookup_text(bytes.substr(i, n));
    }
    (void)quarvel::destination_text(bytes.substr(0, 64));
    (void)quarvel::find_token(bytes, size / 2, "begincidrange");
    return 0;
}
