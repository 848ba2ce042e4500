#include "fonts/truetype.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <vector>

namespace quarvel {

namespace {

// Mappings the glyph-to-Unicode map reads from a cmap subtable. Every
// Unicode scalar value once is 0x110000; a format 4 subtable of overlapping
// segments, or format 12 groups repeating one huge range, could otherwise
// make the font cost billions of steps. Real subtables list each code once,
// so none comes near twice that.
constexpr std::uint32_t kMaxReverseMappings = 0x220000;

// Names read from a format 2 post table's string pool. A name index is 16
// bits, so no glyph can refer past 65535 - 258 pool names; the scan stops
// there whatever the pool's length claims.
constexpr std::size_t kMaxPostNames = 65536 - 258;

// The glyph-to-Unicode map and the post name pool are as large as the glyph
// count, which is 16 bits: at most 65536 entries of 4 and 16 bytes.
constexpr std::size_t kMaxGlyphs = 65536;

constexpr char32_t kNoChar = 0xFFFFFFFF;

// The 258 glyph names of the standard Macintosh glyph order, which post
// formats 1, 2 and 2.5 index.
// clang-format off
constexpr std::array<std::string_view, 258> kMacGlyphNames = {
    ".notdef", ".null", "nonmarkingreturn", "space", "exclam", "quotedbl", "numbersign", "dollar",
    "percent", "ampersand", "quotesingle", "parenleft", "parenright", "asterisk", "plus", "comma",
    "hyphen", "period", "slash", "zero", "one", "two", "three", "four", "five", "six", "seven",
    "eight", "nine", "colon", "semicolon", "less", "equal", "greater", "question", "at", "A", "B",
    "C", "D", "E", "F", "G", "H", "I", "J", "K", "L", "M", "N", "O", "P", "Q", "R", "S", "T", "U",
    "V", "W", "X", "Y", "Z", "bracketleft", "backslash", "bracketright", "asciicircum",
    "underscore", "grave", "a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n",
    "o", "p", "q", "r", "s", "t", "u", "v", "w", "x", "y", "z", "braceleft", "bar", "braceright",
    "asciitilde", "Adieresis", "Aring", "Ccedilla", "Eacute", "Ntilde", "Odieresis", "Udieresis",
    "aacute", "agrave", "acircumflex", "adieresis", "atilde", "aring", "ccedilla", "eacute",
    "egrave", "ecircumflex", "edieresis", "iacute", "igrave", "icircumflex", "idieresis",
    "ntilde", "oacute", "ograve", "ocircumflex", "odieresis", "otilde", "uacute", "ugrave",
    "ucircumflex", "udieresis", "dagger", "degree", "cent", "sterling", "section", "bullet",
    "paragraph", "germandbls", "registered", "copyright", "trademark", "acute", "dieresis",
    "notequal", "AE", "Oslash", "infinity", "plusminus", "lessequal", "greaterequal", "yen", "mu",
    "partialdiff", "summation", "product", "pi", "integral", "ordfeminine", "ordmasculine",
    "Omega", "ae", "oslash", "questiondown", "exclamdown", "logicalnot", "radical", "florin",
    "approxequal", "Delta", "guillemotleft", "guillemotright", "ellipsis", "nonbreakingspace",
    "Agrave", "Atilde", "Otilde", "OE", "oe", "endash", "emdash", "quotedblleft", "quotedblright",
    "quoteleft", "quoteright", "divide", "lozenge", "ydieresis", "Ydieresis", "fraction",
    "currency", "guilsinglleft", "guilsinglright", "fi", "fl", "daggerdbl", "periodcentered",
    "quotesinglbase", "quotedblbase", "perthousand", "Acircumflex", "Ecircumflex", "Aacute",
    "Edieresis", "Egrave", "Iacute", "Icircumflex", "Idieresis", "Igrave", "Oacute",
    "Ocircumflex", "apple", "Ograve", "Uacute", "Ucircumflex", "Ugrave", "dotlessi", "circumflex",
    "tilde", "macron", "breve", "dotaccent", "ring", "cedilla", "hungarumlaut", "ogonek", "caron",
    "Lslash", "lslash", "Scaron", "scaron", "Zcaron", "zcaron", "brokenbar", "Eth", "eth",
    "Yacute", "yacute", "Thorn", "thorn", "minus", "multiply", "onesuperior", "twosuperior",
    "threesuperior", "onehalf", "onequarter", "threequarters", "franc", "Gbreve", "gbreve",
    "Idotaccent", "Scedilla", "scedilla", "Cacute", "cacute", "Ccaron", "ccaron", "dcroat",
};
// clang-format on

// Whether n bytes from off lie in a view of `size` bytes, without the sum
// wrapping.
bool fits(std::size_t size, std::size_t off, std::size_t n) {
    std::size_t end = 0;
    return !__builtin_add_overflow(off, n, &end) && end <= size;
}

// Big-endian reads; callers check the bounds with fits first.
std::uint16_t be16(std::string_view d, std::size_t off) {
    return static_cast<std::uint16_t>((static_cast<unsigned char>(d[off]) << 8) |
                                      static_cast<unsigned char>(d[off + 1]));
}

std::uint32_t be32(std::string_view d, std::size_t off) {
    return (std::uint32_t{be16(d, off)} << 16) | be16(d, off + 2);
}

constexpr std::uint32_t tag(const char (&t)[5]) {
    return (std::uint32_t(static_cast<unsigned char>(t[0])) << 24) |
           (std::uint32_t(static_cast<unsigned char>(t[1])) << 16) |
           (std::uint32_t(static_cast<unsigned char>(t[2])) << 8) |
           std::uint32_t(static_cast<unsigned char>(t[3]));
}

// The subtable formats a PDF font's codes go through. Format 2 (mixed 8/16
// bit) and 8/10 are left out: no producer embeds them in /FontFile2.
bool supported_format(std::uint16_t format) {
    return format == 0 || format == 4 || format == 6 || format == 12;
}

// The parts of a format 4 subtable at `sub`, whose arrays must lie before
// `end`: the cmap table's end rather than the subtable's length field, which
// fonts with many segments overflow (it is 16 bits) or get wrong.
struct Format4 {
    std::size_t seg_count = 0;
    std::size_t ends = 0, starts = 0, deltas = 0, range_offsets = 0;
};

std::optional<Format4> format4(std::string_view d, std::size_t sub, std::size_t end) {
    if (!fits(end, sub, 14)) return std::nullopt;
    Format4 f;
    f.seg_count = be16(d, sub + 6) / 2;
    f.ends = sub + 14;
    f.starts = f.ends + 2 * f.seg_count + 2; // past reservedPad
    f.deltas = f.starts + 2 * f.seg_count;
    f.range_offsets = f.deltas + 2 * f.seg_count;
    if (!fits(end, f.range_offsets, 2 * f.seg_count)) return std::nullopt;
    return f;
}

// The glyph segment i gives `code` (which the caller knows lies in it).
std::uint16_t format4_glyph(std::string_view d, std::size_t end, const Format4& f, std::size_t i,
                            std::uint32_t code) {
    const std::uint16_t delta = be16(d, f.deltas + 2 * i);
    const std::size_t ro_at = f.range_offsets + 2 * i;
    const std::uint16_t ro = be16(d, ro_at);
    if (ro == 0) return static_cast<std::uint16_t>(code + delta);
    // The offset is relative to the idRangeOffset entry itself.
    const std::size_t at = ro_at + ro + 2 * (code - be16(d, f.starts + 2 * i));
    if (!fits(end, at, 2)) return 0;
    const std::uint16_t g = be16(d, at);
    return g == 0 ? 0 : static_cast<std::uint16_t>(g + delta);
}

// Format 12 groups at `sub`, as many as lie before `end`.
std::pair<std::size_t, std::size_t> format12_groups(std::string_view d, std::size_t sub,
                                                    std::size_t end) {
    if (!fits(end, sub, 16)) return {0, 0};
    const std::size_t in_table = (end - sub - 16) / 12;
    return {sub + 16, std::min<std::size_t>(be32(d, sub + 12), in_table)};
}

std::uint16_t lookup_subtable(std::string_view d, std::size_t sub, std::size_t end,
                              std::uint32_t code) {
    switch (be16(d, sub)) {
    case 0:
        return code < 256 && fits(end, sub + 6, 256) ? static_cast<unsigned char>(d[sub + 6 + code])
                                                     : 0;
    case 6: {
        if (!fits(end, sub, 10)) return 0;
        const std::uint32_t first = be16(d, sub + 6);
        const std::uint32_t count = be16(d, sub + 8);
        if (code < first || code - first >= count) return 0;
        const std::size_t at = sub + 10 + 2 * std::size_t{code - first};
        return fits(end, at, 2) ? be16(d, at) : 0;
    }
    case 4: {
        const auto f = format4(d, sub, end);
        if (!f || code > 0xFFFF) return 0;
        // Segments are sorted by end code: the first ending at or after the
        // code is the only one that can hold it.
        std::size_t lo = 0, hi = f->seg_count;
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (be16(d, f->ends + 2 * mid) < code)
                lo = mid + 1;
            else
                hi = mid;
        }
        if (lo == f->seg_count || be16(d, f->starts + 2 * lo) > code) return 0;
        return format4_glyph(d, end, *f, lo, code);
    }
    case 12: {
        const auto [groups, n] = format12_groups(d, sub, end);
        std::size_t lo = 0, hi = n;
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (be32(d, groups + 12 * mid + 4) < code)
                lo = mid + 1;
            else
                hi = mid;
        }
        if (lo == n) return 0;
        const std::size_t g = groups + 12 * lo;
        const std::uint32_t start = be32(d, g);
        if (start > code) return 0;
        const std::uint64_t glyph = std::uint64_t{be32(d, g + 8)} + (code - start);
        return glyph < kMaxGlyphs ? static_cast<std::uint16_t>(glyph) : 0;
    }
    default:
        return 0;
    }
}

