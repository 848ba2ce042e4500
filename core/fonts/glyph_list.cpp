#include "fonts/glyph_list.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <unordered_map>

namespace quarvel {
namespace {

struct GlyphListEntry {
    std::uint32_t name_offset;
    // The character itself when text_length is 1, else the offset of the
    // characters in the list's sequences array.
    std::uint32_t text;
    std::uint8_t name_length;
    std::uint8_t text_length;
};

#include "fonts/glyph_list_data.inc"

struct GlyphList {
    std::string_view names;
    std::span<const GlyphListEntry> entries;
    const char32_t* sequences;

    std::string_view name_of(const GlyphListEntry& e) const {
        return names.substr(e.name_offset, e.name_length);
    }

    // Appends the characters of `entry`.
    void append(const GlyphListEntry& e, std::u32string& out) const {
        if (e.text_length == 1) {
            out.push_back(static_cast<char32_t>(e.text));
        } else {
            out.append(sequences + e.text, e.text_length);
        }
    }
};

constexpr GlyphList kAgl{kAglNames, kAglEntries, kAglSequences};
constexpr GlyphList kZapf{kZapfNames, kZapfEntries, kZapfSequences};

// A list's entries by name, hashed: every simple font looks up the names of
// all its codes, and a binary search over thousands of names costs a dozen
// string comparisons each. Built on first use, then only read.
class GlyphIndex {
  public:
    explicit GlyphIndex(const GlyphList& list) : list_(list) {
        by_name_.reserve(list.entries.size());
        for (const GlyphListEntry& e : list.entries)
            by_name_.emplace(list.name_of(e), &e);
    }

    // Appends the characters of `name` when the list has it.
    bool append(std::string_view name, std::u32string& out) const {
        const auto it = by_name_.find(name);
        if (it == by_name_.end()) return false;
        list_.append(*it->second, out);
        return true;
    }

  private:
    const GlyphList& list_;
    std::unordered_map<std::string_view, const GlyphListEntry*> by_name_;
};

const GlyphIndex& agl() {
    static const GlyphIndex index(kAgl);
    return index;
}

const GlyphIndex& zapf() {
    static const GlyphIndex index(kZapf);
    return index;
}

// Only upper-case digits count: glyph names are case-sensitive, and a name like
// "uniabcd" is some font's own name, not a character.
constexpr int upper_hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr bool is_surrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

// Reads upper-case hex digits; nothing when any is not one. Callers bound the
// length to six digits, so the value cannot overflow.
constexpr bool parse_upper_hex(std::string_view digits, char32_t& value) {
    value = 0;
    for (const char c : digits) {
        const int v = upper_hex_value(c);
        if (v < 0) return false;
        value = value * 16 + static_cast<char32_t>(v);
    }
    return true;
}

// "uni" and groups of four digits, each a BMP scalar value; the component names
// nothing when any group is not one.
bool append_uni(std::string_view digits, std::u32string& out) {
    if (digits.empty() || digits.size() % 4 != 0) return false;
    const std::size_t start = out.size();
    for (std::size_t i = 0; i < digits.size(); i += 4) {
        char32_t value = 0;
        if (!parse_upper_hex(digits.substr(i, 4), value) || is_surrogate(value)) {
            out.resize(start);
            return false;
        }
        out.push_back(value);
    }
    return true;
}

// "u" and four to six digits naming one scalar value, which may lie beyond the BMP.
bool append_u(std::string_view digits, std::u32string& out) {
    if (digits.size() < 4 || digits.size() > 6) return false;
    char32_t value = 0;
    if (!parse_upper_hex(digits, value) || value > 0x10FFFF || is_surrogate(value)) return false;
    out.push_back(value);
    return true;
}

void append_component(std::string_view component, bool dingbats, std::u32string& out) {
    if (dingbats && zapf().append(component, out)) return;
    if (agl().append(component, out)) return;
    if (component.starts_with("uni") && append_uni(component.substr(3), out)) return;
    if (component.starts_with("u")) append_u(component.substr(1), out);
}

} // namespace

std::u32string glyph_name_to_text(std::string_view name, bool dingbats) {
    // A suffix after the first period names a variant of the same characters
    // ("A.sc", "one.oldstyle"); underscores join the components of a ligature.
    name = name.substr(0, name.find('.'));
    std::u32string out;
    while (!name.empty()) {
        const std::size_t underscore = name.find('_');
        append_component(name.substr(0, underscore), dingbats, out);
        if (underscore == std::string_view::npos) break;
        name.remove_prefix(underscore + 1);
    }
    return out;
}

} // namespace quarvel
