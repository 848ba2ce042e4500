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

// The scalar value of the UTF-8 sequence at `i` in `text` (text the system
// wrote itself, so well-formed), moving `i` past it. A sequence cut short by
// the end of the text is read from what there is of it.
inline char32_t next_code_point(std::string_view text, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    char32_t cp = n == 1 ? lead : lead & (0x7F >> n);
    for (std::size_t k = 1; k < n && i + k < text.size(); ++k)
        cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += n;
    return cp;
}

} // namespace quarvel