// Calls f(code, glyph) for the subtable's mappings, at most
// kMaxReverseMappings of them.
template <class F>
void for_each_mapping(std::string_view d, std::size_t sub, std::size_t end, F&& f) {
    std::uint32_t budget = kMaxReverseMappings;
    switch (be16(d, sub)) {
    case 4: {
        const auto fmt = format4(d, sub, end);
        if (!fmt) return;
        for (std::size_t i = 0; i < fmt->seg_count; ++i) {
            const std::uint32_t first = be16(d, fmt->starts + 2 * i);
            // 0xFFFF closes the last segment and maps nothing.
            const std::uint32_t last = std::min<std::uint32_t>(be16(d, fmt->ends + 2 * i), 0xFFFE);
            for (std::uint32_t c = first; c <= last; ++c) {
                if (budget-- == 0) return;
                f(c, format4_glyph(d, end, *fmt, i, c));
            }
        }
        return;
    }
    case 12: {
        const auto [groups, n] = format12_groups(d, sub, end);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t g = groups + 12 * i;
            const std::uint32_t first = be32(d, g);
            const std::uint32_t last = std::min<std::uint32_t>(be32(d, g + 4), 0x10FFFF);
            const std::uint32_t glyph = be32(d, g + 8);
            for (std::uint32_t c = first; c <= last; ++c) {
                if (budget-- == 0) return;
                const std::uint64_t gid = std::uint64_t{glyph} + (c - first);
                if (gid >= kMaxGlyphs) break;
                f(c, static_cast<std::uint16_t>(gid));
            }
        }
        return;
    }
    case 6: {
        if (!fits(end, sub, 10)) return;
        const std::uint32_t first = be16(d, sub + 6);
        for (std::uint32_t c = first, n = be16(d, sub + 8); c < first + n; ++c) {
            f(c, lookup_subtable(d, sub, end, c));
        }
        return;
    }
    default: // format 0
        for (std::uint32_t c = 0; c < 256; ++c)
            f(c, lookup_subtable(d, sub, end, c));
        return;
    }
}

} // namespace

