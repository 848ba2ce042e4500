#include "syntax/error.h"

#include <cstring>

namespace quarvel {

std::string ParseError::display() const {
    switch (kind_) {
    case Kind::UnexpectedEof:
        return "unexpected end of input";
    case Kind::UnexpectedByte: {
        static constexpr char hex[] = "0123456789abcdef";
        std::string s = "unexpected byte: 0x";
        s += hex[byte_ >> 4];
        s += hex[byte_ & 0xF];
        s += " ('";
        // The byte shown as the character with that code point: bytes from
        // 0x80 up are Latin-1 characters, so they take two UTF-8 bytes.
        if (byte_ < 0x80) {
            s += static_cast<char>(byte_);
        } else {
            s += static_cast<char>(0xC0 | (byte_ >> 6));
            s += static_cast<char>(0x80 | (byte_ & 0x3F));
        }
        s += "')";
        return s;
    }
    case Kind::InvalidNumber:
        return "invalid number format";
    case Kind::InvalidHex:
        return "invalid hex string";
    case Kind::InvalidNameEscape:
        return "invalid #XX escape in name";
    case Kind::UnbalancedParens:
        return "unbalanced parentheses in string";
    case Kind::MissingLength:
        return "stream missing /Length";
    case Kind::Other:
        return message_ ? message_ : "";
    }
    return {};
}

bool operator==(const ParseError& a, const ParseError& b) {
    if (a.kind_ != b.kind_ || a.byte_ != b.byte_) return false;
    if (a.message_ == b.message_) return true;
    return a.message_ && b.message_ && std::strcmp(a.message_, b.message_) == 0;
}

} // namespace quarvel
