#include "font.h"

namespace quarvel {

std::optional<std::string> CMap::lookup(std::string_view) const { return std::nullopt; }
CMap parse_cmap(std::string_view) { return {}; }
std::string parse_hex_tokens(std::string_view) { return {}; }
std::optional<std::size_t> find_token(std::string_view, std::size_t, std::string_view) {
    return std::nullopt;
}
char32_t FontInfo::decode_char(std::string_view) const { return 0xFFFD; }
double FontInfo::glyph_width(std::uint32_t) const { return default_width; }
FontMap build_font_map(const PdfObject&, const Document&) { return {}; }
FontInfo extract_font_info(const PdfObject&) { return {}; }
CIDFontInfo extract_cid_font_info(const PdfObject&) { return {}; }
std::optional<char32_t> glyph_name_to_unicode(std::string_view) { return std::nullopt; }

} // namespace quarvel
