#include "syntax/string_bytes.h"

namespace quarvel {
namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

std::string literal_string_bytes(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\r') {
            out += '\n';
            if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
            continue;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == raw.size()) break; // a lone trailing backslash stands for nothing
        const char e = raw[i];
        switch (e) {
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case '\r':
            if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
            break;
        case '\n':
            break;
        default:
            if (e >= '0' && e <= '7') {
                unsigned value = 0;
                std::size_t digits = 0;
                while (digits < 3 && i < raw.size() && raw[i] >= '0' && raw[i] <= '7') {
                    value = value * 8 + static_cast<unsigned>(raw[i] - '0');
                    ++i;
                    ++digits;
                }
                --i;
                out += static_cast<char>(value & 0xFFu);
            } else {
                out += e;
            }
        }
    }
    return out;
}

std::string hex_string_bytes(std::string_view raw) {
    std::string out;
    out.reserve(raw.size() / 2);
    int high = -1;
    for (char c : raw) {
        const int v = hex_value(c);
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out += static_cast<char>((high << 4) | v);
            high = -1;
        }
    }
    if (high >= 0) out += static_cast<char>(high << 4);
    return out;
}

std::string string_bytes(const PdfObject& object) {
    if (object.is_string()) return literal_string_bytes(object.bytes());
    if (object.is_hex_string()) return hex_string_bytes(object.bytes());
    return {};
}

std::string to_hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

} // namespace quarvel
