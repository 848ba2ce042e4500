// Embedded TrueType / OpenType font programs (/FontFile2, /FontFile3
// /OpenType): the character maps, glyph names and glyph count that the full
// reading mode falls back on when a font has no usable ToUnicode map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace quarvel {

// A view of one sfnt font program. It borrows the bytes given to parse, which
// must outlive it and every copy of it. Only the table directory is read up
// front; the glyph-to-Unicode map and the glyph-name index are built once, on
// first use, and shared by the copies (building them is thread-safe).
class TrueTypeFont {
  public:
    // Nothing when the bytes hold no readable table directory. A font whose
    // tables are missing or damaged still parses and answers "nothing" for
    // what they would have told.
    static std::optional<TrueTypeFont> parse(std::string_view sfnt);

    // The glyph a simple font's code selects: through the (3,0) symbol cmap
    // (trying code, then 0xF000, 0xF100 and 0xF200 + code, the pages symbol
    // fonts put their one-byte codes on), else the (1,0) Mac Roman cmap, else
    // the Unicode cmap with the code taken as a code point. Glyph 0, the
    // missing glyph, counts as nothing.
    [[nodiscard]] std::optional<std::uint16_t> glyph_for_code(std::uint32_t code) const;

    // The glyph for a Unicode code point through the (3,10) or (3,1) cmap.
    [[nodiscard]] std::optional<std::uint16_t> glyph_for_unicode(char32_t cp) const;

    // The glyph for a code through the (1,0) Mac Roman cmap alone, for the
    // non-symbolic path that maps a glyph name to a Mac Roman code first.
    [[nodiscard]] std::optional<std::uint16_t> glyph_for_mac_code(std::uint8_t code) const;

    // The code point the Unicode cmap maps to `gid`; where several do, the
    // lowest. Nothing when the font has no Unicode cmap or no code maps there.
    [[nodiscard]] std::optional<char32_t> unicode_for_glyph(std::uint16_t gid) const;

    // The glyph's name from the post table; "" when the table gives none.
    // The view points into the font's bytes or into a constant table.
    [[nodiscard]] std::string_view glyph_name(std::uint16_t gid) const;

    bool has_unicode_cmap() const { return unicode_cmap_ != 0; }
    bool has_symbol_cmap() const { return symbol_cmap_ != 0; }
    bool has_mac_roman_cmap() const { return mac_roman_cmap_ != 0; }
    // maxp's count, or 0 when the font has no readable maxp table.
    std::uint16_t num_glyphs() const { return num_glyphs_; }

    // What the program's tables say of the face: OS/2's weight class and
    // fsSelection (head's macStyle where OS/2 is missing, as subset fonts
    // often strip it), post's isFixedPitch.
    struct Style {
        std::optional<int> weight;
        bool bold = false;
        bool italic = false;
        bool fixed_pitch = false;
    };
    const Style& style() const { return style_; }

  private:
    struct Lazy;

    TrueTypeFont() = default;
    std::optional<std::uint16_t> lookup(std::size_t subtable, std::uint32_t code) const;

    std::string_view data_;
    // Offsets of subtables from the start of data_; 0 when absent (no
    // subtable can start at 0, where the sfnt header is).
    std::size_t unicode_cmap_ = 0;
    std::size_t symbol_cmap_ = 0;
    std::size_t mac_roman_cmap_ = 0;
    std::size_t cmap_end_ = 0; // end of the cmap table, clamped to the data
    std::size_t post_ = 0, post_end_ = 0;
    std::uint16_t num_glyphs_ = 0;
    Style style_;
    std::shared_ptr<Lazy> lazy_;
};

} // namespace quarvel
