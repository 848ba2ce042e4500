// Constant tables compiled into the library in zlib-compressed form (the
// CJK data of cid_collections and predefined_cmaps), inflated on first use.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace quarvel {

// The bytes a compiled-in zlib stream inflates to, which the generator
// recorded as `size`; empty when it does not inflate to exactly that many,
// so a damaged table reads as an absent one.
std::vector<unsigned char> inflate_packed_table(std::span<const unsigned char> packed,
                                                std::size_t size);

} // namespace quarvel
