// Embedded Type 1 font programs (/FontFile): the built-in encoding that a
// simple font without /Encoding, or with /Differences over it, starts from.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace quarvel {

struct Type1Encoding {
    // The program says `/Encoding StandardEncoding def`; names is empty then.
    bool standard = false;
    // Glyph names by code; "" where the program puts none.
    std::array<std::string, 256> names;
};

// The encoding declared in the clear-text part of a Type 1 program, given
// whole or as its first /Length1 bytes, raw or in PFB segments. Nothing when
// the program declares no encoding this reader understands.
[[nodiscard]] std::optional<Type1Encoding> parse_type1_encoding(std::string_view program);

} // namespace quarvel
