#include "fonts/cff.h"

#include <array>

namespace quarvel {

namespace {

// Operands a DICT operator takes. The format's own limit is 48; more
// operands than that mean the DICT is not one.
constexpr std::size_t kMaxDictOperands = 48;

// The 391 strings every CFF program shares: SIDs below this count name
// them, and String INDEX entries follow.
// clang-format off
constexpr std::array<std::string_view, 391> kStandardStrings = {
    ".notdef", "space", "exclam", "quotedbl", "numbersign", "dollar", "percent", "ampersand",
    "quoteright", "parenleft", "parenright", "asterisk", "plus", "comma", "hyphen", "period",
    "slash", "zero", "one", "two", "three", "four", "five", "six", "seven", "eight", "nine",
    "colon", "semicolon", "less", "equal", "greater", "question", "at", "A", "B", "C", "D", "E",
    "F", "G", "H", "I", "J", "K", "L", "M", "N", "O", "P", "Q", "R", "S", "T", "U", "V", "W", "X",
    "Y", "Z", "bracketleft", "backslash", "bracketright", "asciicircum", "underscore",
    "quoteleft", "a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n", "o", "p",
    "q", "r", "s", "t", "u", "v", "w", "x", "y", "z", "braceleft", "bar", "braceright",
    "asciitilde", "exclamdown", "cent", "sterling", "fraction", "yen", "florin", "section",
    "currency", "quotesingle", "quotedblleft", "guillemotleft", "guilsinglleft", "guilsinglright",
    "fi", "fl", "endash", "dagger", "daggerdbl", "periodcentered", "paragraph", "bullet",
    "quotesinglbase", "quotedblbase", "quotedblright", "guillemotright", "ellipsis",
    "perthousand", "questiondown", "grave", "acute", "circumflex", "tilde", "macron", "breve",
    "dotaccent", "dieresis", "ring", "cedilla", "hungarumlaut", "ogonek", "caron", "emdash", "AE",
    "ordfeminine", "Lslash", "Oslash", "OE", "ordmasculine", "ae", "dotlessi", "lslash", "oslash",
    "oe", "germandbls", "onesuperior", "logicalnot", "mu", "trademark", "Eth", "onehalf",
    "plusminus", "Thorn", "onequarter", "divide", "brokenbar", "degree", "thorn", "threequarters",
    "twosuperior", "registered", "minus", "eth", "multiply", "threesuperior", "copyright",
    "Aacute", "Acircumflex", "Adieresis", "Agrave", "Aring", "Atilde", "Ccedilla", "Eacute",
    "Ecircumflex", "Edieresis", "Egrave", "Iacute", "Icircumflex", "Idieresis", "Igrave",
    "Ntilde", "Oacute", "Ocircumflex", "Odieresis", "Ograve", "Otilde", "Scaron", "Uacute",
    "Ucircumflex", "Udieresis", "Ugrave", "Yacute", "Ydieresis", "Zcaron", "aacute",
    "acircumflex", "adieresis", "agrave", "aring", "atilde", "ccedilla", "eacute", "ecircumflex",
    "edieresis", "egrave", "iacute", "icircumflex", "idieresis", "igrave", "ntilde", "oacute",
    "ocircumflex", "odieresis", "ograve", "otilde", "scaron", "uacute", "ucircumflex",
    "udieresis", "ugrave", "yacute", "ydieresis", "zcaron", "exclamsmall", "Hungarumlautsmall",
    "dollaroldstyle", "dollarsuperior", "ampersandsmall", "Acutesmall", "parenleftsuperior",
    "parenrightsuperior", "twodotenleader", "onedotenleader", "zerooldstyle", "oneoldstyle",
    "twooldstyle", "threeoldstyle", "fouroldstyle", "fiveoldstyle", "sixoldstyle",
    "sevenoldstyle", "eightoldstyle", "nineoldstyle", "commasuperior", "threequartersemdash",
    "periodsuperior", "questionsmall", "asuperior", "bsuperior", "centsuperior", "dsuperior",
    "esuperior", "isuperior", "lsuperior", "msuperior", "nsuperior", "osuperior", "rsuperior",
    "ssuperior", "tsuperior", "ff", "ffi", "ffl", "parenleftinferior", "parenrightinferior",
    "Circumflexsmall", "hyphensuperior", "Gravesmall", "Asmall", "Bsmall", "Csmall", "Dsmall",
    "Esmall", "Fsmall", "Gsmall", "Hsmall", "Ismall", "Jsmall", "Ksmall", "Lsmall", "Msmall",
    "Nsmall", "Osmall", "Psmall", "Qsmall", "Rsmall", "Ssmall", "Tsmall", "Usmall", "Vsmall",
    "Wsmall", "Xsmall", "Ysmall", "Zsmall", "colonmonetary", "onefitted", "rupiah", "Tildesmall",
    "exclamdownsmall", "centoldstyle", "Lslashsmall", "Scaronsmall", "Zcaronsmall",
    "Dieresissmall", "Brevesmall", "Caronsmall", "Dotaccentsmall", "Macronsmall", "figuredash",
    "hypheninferior", "Ogoneksmall", "Ringsmall", "Cedillasmall", "questiondownsmall",
    "oneeighth", "threeeighths", "fiveeighths", "seveneighths", "onethird", "twothirds",
    "zerosuperior", "foursuperior", "fivesuperior", "sixsuperior", "sevensuperior",
    "eightsuperior", "ninesuperior", "zeroinferior", "oneinferior", "twoinferior",
    "threeinferior", "fourinferior", "fiveinferior", "sixinferior", "seveninferior",
    "eightinferior", "nineinferior", "centinferior", "dollarinferior", "periodinferior",
    "commainferior", "Agravesmall", "Aacutesmall", "Acircumflexsmall", "Atildesmall",
    "Adieresissmall", "Aringsmall", "AEsmall", "Ccedillasmall", "Egravesmall", "Eacutesmall",
    "Ecircumflexsmall", "Edieresissmall", "Igravesmall", "Iacutesmall", "Icircumflexsmall",
    "Idieresissmall", "Ethsmall", "Ntildesmall", "Ogravesmall", "Oacutesmall", "Ocircumflexsmall",
    "Otildesmall", "Odieresissmall", "OEsmall", "Oslashsmall", "Ugravesmall", "Uacutesmall",
    "Ucircumflexsmall", "Udieresissmall", "Yacutesmall", "Thornsmall", "Ydieresissmall",
    "001.000", "001.001", "001.002", "001.003", "Black", "Bold", "Book", "Light", "Medium",
    "Regular", "Roman", "Semibold",
};
// clang-format on

bool fits(std::size_t size, std::size_t off, std::size_t n) {
    std::size_t end = 0;
    return !__builtin_add_overflow(off, n, &end) && end <= size;
}

std::uint32_t be(std::string_view d, std::size_t off, std::size_t n) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < n; ++i)
        v = (v << 8) | static_cast<unsigned char>(d[off + i]);
    return v;
}

