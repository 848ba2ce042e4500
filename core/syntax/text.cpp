#include "syntax/text.h"

#include <cstdint>

namespace quarvel {
namespace {

// Length of the well-formed sequence starting at `i`, or 0 when the bytes at
// `i` start an invalid one; `*invalid_len` is then the length of its maximal
// subpart (at least 1), the unit that one U+FFFD replaces.
std::size_t decode_one(std::string_view s, std::size_t i, std::size_t* invalid_len) {
    const auto b0 = static_cast<std::uint8_t>(s[i]);
    if (b0 < 0x80) return 1;
    std::size_t need;
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        *invalid_len = 1;
        return 0;
    }
    std::size_t k = 1;
    for (; k <= need; ++k) {
        if (i + k >= s.size()) break;
        const auto b = static_cast<std::uint8_t>(s[i + k]);
        // Only the second byte has a narrowed range.
        const std::uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
        if (b < l || b > h) break;
    }
    if (k == need + 1) return need + 1;
    *invalid_len = k;
    return 0;
}

} // namespace

std::string lossy_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t bad = 0;
        const std::size_t n = decode_one(bytes, i, &bad);
        if (n) {
            out.append(bytes.substr(i, n));
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            i += bad;
        }
    }
    return out;
}

bool is_valid_utf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t bad = 0;
        const std::size_t n = decode_one(bytes, i, &bad);
        if (!n) return false;
        i += n;
    }
    return true;
}

char* write_utf8_multibyte(char* out, char32_t cp) {
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
    if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
    } else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    }
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    return out;
}

void append_utf8_multibyte(std::string& out, char32_t cp) {
    char bytes[4];
    out.append(bytes, write_utf8_multibyte(bytes, cp));
}

} // namespace quarvel
