#include "syntax/strings.h"

#include <cstdint>

#include "syntax/object.h"

namespace quarvel {

DecodedString decode_literal_string(std::string_view data, LiteralStringRules rules) {
    std::string out;
    std::size_t depth = 1;
    std::size_t pos = 0;
    const bool stop_at_cr = rules.line_ends_as_lf;
    while (pos < data.size()) {
        // Plain runs are appended whole; only parentheses, backslashes and
        // line ends to be rewritten need a look.
        const std::size_t run_start = pos;
        while (pos < data.size() && data[pos] != '(' && data[pos] != ')' && data[pos] != '\\' &&
               !(stop_at_cr && data[pos] == '\r')) {
            ++pos;
        }
        out.append(data.substr(run_start, pos - run_start));
        if (pos >= data.size()) break;
        const char c = data[pos++];
        if (c == '(') {
            ++depth;
            out.push_back(c);
            continue;
        }
        if (c == ')') {
            if (--depth == 0) return {std::move(out), pos};
            out.push_back(c);
            continue;
        }
        if (c == '\r') {
            out.push_back('\n');
            if (pos < data.size() && data[pos] == '\n') ++pos;
            continue;
        }
        if (pos >= data.size()) break;
        const char e = data[pos++];
        switch (e) {
        case 'n':
            out.push_back('\n');
            break;
        case 'r':
            out.push_back('\r');
            break;
        case 't':
            out.push_back('\t');
            break;
        case 'b':
            out.push_back(rules.control_escapes ? '\b' : e);
            break;
        case 'f':
            out.push_back(rules.control_escapes ? '\f' : e);
            break;
        case '\r':
        case '\n':
            if (!rules.line_continuation) {
                out.push_back(e);
            } else if (e == '\r' && pos < data.size() && data[pos] == '\n') {
                ++pos;
            }
            break;
        default:
            if ((e >= '0' && e <= '7') || (rules.decimal_escape_start && (e == '8' || e == '9'))) {
                unsigned value = static_cast<unsigned>(e - '0');
                for (int k = 0; k < 2 && pos < data.size() && data[pos] >= '0' && data[pos] <= '7';
                     ++k) {
                    value = value * 8 + static_cast<unsigned>(data[pos++] - '0');
                }
                out.push_back(static_cast<char>(value & 0xFFu));
            } else {
                // \( \) \\ and any other escaped byte stand for that byte.
                out.push_back(e);
            }
        }
    }
    return {std::move(out), data.size()};
}

std::size_t decode_hex_string_into(std::string_view digits, char* out) {
    std::size_t n = 0;
    int high = -1;
    for (const char c : digits) {
        const auto b = static_cast<std::uint8_t>(c);
        if (!is_pdf_hex_digit(b)) continue;
        if (high < 0) {
            high = hex_value(b);
        } else {
            out[n++] = static_cast<char>(high << 4 | hex_value(b));
            high = -1;
        }
    }
    if (high >= 0) out[n++] = static_cast<char>(high << 4);
    return n;
}

std::string decode_hex_string(std::string_view digits) {
    std::string out(digits.size() / 2 + 1, '\0');
    out.resize(decode_hex_string_into(digits, out.data()));
    return out;
}

} // namespace quarvel