struct TrueTypeFont::Lazy {
    std::once_flag unicode_once;
    std::vector<char32_t> unicode_by_glyph; // kNoChar where no code maps
    std::once_flag names_once;
    std::vector<std::string_view> post_pool; // format 2 names past the standard 258
};

std::optional<TrueTypeFont> TrueTypeFont::parse(std::string_view sfnt) {
    const std::string_view d = sfnt;
    if (!fits(d.size(), 0, 12)) return std::nullopt;
    std::size_t base = 0;
    // A collection embedded whole: its first font is the one PDF producers
    // mean, and its table offsets count from the start of the collection.
    if (be32(d, 0) == tag("ttcf")) {
        if (!fits(d.size(), 12, 4)) return std::nullopt;
        base = be32(d, 12);
        if (!fits(d.size(), base, 12)) return std::nullopt;
    }
    const std::size_t num_tables = be16(d, base + 4);
    TrueTypeFont font;
    font.data_ = d;
    bool known = false;
    std::size_t cmap = 0, cmap_end = 0;
    std::optional<std::uint16_t> fs_selection, mac_style;
    for (std::size_t i = 0; i < num_tables; ++i) {
        const std::size_t rec = base + 12 + 16 * i;
        // A truncated program keeps the entries that survived.
        if (!fits(d.size(), rec, 16)) break;
        const std::uint32_t t = be32(d, rec);
        const std::size_t off = be32(d, rec + 8);
        if (off == 0 || off >= d.size()) continue;
        std::size_t end = 0;
        if (__builtin_add_overflow(off, std::size_t{be32(d, rec + 12)}, &end) || end > d.size()) {
            end = d.size();
        }
        if (t == tag("cmap") && cmap == 0) {
            cmap = off, cmap_end = end, known = true;
        } else if (t == tag("post") && font.post_ == 0) {
            font.post_ = off, font.post_end_ = end, known = true;
        } else if (t == tag("maxp") && font.num_glyphs_ == 0) {
            known = true;
            if (fits(end, off, 6)) font.num_glyphs_ = be16(d, off + 4);
        } else if (t == tag("OS/2")) {
            // usWeightClass at 4, fsSelection at 62 (every version).
            if (fits(end, off, 6)) font.style_.weight = be16(d, off + 4);
            if (fits(end, off, 64)) fs_selection = be16(d, off + 62);
        } else if (t == tag("head")) {
            known = true;
            if (fits(end, off, 46)) mac_style = be16(d, off + 44);
        } else if (t == tag("glyf") || t == tag("loca") || t == tag("hmtx") ||
                   t == tag("CFF ")) {
            known = true;
        }
    }
    if (!known) return std::nullopt;

    // fsSelection: italic 1, bold 32, oblique 512; macStyle: bold 1, italic 2.
    if (fs_selection) {
        font.style_.bold = (*fs_selection & 32) != 0;
        font.style_.italic = (*fs_selection & (1 | 512)) != 0;
    } else if (mac_style) {
        font.style_.bold = (*mac_style & 1) != 0;
        font.style_.italic = (*mac_style & 2) != 0;
    }
    if (font.post_ != 0 && fits(font.post_end_, font.post_, 16)) {
        font.style_.fixed_pitch = be32(d, font.post_ + 12) != 0;
    }

    font.cmap_end_ = cmap_end;
    std::size_t unicode_full = 0; // (3,10): the whole repertoire, preferred
    std::size_t unicode_bmp = 0, unicode_platform0 = 0;
    if (cmap != 0 && fits(cmap_end, cmap, 4)) {
        const std::size_t records = be16(d, cmap + 2);
        for (std::size_t i = 0; i < records; ++i) {
            const std::size_t rec = cmap + 4 + 8 * i;
            if (!fits(cmap_end, rec, 8)) break;
            const std::uint16_t platform = be16(d, rec);
            const std::uint16_t encoding = be16(d, rec + 2);
            const std::size_t sub = cmap + be32(d, rec + 4);
            if (!fits(cmap_end, sub, 2) || !supported_format(be16(d, sub))) continue;
            std::size_t* slot = nullptr;
            if (platform == 3 && encoding == 0)
                slot = &font.symbol_cmap_;
            else if (platform == 3 && encoding == 1)
                slot = &unicode_bmp;
            else if (platform == 3 && encoding == 10)
                slot = &unicode_full;
            else if (platform == 1 && encoding == 0)
                slot = &font.mac_roman_cmap_;
            else if (platform == 0)
                slot = &unicode_platform0;
            if (slot != nullptr && *slot == 0) *slot = sub;
        }
    }
    font.unicode_cmap_ = unicode_full != 0  ? unicode_full
                         : unicode_bmp != 0 ? unicode_bmp
                                            : unicode_platform0;
    font.lazy_ = std::make_shared<Lazy>();
    return font;
}

