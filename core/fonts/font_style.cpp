#include "fonts/font_style.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "resource_limits.h"

namespace quarvel {
namespace {

// Descriptor /Flags bits (the font descriptor's flag table).
constexpr std::int64_t kFixedPitchFlag = 1;
constexpr std::int64_t kSerifFlag = 2;
constexpr std::int64_t kItalicFlag = 64;
constexpr std::int64_t kForceBoldFlag = std::int64_t{1} << 18;

// Weights (descriptor /FontWeight, OS/2 usWeightClass) from semibold up
// read as bold: 600 is where every type family's "Semibold" or "Demi" sits,
// and medium weights (500) are body text in the families that have them.
constexpr double kBoldWeight = 600;


// /ItalicAngle, in degrees counter-clockwise, past which a face is slanted:
// italic and oblique faces lean 8 to 20 degrees, and some upright faces
// carry a stray degree or two from their outlines' measurement.
constexpr double kItalicAngle = 4;

bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

bool contains_any(std::string_view haystack, std::initializer_list<std::string_view> needles) {
    return std::any_of(needles.begin(), needles.end(),
                       [&](std::string_view n) { return contains(haystack, n); });
}

bool starts_with_any(std::string_view text, std::initializer_list<std::string_view> prefixes) {
    return std::any_of(prefixes.begin(), prefixes.end(),
                       [&](std::string_view p) { return text.starts_with(p); });
}

// The name without a subset tag (six capitals and '+').
std::string_view without_subset_tag(std::string_view name) {
    if (name.size() > 7 && name[6] == '+' &&
        std::all_of(name.begin(), name.begin() + 6, [](char c) { return c >= 'A' && c <= 'Z'; })) {
        name.remove_prefix(7);
    }
    return name;
}

// The style part of a name ("MinionPro-BoldIt", "Arial,BoldItalic"): what
// follows the last '-' or ',', or nothing.
std::string_view style_part(std::string_view name) {
    const std::size_t cut = name.find_last_of("-,");
    return cut == std::string_view::npos ? std::string_view() : name.substr(cut + 1);
}

} // namespace

std::uint8_t font_style_from_name(std::string_view base_font) {
    const std::string_view name =
        without_subset_tag(base_font).substr(0, limits::kMaxFontStyleNameBytes);
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    // TeX's Computer Modern faces and their EC and Latin Modern successors
    // go by short codes rather than style words: cmbx is bold
    // extended, cmti text italic, cmsl slanted, cmtt typewriter, cmss sans.
    const bool tex_typewriter =
        starts_with_any(lower, {"cmtt", "cmsltt", "cmitt", "sftt", "sfst", "sfit", "lmmono",
                                "txtt", "ectt"});
    const bool tex_sans = starts_with_any(lower, {"cmss", "sfss", "sfsx", "sfsi", "lmsans"});
    const bool tex_roman = !tex_typewriter && !tex_sans &&
                           starts_with_any(lower, {"cmr", "cmbx", "cmb1", "cmti", "cmsl", "cmmi",
                                                   "cmcsc", "sfrm", "sfbx", "sfti", "sfsl",
                                                   "sfcc", "sfbi", "lmroman"});

    std::uint8_t style = 0;
    if (contains_any(lower, {"bold", "black", "heavy", "demi"}) ||
        starts_with_any(lower, {"cmbx", "cmb1", "cmssbx", "sfbx", "sfsx", "sfbi"}) ||
        // The URW clones of Times name their bold face "Medi".
        lower.starts_with("nimbusromno9l-medi")) {
        style |= span_flags::kBold;
    }
    const std::string_view part = style_part(name);
    if (contains_any(lower, {"italic", "oblique", "slanted", "inclined"}) ||
        starts_with_any(lower, {"cmti", "cmmi", "cmsl", "cmbxti", "cmbxsl", "cmssi", "cmitt",
                                "sfti", "sfsl", "sfbi", "sfsi", "sfit", "sfst"}) ||
        part.ends_with("It")) {
        style |= span_flags::kItalic;
    }
    if (tex_typewriter ||
        contains_any(lower, {"mono", "courier", "code", "typewriter", "consola", "menlo"})) {
        style |= span_flags::kMonospaced;
    }
    if (tex_roman || (!tex_sans && !contains_any(lower, {"sans", "gothic"}) &&
                      contains_any(lower, {"times", "serif", "roman", "georgia", "garamond",
                                           "cambria", "palatino", "bookman", "antiqua",
                                           "minion", "century", "baskerville", "caslon",
                                           "utopia", "charter", "termes", "pagella",
                                           "schoolbook", "bodoni", "nimbusrom", "palladio",
                                           "didot", "oldstandard"}))) {
        style |= span_flags::kSerif;
    }
    return style;
}

std::uint8_t font_style(const FontStyleFacts& facts) {
    // Every source can only add a bit: a descriptor or program that says
    // nothing of a style is the common case (ForceBold is rarely set on
    // bold faces), not a denial.
    std::uint8_t style = 0;
    if (facts.flags) {
        const std::int64_t f = *facts.flags;
        if (f & kFixedPitchFlag) style |= span_flags::kMonospaced;
        if (f & kSerifFlag) style |= span_flags::kSerif;
        if (f & kItalicFlag) style |= span_flags::kItalic;
        if (f & kForceBoldFlag) style |= span_flags::kBold;
    }
    if (std::isfinite(facts.italic_angle) && std::fabs(facts.italic_angle) >= kItalicAngle) {
        style |= span_flags::kItalic;
    }
    // /StemV is not taken as a sign of weight: Distiller and Ghostscript
    // write 151 for TeX's regular cmr10 and PDF libraries 172 for Roboto
    // Regular, above the real stems of most bold faces (Times Bold 139), and
    // on the development corpus trusting it from 110 up called a tenth of
    // regular text bold.
    if (facts.font_weight && *facts.font_weight >= kBoldWeight) style |= span_flags::kBold;
    if (facts.program_bold || (facts.program_weight && *facts.program_weight >= kBoldWeight)) {
        style |= span_flags::kBold;
    }
    if (facts.program_italic) style |= span_flags::kItalic;
    if (facts.program_fixed_pitch || facts.uniform_widths) style |= span_flags::kMonospaced;
    return static_cast<std::uint8_t>(style | font_style_from_name(facts.base_font));
}

} // namespace quarvel
