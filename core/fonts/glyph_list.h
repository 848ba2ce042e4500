// Characters of glyph names: the Adobe Glyph List, the ITC Zapf Dingbats list
// and the glyph-name rules that give uniXXXX, uXXXXXX, suffixed and ligature
// names their characters.
#pragma once

#include <string>
#include <string_view>

namespace quarvel {

// The characters a glyph name stands for; empty when it names none. `dingbats`
// selects the Zapf Dingbats list first, for the font of that name, whose glyphs
// are named a1..a191.
std::u32string glyph_name_to_text(std::string_view name, bool dingbats = false);

} // namespace quarvel
