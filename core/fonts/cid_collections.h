// The Unicode text of CIDs in the Adobe character collections, for CID
// fonts with no usable ToUnicode map whose /CIDSystemInfo names one of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quarvel {

// The character CID `cid` of a collection stands for. `registry_ordering` is
// /Registry and /Ordering joined by '-': "Adobe-Japan1", "Adobe-GB1",
// "Adobe-CNS1" or "Adobe-Korea1". Variation selectors that pick a glyph
// form are dropped. Nothing for an unknown collection, for CID 0 (the
// missing glyph), for CIDs past the collection's last supplement, and for
// the few CIDs that stand for several characters (see below).
[[nodiscard]] std::optional<char32_t> cid_to_unicode(std::string_view registry_ordering,
                                                     std::uint32_t cid);

// The characters of a CID whose glyph draws a sequence (Adobe-Japan1's
// squared "sec" and roman numeral XIII, Adobe-Korea1's doubled parentheses);
// empty for every other CID, including those cid_to_unicode answers.
[[nodiscard]] std::u32string_view cid_to_unicode_sequence(std::string_view registry_ordering,
                                                          std::uint32_t cid);

} // namespace quarvel