// An INDEX: a count, an offset size and count + 1 offsets (from 1) into the
// data that follows them.
struct Index {
    std::size_t count = 0;
    std::size_t off_size = 0;
    std::size_t offsets = 0; // where the offset array starts
    std::size_t data = 0;    // where offset 1 points
    std::size_t end = 0;     // just past the INDEX

    // Element i, or empty when its offsets point outside the INDEX data.
    std::string_view at(std::string_view d, std::size_t i) const {
        if (i >= count) return {};
        const std::size_t lo = be(d, offsets + i * off_size, off_size);
        const std::size_t hi = be(d, offsets + (i + 1) * off_size, off_size);
        if (lo < 1 || hi < lo || data - 1 + hi > end) return {};
        return d.substr(data - 1 + lo, hi - lo);
    }
};

std::optional<Index> read_index(std::string_view d, std::size_t at) {
    if (!fits(d.size(), at, 2)) return std::nullopt;
    Index ix;
    ix.count = be(d, at, 2);
    if (ix.count == 0) {
        ix.end = at + 2; // an empty INDEX is its count alone
        return ix;
    }
    if (!fits(d.size(), at + 2, 1)) return std::nullopt;
    ix.off_size = static_cast<unsigned char>(d[at + 2]);
    if (ix.off_size < 1 || ix.off_size > 4) return std::nullopt;
    ix.offsets = at + 3;
    if (!fits(d.size(), ix.offsets, (ix.count + 1) * ix.off_size)) return std::nullopt;
    ix.data = ix.offsets + (ix.count + 1) * ix.off_size;
    const std::size_t last = be(d, ix.offsets + ix.count * ix.off_size, ix.off_size);
    if (last < 1 || !fits(d.size(), ix.data, last - 1)) return std::nullopt;
    ix.end = ix.data + last - 1;
    return ix;
}

// The Top DICT entries read here. Offsets are from the start of the program.
struct TopDict {
    std::size_t charset = 0;  // 0 ISOAdobe, 1 Expert, 2 ExpertSubset, else offset
    std::size_t encoding = 0; // 0 Standard, 1 Expert, else offset
    std::size_t charstrings = 0;
    bool ros = false;
};

