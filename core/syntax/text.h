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

// append_utf8 for a value of two bytes or more.
void append_utf8_multibyte(std::string& out, char32_t cp);
// write_utf8 for a value of two bytes or more.
char* write_utf8_multibyte(char* out, char32_t cp);

// Appends the UTF-8 encoding of the scalar value `cp` to `out`; a surrogate
// or a value above U+10FFFF is written as U+FFFD. ASCII inline: it is most
// of every page's text.
inline void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else {
        append_utf8_multibyte(out, cp);
    }
}

// append_utf8 into a buffer with room for four bytes; returns the end of
// what it wrote.
inline char* write_utf8(char* out, char32_t cp) {
    if (cp < 0x80) {
        *out = static_cast<char>(cp);
        return out + 1;
    }
    return write_utf8_multibyte(out, cp);
}

} // namespace quarvel
