// The predefined encoding CMaps a Type0 font's /Encoding may name (such as
// 90ms-RKSJ-H or UniGB-UCS2-H): how many bytes each code takes and which CID
// it selects, compiled in from Adobe's CMap resources (packed, and
// inflated once on first use).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quarvel {

struct PredefinedCMap {
    struct CodespaceRange {
        std::uint8_t length;
        // Bounds of each byte of a code of `length` bytes.
        std::array<std::uint8_t, 4> low, high;
    };
    // Codes first_code .. first_code + count_minus_one select consecutive
    // CIDs from `cid`; kUnmapped there marks codes that the base map
    // selects and this one does not.
    struct Run {
        std::uint32_t first_code;
        std::uint16_t count_minus_one;
        std::uint16_t cid;
    };
    static constexpr std::uint16_t kUnmapped = 0xFFFF;

    std::string_view name;
    // The collection the CIDs belong to, as cid_to_unicode takes it.
    std::string_view registry_ordering;
    // The code bytes are themselves UTF-16BE text (the Uni*-UCS2 and
    // Uni*-UTF16 maps), so their Unicode needs no table.
    bool unicode_codes;
    std::span<const CodespaceRange> codespace;
    // Runs of 1-, 2-, 3- and 4-byte codes, each sorted by first_code.
    std::array<std::span<const Run>, 4> runs;
    // The map this one is stored as differences from (its index in the
    // compiled-in table), or -1 when it is stored whole.
    std::int16_t base;

    // The number of bytes the code at the start of `bytes` takes: the
    // length of the shortest codespace range it lies in. A code in none
    // takes the length of the shortest range its first byte lies in, else
    // one byte, so that reading always moves on. Never more than
    // bytes.size(); 0 only for no bytes.
    [[nodiscard]] std::size_t code_length(std::string_view bytes) const;

    // The CID a code of `length` bytes (its value big-endian) selects, or
    // nothing when the map gives none (the font's missing glyph, CID 0).
    [[nodiscard]] std::optional<std::uint32_t> cid(std::uint32_t code, std::size_t length) const;

    bool vertical() const { return name.ends_with("-V"); }
};

// The compiled-in map of that name, or null for an unknown name (including
// Identity-H and Identity-V, whose codes are their CIDs).
[[nodiscard]] const PredefinedCMap* find_predefined_cmap(std::string_view name);

} // namespace quarvel