std::optional<TopDict> read_top_dict(std::string_view dict) {
    TopDict top;
    std::array<std::int64_t, kMaxDictOperands> ops{};
    std::size_t n = 0;
    const auto first = [&]() -> std::size_t {
        return n >= 1 && ops[0] >= 0 ? static_cast<std::size_t>(ops[0]) : 0;
    };
    for (std::size_t i = 0; i < dict.size();) {
        const unsigned b0 = static_cast<unsigned char>(dict[i]);
        const std::size_t left = dict.size() - i;
        if (b0 <= 21) { // an operator
            unsigned op = b0;
            if (b0 == 12) {
                if (left < 2) break;
                op = 1200 + static_cast<unsigned char>(dict[i + 1]);
                ++i;
            }
            ++i;
            if (op == 15)
                top.charset = first();
            else if (op == 16)
                top.encoding = first();
            else if (op == 17)
                top.charstrings = first();
            else if (op == 1230)
                top.ros = true;
            n = 0;
            continue;
        }
        std::int64_t v = 0;
        if (b0 == 28 && left >= 3) {
            v = static_cast<std::int16_t>(be(dict, i + 1, 2)), i += 3;
        } else if (b0 == 29 && left >= 5) {
            v = static_cast<std::int32_t>(be(dict, i + 1, 4)), i += 5;
        } else if (b0 == 30) {
            // A real: nibbles up to an 0xF nibble. No entry read here is one.
            ++i;
            while (i < dict.size() && (static_cast<unsigned char>(dict[i]) & 0x0F) != 0x0F &&
                   (static_cast<unsigned char>(dict[i]) & 0xF0) != 0xF0) {
                ++i;
            }
            ++i;
        } else if (b0 >= 32 && b0 <= 246) {
            v = std::int64_t{b0} - 139, i += 1;
        } else if (b0 >= 247 && b0 <= 250 && left >= 2) {
            v = (std::int64_t{b0} - 247) * 256 + static_cast<unsigned char>(dict[i + 1]) + 108;
            i += 2;
        } else if (b0 >= 251 && b0 <= 254 && left >= 2) {
            v = -(std::int64_t{b0} - 251) * 256 - static_cast<unsigned char>(dict[i + 1]) - 108;
            i += 2;
        } else {
            return std::nullopt; // a reserved byte, or an operand cut short
        }
        if (n == kMaxDictOperands) return std::nullopt;
        ops[n++] = v;
    }
    return top;
}

// The SID (or CID) of each glyph from the charset; glyph 0 is .notdef and
// not listed. A charset cut short leaves the rest 0.
std::vector<std::uint16_t> read_charset(std::string_view d, std::size_t charset,
                                        std::size_t glyphs) {
    std::vector<std::uint16_t> sids(glyphs, 0);
    if (charset == 0) {
        // ISOAdobe: glyph i is SID i, for the 229 glyphs it covers.
        for (std::size_t g = 0; g < glyphs && g <= 228; ++g)
            sids[g] = static_cast<std::uint16_t>(g);
        return sids;
    }
    if (charset <= 2 || !fits(d.size(), charset, 1)) return sids; // the expert sets: no names
    const unsigned format = static_cast<unsigned char>(d[charset]);
    std::size_t at = charset + 1;
    std::size_t g = 1;
    if (format == 0) {
        for (; g < glyphs && fits(d.size(), at, 2); ++g, at += 2)
            sids[g] = be(d, at, 2);
    } else if (format == 1 || format == 2) {
        const std::size_t left_size = format == 1 ? 1 : 2;
        // Every range names at least one glyph, so this loop ends within
        // `glyphs` ranges.
        while (g < glyphs && fits(d.size(), at, 2 + left_size)) {
            const std::uint32_t first = be(d, at, 2);
            const std::uint32_t n_left = be(d, at + 2, left_size);
            at += 2 + left_size;
            for (std::uint32_t k = 0; k <= n_left && g < glyphs; ++k, ++g) {
                sids[g] = static_cast<std::uint16_t>(first + k);
            }
        }
    }
    return sids;
}

} // namespace

