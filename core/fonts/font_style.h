// How a font's text looks: bold, italic, serif, monospaced, decided once per
// font record from what the file says of the font.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quarvel {

// The style bits of a full-reader span: how its text looks. The font's own
// bits (italic, serif, monospaced, bold) come from its record; superscript
// and subscript from the text rise of each string shown.
namespace span_flags {
inline constexpr std::uint32_t kSuperscript = 1;
inline constexpr std::uint32_t kItalic = 2;
inline constexpr std::uint32_t kSerif = 4;
inline constexpr std::uint32_t kMonospaced = 8;
inline constexpr std::uint32_t kBold = 16;
inline constexpr std::uint32_t kSubscript = 32;
} // namespace span_flags

// What a font record tells of its style, each fact absent when the file does
// not give it.
struct FontStyleFacts {
    std::string_view base_font; // /BaseFont, subset tag and all
    // The font descriptor.
    std::optional<std::int64_t> flags; // /Flags
    double italic_angle = 0;           // /ItalicAngle
    std::optional<double> font_weight; // /FontWeight
    // The embedded program, where the reader parsed it: OS/2 usWeightClass
    // or the CFF Weight, and the style bits its tables set.
    std::optional<int> program_weight;
    bool program_bold = false;
    bool program_italic = false;
    bool program_fixed_pitch = false;
    // A simple font's /Widths give at least kMinUniformWidths glyphs one
    // and the same non-zero width.
    bool uniform_widths = false;
};

// Glyphs of one width that make a font monospaced: subsets of a few glyphs
// (the digits alone are of one width in most proportional faces) prove
// nothing, while twenty letters and signs of one width are a fixed-pitch
// face whose descriptor forgot to say so (IBM's BookMaster, written by
// XPP, in the development corpus).
inline constexpr std::size_t kMinUniformWidths = 20;

// The italic, serif, monospaced and bold bits of span_flags for a font.
std::uint8_t font_style(const FontStyleFacts& facts);

// The style bits the base font name alone implies (subset tag ignored).
std::uint8_t font_style_from_name(std::string_view base_font);

} // namespace quarvel