std::optional<std::uint16_t> TrueTypeFont::lookup(std::size_t subtable, std::uint32_t code) const {
    if (subtable == 0) return std::nullopt;
    const std::uint16_t g = lookup_subtable(data_, subtable, cmap_end_, code);
    if (g == 0) return std::nullopt;
    return g;
}

std::optional<std::uint16_t> TrueTypeFont::glyph_for_code(std::uint32_t code) const {
    if (symbol_cmap_ != 0) {
        if (auto g = lookup(symbol_cmap_, code)) return g;
        if (code <= 0xFF) {
            for (std::uint32_t page : {0xF000u, 0xF100u, 0xF200u}) {
                if (auto g = lookup(symbol_cmap_, page + code)) return g;
            }
        }
    }
    if (auto g = lookup(mac_roman_cmap_, code)) return g;
    return lookup(unicode_cmap_, code);
}

std::optional<std::uint16_t> TrueTypeFont::glyph_for_unicode(char32_t cp) const {
    return lookup(unicode_cmap_, cp);
}

std::optional<std::uint16_t> TrueTypeFont::glyph_for_mac_code(std::uint8_t code) const {
    return lookup(mac_roman_cmap_, code);
}

std::optional<char32_t> TrueTypeFont::unicode_for_glyph(std::uint16_t gid) const {
    if (unicode_cmap_ == 0 || gid == 0) return std::nullopt;
    Lazy& l = *lazy_;
    std::call_once(l.unicode_once, [&] {
        l.unicode_by_glyph.assign(num_glyphs_ != 0 ? num_glyphs_ : kMaxGlyphs, kNoChar);
        for_each_mapping(data_, unicode_cmap_, cmap_end_, [&](std::uint32_t c, std::uint16_t g) {
            if (g < l.unicode_by_glyph.size() && c < l.unicode_by_glyph[g] &&
                (c < 0xD800 || c > 0xDFFF)) {
                l.unicode_by_glyph[g] = c;
            }
        });
    });
    if (gid >= l.unicode_by_glyph.size() || l.unicode_by_glyph[gid] == kNoChar) {
        return std::nullopt;
    }
    return l.unicode_by_glyph[gid];
}

