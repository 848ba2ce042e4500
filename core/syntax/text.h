// Turning PDF bytes into text. One rule for the whole system: bytes are read
// as UTF-8 and every maximal invalid subpart becomes U+FFFD, as the Unicode
// standard recommends (the same result as Python's errors="replace").
#pragma once

#include <string>
#include <string_view>

namespace quarvel {

// `bytes` as UTF-8 text with invalid sequences replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

// True when `bytes` is entirely well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);

// Appends the UTF-8 encoding of the scalar value `cp` to `out`; a surrogate
// or a value above U+10FFFF is written as U+FFFD.
void append_utf8(std::string& out, char32_t cp);

} // namespace quarvel
