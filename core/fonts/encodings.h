// The built-in encodings of simple fonts: the named encodings a font's
// /Encoding may give, PDFDocEncoding of text strings, and the encodings built
// into the Symbol and ZapfDingbats fonts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quarvel {

enum class SimpleEncoding : std::uint8_t {
    Standard,
    WinAnsi,
    MacRoman,
    MacExpert,
    PdfDoc,
    Symbol,
    ZapfDingbats,
};

// The encoding a font's /Encoding (or a differences dictionary's /BaseEncoding)
// names; nothing for any other name, including the ones that only fonts have
// built in.
std::optional<SimpleEncoding> encoding_by_name(std::string_view pdf_name);

// Glyph names by code; "" where the encoding leaves the code undefined.
const std::array<std::string_view, 256>& encoding_glyph_names(SimpleEncoding e);

// The character of each code's glyph name; 0 where the code is undefined.
const std::array<char32_t, 256>& encoding_unicode(SimpleEncoding e);

} // namespace quarvel