std::string_view TrueTypeFont::glyph_name(std::uint16_t gid) const {
    const std::string_view d = data_;
    if (post_ == 0 || !fits(post_end_, post_, 32)) return {};
    const std::uint32_t version = be32(d, post_);
    if (version == 0x00010000) return gid < kMacGlyphNames.size() ? kMacGlyphNames[gid] : "";
    const std::size_t count_at = post_ + 32;
    if (!fits(post_end_, count_at, 2) || gid >= be16(d, count_at)) return {};
    if (version == 0x00025000) {
        // Each glyph's name is the standard one a signed byte away.
        if (!fits(post_end_, count_at + 2 + gid, 1)) return {};
        const int index = int{gid} + static_cast<signed char>(d[count_at + 2 + gid]);
        return index >= 0 && std::size_t(index) < kMacGlyphNames.size() ? kMacGlyphNames[index]
                                                                        : "";
    }
    if (version != 0x00020000) return {};
    const std::size_t count = be16(d, count_at);
    const std::size_t index_at = count_at + 2 + 2 * std::size_t{gid};
    if (!fits(post_end_, index_at, 2)) return {};
    const std::size_t index = be16(d, index_at);
    if (index < kMacGlyphNames.size()) return kMacGlyphNames[index];
    Lazy& l = *lazy_;
    std::call_once(l.names_once, [&] {
        // The pool of Pascal strings follows the index array.
        std::size_t at = count_at + 2 + 2 * count;
        while (l.post_pool.size() < kMaxPostNames && fits(post_end_, at, 1)) {
            const std::size_t len = static_cast<unsigned char>(d[at]);
            if (!fits(post_end_, at + 1, len)) break;
            l.post_pool.push_back(d.substr(at + 1, len));
            at += 1 + len;
        }
    });
    const std::size_t pool_index = index - kMacGlyphNames.size();
    return pool_index < l.post_pool.size() ? l.post_pool[pool_index] : "";
}

} // namespace quarvel
