// Embedded CFF font programs (/FontFile3 /Type1C and /CIDFontType0C): the
// built-in encoding and glyph names of a simple font, and the CID of each
// glyph of a CID-keyed one, for fonts with no usable ToUnicode map.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "fonts/type1.h"

namespace quarvel {

// The first font of a CFF program. It borrows the bytes given to parse,
// which must outlive it.
class CffFont {
  public:
    // Nothing when the header, the INDEXes before the charset or the Top
    // DICT cannot be read. A damaged charset or encoding leaves a font that
    // answers "nothing" for what they would have told.
    static std::optional<CffFont> parse(std::string_view program);

    // Whether the Top DICT names a registry and ordering (ROS): glyphs then
    // have CIDs rather than names, and there is no built-in encoding.
    bool is_cid_keyed() const { return cid_keyed_; }
    std::uint16_t num_glyphs() const { return static_cast<std::uint16_t>(sid_by_glyph_.size()); }

    // The built-in encoding of a simple font in the shape Type 1 programs
    // give: `standard` for Adobe's standard encoding, else glyph names by
    // code. Nothing for a CID-keyed font, the expert encoding (which no
    // text font uses), or an unreadable encoding.
    [[nodiscard]] std::optional<Type1Encoding> builtin_encoding() const;

    // A simple font's glyph name from its charset; "" when there is none.
    [[nodiscard]] std::string_view glyph_name(std::uint16_t gid) const;

    // A CID-keyed font's CID for the glyph, from its charset.
    [[nodiscard]] std::optional<std::uint16_t> cid_for_glyph(std::uint16_t gid) const;

  private:
    CffFont() = default;
    std::string_view string_for_sid(std::uint16_t sid) const;

    std::string_view data_;
    std::string_view strings_; // the String INDEX, whole
    bool cid_keyed_ = false;
    // Encoding offset from the Top DICT: 0 standard, 1 expert, else where
    // the custom encoding starts.
    std::size_t encoding_ = 0;
    // The charset read once: the SID (simple fonts) or CID of each glyph,
    // 0 where the charset is unreadable.
    std::vector<std::uint16_t> sid_by_glyph_;
};

} // namespace quarvel
