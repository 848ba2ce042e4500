#include "syntax/string_bytes.h"

#include "syntax/strings.h"

namespace quarvel {

// The raw text of a String holds its nested parentheses balanced (the
// parser checked them), so the decoder reads it to its end.
std::string literal_string_bytes(std::string_view raw) {
    return decode_literal_string(raw).bytes;
}

std::string hex_string_bytes(std::string_view raw) {
    return decode_hex_string(raw);
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
