// The glyph names a differences array may give a code, and their characters.
// A fixed set (not a full glyph list): the names that real simple fonts
// re-encode most, with the modern choices for the ambiguous ones (mu is the
// Greek letter, not the micro sign; Delta and Omega are letters, not the
// increment and ohm signs; minus is U+2212, hyphen U+002D).
#include <algorithm>
#include <array>
#include <cstdint>

#include "fonts/font.h"

namespace quarvel {
namespace {

struct GlyphEntry {
    std::string_view name;
    char32_t ch;
};

constexpr GlyphEntry kGlyphTable[] = {
    // ASCII.
    {"space", 0x0020}, {"exclam", 0x0021}, {"quotedbl", 0x0022}, {"numbersign", 0x0023},
    {"dollar", 0x0024}, {"percent", 0x0025}, {"ampersand", 0x0026}, {"quotesingle", 0x0027},
    {"parenleft", 0x0028}, {"parenright", 0x0029}, {"asterisk", 0x002A}, {"plus", 0x002B},
    {"comma", 0x002C}, {"hyphen", 0x002D}, {"period", 0x002E}, {"slash", 0x002F}, {"zero", 0x0030},
    {"one", 0x0031}, {"two", 0x0032}, {"three", 0x0033}, {"four", 0x0034}, {"five", 0x0035},
    {"six", 0x0036}, {"seven", 0x0037}, {"eight", 0x0038}, {"nine", 0x0039}, {"colon", 0x003A},
    {"semicolon", 0x003B}, {"less", 0x003C}, {"equal", 0x003D}, {"greater", 0x003E},
    {"question", 0x003F}, {"at", 0x0040}, {"bracketleft", 0x005B}, {"backslash", 0x005C},
    {"bracketright", 0x005D}, {"asciicircum", 0x005E}, {"underscore", 0x005F}, {"grave", 0x0060},
    {"braceleft", 0x007B}, {"bar", 0x007C}, {"braceright", 0x007D}, {"asciitilde", 0x007E},
    // Latin-1 supplement and Latin extended.
    {"logicalnot", 0x00AC}, {"registered", 0x00AE}, {"plusminus", 0x00B1}, {"twosuperior", 0x00B2},
    {"threesuperior", 0x00B3}, {"onesuperior", 0x00B9}, {"onequarter", 0x00BC}, {"onehalf", 0x00BD},
    {"threequarters", 0x00BE}, {"Agrave", 0x00C0}, {"Aacute", 0x00C1}, {"Acircumflex", 0x00C2},
    {"Atilde", 0x00C3}, {"Adieresis", 0x00C4}, {"Aring", 0x00C5}, {"Ccedilla", 0x00C7},
    {"Egrave", 0x00C8}, {"Eacute", 0x00C9}, {"Ecircumflex", 0x00CA}, {"Edieresis", 0x00CB},
    {"Igrave", 0x00CC}, {"Iacute", 0x00CD}, {"Icircumflex", 0x00CE}, {"Idieresis", 0x00CF},
    {"Ntilde", 0x00D1}, {"Ograve", 0x00D2}, {"Oacute", 0x00D3}, {"Ocircumflex", 0x00D4},
    {"Otilde", 0x00D5}, {"Odieresis", 0x00D6}, {"multiply", 0x00D7}, {"Ugrave", 0x00D9},
    {"Uacute", 0x00DA}, {"Ucircumflex", 0x00DB}, {"Udieresis", 0x00DC}, {"Yacute", 0x00DD},
    {"agrave", 0x00E0}, {"aacute", 0x00E1}, {"acircumflex", 0x00E2}, {"atilde", 0x00E3},
    {"adieresis", 0x00E4}, {"aring", 0x00E5}, {"ccedilla", 0x00E7}, {"egrave", 0x00E8},
    {"eacute", 0x00E9}, {"ecircumflex", 0x00EA}, {"edieresis", 0x00EB}, {"igrave", 0x00EC},
    {"iacute", 0x00ED}, {"icircumflex", 0x00EE}, {"idieresis", 0x00EF}, {"ntilde", 0x00F1},
    {"ograve", 0x00F2}, {"oacute", 0x00F3}, {"ocircumflex", 0x00F4}, {"otilde", 0x00F5},
    {"odieresis", 0x00F6}, {"ugrave", 0x00F9}, {"uacute", 0x00FA}, {"ucircumflex", 0x00FB},
    {"udieresis", 0x00FC}, {"yacute", 0x00FD}, {"ydieresis", 0x00FF}, {"Lslash", 0x0141},
    {"lslash", 0x0142}, {"OE", 0x0152}, {"oe", 0x0153}, {"Scaron", 0x0160}, {"scaron", 0x0161},
    {"Zcaron", 0x017D}, {"zcaron", 0x017E},
    // Greek.
    {"Alpha", 0x0391}, {"Beta", 0x0392}, {"Gamma", 0x0393}, {"Delta", 0x0394}, {"Epsilon", 0x0395},
    {"Zeta", 0x0396}, {"Eta", 0x0397}, {"Theta", 0x0398}, {"Iota", 0x0399}, {"Kappa", 0x039A},
    {"Lambda", 0x039B}, {"Mu", 0x039C}, {"Nu", 0x039D}, {"Xi", 0x039E}, {"Omicron", 0x039F},
    {"Pi", 0x03A0}, {"Rho", 0x03A1}, {"Sigma", 0x03A3}, {"Tau", 0x03A4}, {"Upsilon", 0x03A5},
    {"Phi", 0x03A6}, {"Chi", 0x03A7}, {"Psi", 0x03A8}, {"Omega", 0x03A9}, {"alpha", 0x03B1},
    {"beta", 0x03B2}, {"gamma", 0x03B3}, {"delta", 0x03B4}, {"epsilon", 0x03B5}, {"zeta", 0x03B6},
    {"eta", 0x03B7}, {"theta", 0x03B8}, {"iota", 0x03B9}, {"kappa", 0x03BA}, {"lambda", 0x03BB},
    {"mu", 0x03BC}, {"nu", 0x03BD}, {"xi", 0x03BE}, {"omicron", 0x03BF}, {"pi", 0x03C0},
    {"rho", 0x03C1}, {"sigma", 0x03C3}, {"tau", 0x03C4}, {"upsilon", 0x03C5}, {"phi", 0x03C6},
    {"chi", 0x03C7}, {"psi", 0x03C8}, {"omega", 0x03C9}, {"phi1", 0x03D5}, {"epsilon1", 0x03F5},
    // Punctuation, currency, letter-like symbols and ligatures.
    {"endash", 0x2013}, {"emdash", 0x2014}, {"quoteleft", 0x2018}, {"quoteright", 0x2019},
    {"quotesinglbase", 0x201A}, {"quotedblleft", 0x201C}, {"quotedblright", 0x201D},
    {"quotedblbase", 0x201E}, {"dagger", 0x2020}, {"daggerdbl", 0x2021}, {"bullet", 0x2022},
    {"ellipsis", 0x2026}, {"guilsinglleft", 0x2039}, {"guilsinglright", 0x203A},
    {"fraction", 0x2044}, {"Euro", 0x20AC}, {"trademark", 0x2122}, {"fi", 0xFB01}, {"fl", 0xFB02},
    // Arrows and mathematical operators.
    {"arrowleft", 0x2190}, {"arrowup", 0x2191}, {"arrowright", 0x2192}, {"arrowdown", 0x2193},
    {"arrowboth", 0x2194}, {"arrowdblleft", 0x21D0}, {"arrowdblup", 0x21D1},
    {"arrowdblright", 0x21D2}, {"arrowdbldown", 0x21D3}, {"forall", 0x2200},
    {"partialdiff", 0x2202}, {"exist", 0x2203}, {"emptyset", 0x2205}, {"nabla", 0x2207},
    {"element", 0x2208}, {"notelement", 0x2209}, {"product", 0x220F}, {"summation", 0x2211},
    {"minus", 0x2212}, {"radical", 0x221A}, {"infinity", 0x221E}, {"angle", 0x2220},
    {"parallel", 0x2225}, {"logicaland", 0x2227}, {"logicalor", 0x2228}, {"intersection", 0x2229},
    {"union", 0x222A}, {"integral", 0x222B}, {"sim", 0x223C}, {"congruent", 0x2245},
    {"approxequal", 0x2248}, {"notequal", 0x2260}, {"lessequal", 0x2264}, {"greaterequal", 0x2265},
    {"subset", 0x2282}, {"superset", 0x2283}, {"subseteq", 0x2286}, {"supersetequal", 0x2287},
    {"perpendicular", 0x22A5}
};

constexpr std::size_t kMaxGlyphNameLength = 14;

constexpr bool by_length_then_bytes(const GlyphEntry& a, const GlyphEntry& b) {
    if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
    return a.name < b.name;
}

// The table ordered by name length and then by bytes, so that a lookup
// compares only names of the length it is given, by binary search.
constexpr auto kSortedGlyphs = [] {
    std::array<GlyphEntry, std::size(kGlyphTable)> sorted{};
    std::copy(std::begin(kGlyphTable), std::end(kGlyphTable), sorted.begin());
    std::sort(sorted.begin(), sorted.end(), by_length_then_bytes);
    return sorted;
}();

// kLengthStart[n] is the index of the first name of length n or more.
constexpr auto kLengthStart = [] {
    std::array<std::uint16_t, kMaxGlyphNameLength + 2> start{};
    for (std::size_t n = 0; n < start.size(); ++n) {
        std::size_t i = 0;
        while (i < kSortedGlyphs.size() && kSortedGlyphs[i].name.size() < n) ++i;
        start[n] = static_cast<std::uint16_t>(i);
    }
    return start;
}();

static_assert(std::size(kGlyphTable) == 222);
static_assert(kLengthStart[kMaxGlyphNameLength + 1] == std::size(kGlyphTable),
              "no glyph name is longer than kMaxGlyphNameLength");

} // namespace

std::optional<char32_t> glyph_name_to_unicode(std::string_view name) {
    if (name.size() > kMaxGlyphNameLength) return std::nullopt;
    const auto first = kSortedGlyphs.begin() + kLengthStart[name.size()];
    const auto last = kSortedGlyphs.begin() + kLengthStart[name.size() + 1];
    const auto it = std::lower_bound(
        first, last, name, [](const GlyphEntry& e, std::string_view n) { return e.name < n; });
    if (it == last || it->name != name) return std::nullopt;
    return it->ch;
}

} // namespace quarvel