std::optional<CffFont> CffFont::parse(std::string_view program) {
    const std::string_view d = program;
    // Header: major version 1, then the header size, which later versions
    // may grow.
    if (!fits(d.size(), 0, 4) || d[0] != 1) return std::nullopt;
    const auto names = read_index(d, static_cast<unsigned char>(d[2]));
    if (!names) return std::nullopt;
    const auto tops = read_index(d, names->end);
    if (!tops || tops->count == 0) return std::nullopt;
    const auto strings = read_index(d, tops->end);
    if (!strings) return std::nullopt;
    const auto top = read_top_dict(tops->at(d, 0));
    if (!top) return std::nullopt;

    CffFont font;
    font.data_ = d;
    font.strings_ = d.substr(tops->end, strings->end - tops->end);
    font.cid_keyed_ = top->ros;
    font.encoding_ = top->encoding;
    // The glyph count is that of the CharStrings INDEX; without it the
    // charset cannot be read.
    std::size_t glyphs = 0;
    if (top->charstrings != 0) {
        if (const auto cs = read_index(d, top->charstrings)) glyphs = cs->count;
    }
    // A CID-keyed font has no ISOAdobe default: its charset is always given.
    if (!(font.cid_keyed_ && top->charset <= 2)) {
        font.sid_by_glyph_ = read_charset(d, top->charset, glyphs);
    } else {
        font.sid_by_glyph_.assign(glyphs, 0);
    }
    return font;
}

std::string_view CffFont::string_for_sid(std::uint16_t sid) const {
    if (sid < kStandardStrings.size()) return kStandardStrings[sid];
    const auto ix = read_index(strings_, 0);
    return ix ? ix->at(strings_, sid - kStandardStrings.size()) : std::string_view();
}

std::string_view CffFont::glyph_name(std::uint16_t gid) const {
    if (cid_keyed_ || gid >= sid_by_glyph_.size()) return {};
    if (gid == 0) return ".notdef";
    // SID 0 past glyph 0 is a charset entry that could not be read.
    return sid_by_glyph_[gid] == 0 ? std::string_view() : string_for_sid(sid_by_glyph_[gid]);
}

std::optional<std::uint16_t> CffFont::cid_for_glyph(std::uint16_t gid) const {
    if (!cid_keyed_ || gid >= sid_by_glyph_.size()) return std::nullopt;
    if (gid == 0) return 0;
    if (sid_by_glyph_[gid] == 0) return std::nullopt;
    return sid_by_glyph_[gid];
}

std::optional<Type1Encoding> CffFont::builtin_encoding() const {
    if (cid_keyed_ || encoding_ == 1) return std::nullopt;
    Type1Encoding enc;
    if (encoding_ == 0) {
        enc.standard = true;
        return enc;
    }
    const std::string_view d = data_;
    const auto name_of_glyph = [&](std::size_t gid) {
        return gid < sid_by_glyph_.size() ? glyph_name(static_cast<std::uint16_t>(gid))
                                          : std::string_view();
    };
    if (!fits(d.size(), encoding_, 2)) return std::nullopt;
    const unsigned format = static_cast<unsigned char>(d[encoding_]);
    std::size_t at = encoding_ + 2;
    const std::size_t n = static_cast<unsigned char>(d[encoding_ + 1]);
    if ((format & 0x7F) == 0) {
        // Codes of glyphs 1..n in order.
        if (!fits(d.size(), at, n)) return std::nullopt;
        for (std::size_t i = 0; i < n; ++i) {
            enc.names[static_cast<unsigned char>(d[at + i])] = name_of_glyph(i + 1);
        }
        at += n;
    } else if ((format & 0x7F) == 1) {
        // Ranges of consecutive codes for consecutive glyphs from glyph 1.
        if (!fits(d.size(), at, 2 * n)) return std::nullopt;
        std::size_t gid = 1;
        for (std::size_t r = 0; r < n; ++r, at += 2) {
            const std::size_t first = static_cast<unsigned char>(d[at]);
            const std::size_t n_left = static_cast<unsigned char>(d[at + 1]);
            for (std::size_t k = 0; k <= n_left && first + k < 256; ++k) {
                enc.names[first + k] = name_of_glyph(gid++);
            }
        }
    } else {
        return std::nullopt;
    }
    if ((format & 0x80) != 0 && fits(d.size(), at, 1)) {
        // Supplements: further codes for glyphs named by SID.
        const std::size_t count = static_cast<unsigned char>(d[at]);
        ++at;
        for (std::size_t i = 0; i < count && fits(d.size(), at, 3); ++i, at += 3) {
            enc.names[static_cast<unsigned char>(d[at])] =
                string_for_sid(static_cast<std::uint16_t>(be(d, at + 1, 2)));
        }
    }
    return enc;
}

} // namespace quarvel
