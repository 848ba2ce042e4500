#include "syntax/object.h"

#include <fast_float/fast_float.h>

#include <array>
#include <charconv>
#include <limits>
#include <string>
#include <system_error>
#include <utility>

#include "resource_limits.h"

namespace quarvel {
namespace {

constexpr std::string_view kStream = "stream";
constexpr std::string_view kEndstream = "endstream";

// Holds one level of array or dictionary nesting for as long as the
// container is being parsed; refuses the level past the limit so that a file
// of nothing but '[' cannot exhaust the stack of the thread parsing it.
class DepthGuard {
  public:
    explicit DepthGuard(Cursor& cur) : cur_(cur), ok_(cur.depth < limits::kMaxObjectDepth) {
        if (ok_) ++cur_.depth;
    }
    ~DepthGuard() {
        if (ok_) --cur_.depth;
    }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    bool ok() const { return ok_; }

  private:
    Cursor& cur_;
    bool ok_;
};

std::uint8_t byte_at(std::string_view data, std::size_t i) {
    return static_cast<std::uint8_t>(data[i]);
}

// The leaf parsers are kept out of line ([[gnu::noinline]]): inlined into
// parse_object or parse_dict, their locals would enlarge every frame of the
// array and dictionary recursion, which must fit kMaxObjectDepth levels into
// a worker thread's stack.

// After '('. Only the outer parentheses are removed; escapes stay as written.
[[gnu::noinline]] Result<PdfObject> parse_literal_string(Cursor& cur) {
    const std::string_view data = cur.data;
    const std::size_t start = cur.pos;
    std::uint32_t depth = 1;
    for (std::size_t i = start; i < data.size(); ++i) {
        const std::uint8_t b = byte_at(data, i);
        if (b == '\\') {
            if (i + 1 >= data.size()) break;
            ++i;
        } else if (b == '(') {
            if (depth == std::numeric_limits<std::uint32_t>::max()) {
                cur.pos = i + 1;
                return ParseError::unbalanced_parens();
            }
            ++depth;
        } else if (b == ')' && --depth == 0) {
            cur.pos = i + 1;
            return PdfObject::string(data.substr(start, i - start));
        }
    }
    cur.pos = data.size();
    return ParseError::unexpected_eof();
}

// After '<' (not "<<"). The digits are kept as written, whitespace and an
// odd count included; consumers decode them.
[[gnu::noinline]] Result<PdfObject> parse_hex_string(Cursor& cur) {
    const std::string_view data = cur.data;
    const std::size_t start = cur.pos;
    for (std::size_t i = start; i < data.size(); ++i) {
        const std::uint8_t b = byte_at(data, i);
        if (b == '>') {
            cur.pos = i + 1;
            return PdfObject::hex_string(data.substr(start, i - start));
        }
        if (!is_pdf_hex_digit(b) && !is_pdf_whitespace(b)) {
            cur.pos = i + 1;
            return ParseError::invalid_hex();
        }
    }
    cur.pos = data.size();
    return ParseError::unexpected_eof();
}

// After '['.
[[gnu::noinline]] Result<PdfObject> parse_array(Cursor& cur) {
    DepthGuard level(cur);
    if (!level.ok()) return ParseError::unexpected_byte('[');
    PdfArray items;
    for (;;) {
        cur.skip_ws();
        if (cur.at_end()) return ParseError::unexpected_eof();
        if (cur.peek() == ']') {
            ++cur.pos;
            return PdfObject::array(std::move(items));
        }
        Result<PdfObject> item = parse_object(cur);
        if (!item.ok()) return item.error();
        items.push_back(std::move(*item));
    }
}

// Where a number's token starts: is it a real? Decided without moving the
// cursor, so that "5.x" stays the integer 5 followed by other syntax.
bool token_is_real(std::string_view data, std::size_t i) {
    if (i < data.size() && (data[i] == '+' || data[i] == '-')) ++i;
    while (i < data.size() && is_pdf_digit(byte_at(data, i))) ++i;
    if (i >= data.size()) return false;
    const std::uint8_t b = byte_at(data, i);
    if (b == '.') {
        if (i + 1 >= data.size()) return true;
        const std::uint8_t next = byte_at(data, i + 1);
        return is_pdf_digit(next) || is_pdf_delimiter(next);
    }
    return b == 'e' || b == 'E';
}

// Order of magnitude of a decimal token that std::from_chars found out of
// range: positive means too large (infinity), otherwise too small (zero).
// Saturating, so an exponent of any length is safe.
std::int64_t decimal_magnitude(std::string_view t) {
    std::size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    std::int64_t magnitude = 0;
    bool seen_nonzero = false;
    for (; i < t.size() && is_pdf_digit(byte_at(t, i)); ++i) {
        if (t[i] != '0') seen_nonzero = true;
        if (seen_nonzero && magnitude < 1'000'000'000) ++magnitude;
    }
    if (i < t.size() && t[i] == '.') {
        for (++i; i < t.size() && is_pdf_digit(byte_at(t, i)); ++i) {
            if (seen_nonzero) continue;
            if (t[i] != '0') {
                seen_nonzero = true;
            } else if (magnitude > -1'000'000'000) {
                --magnitude;
            }
        }
    }
    std::int64_t exponent = 0;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        bool negative = false;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
        for (; i < t.size() && is_pdf_digit(byte_at(t, i)); ++i) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (t[i] - '0');
        }
        if (negative) exponent = -exponent;
    }
    return magnitude + exponent;
}

// Consumes the real's token wherever it ends and converts all of it, so a
// malformed token ("1e", ".") fails with the cursor already past it.
[[gnu::noinline]] Result<PdfObject> parse_real(Cursor& cur) {
    const std::string_view data = cur.data;
    const std::size_t start = cur.pos;
    std::size_t i = start;
    auto digits = [&] {
        while (i < data.size() && is_pdf_digit(byte_at(data, i))) ++i;
    };
    if (i < data.size() && (data[i] == '+' || data[i] == '-')) ++i;
    digits();
    if (i < data.size() && data[i] == '.') {
        ++i;
        digits();
    }
    if (i < data.size() && (data[i] == 'e' || data[i] == 'E')) {
        ++i;
        if (i < data.size() && (data[i] == '+' || data[i] == '-')) ++i;
        digits();
    }
    cur.pos = i;

    const std::optional<double> value = real_from_token(data.substr(start, i - start));
    if (!value) return ParseError::invalid_number();
    return PdfObject::real(*value);
}

// The bytes of a name with #XX escapes, decoded into the cursor's arena.
[[gnu::noinline]] Result<PdfObject> decode_escaped_name(Cursor& cur, std::string_view raw) {
    std::string decoded;
    decoded.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const std::uint8_t b = byte_at(raw, i);
        // A '#' too close to the end to carry two digits is an ordinary byte
        // (seen in names cut by careless writers, e.g. /A#).
        if (b != '#' || i + 2 >= raw.size()) {
            decoded += static_cast<char>(b);
            continue;
        }
        const std::uint8_t hi = byte_at(raw, i + 1), lo = byte_at(raw, i + 2);
        if (!is_pdf_hex_digit(hi) || !is_pdf_hex_digit(lo)) {
            return ParseError::invalid_name_escape();
        }
        decoded += static_cast<char>(hex_value(hi) << 4 | hex_value(lo));
        i += 2;
    }
    // A cursor made without an arena has nowhere to keep decoded bytes.
    if (!cur.arena) return ParseError::invalid_name_escape();
    return PdfObject::name(cur.arena->store(std::move(decoded)));
}

// Appends a pair for the key at `cur` (after its '/'), value still null.
[[gnu::noinline]] Status parse_key_into(Cursor& cur, PdfDict& pairs) {
    QUARVEL_TRY(const PdfObject key, parse_name(cur));
    pairs.push_back(DictEntry{key.bytes(), PdfObject()});
    return Ok{};
}

} // namespace

double real_beyond_range(std::string_view token) {
    const double value =
        decimal_magnitude(token) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return !token.empty() && token[0] == '-' ? -value : value;
}

std::optional<double> real_from_token(std::string_view token) {
    // Neither conversion takes a leading '+'.
    std::string_view text = token;
    if (!text.empty() && text[0] == '+') text.remove_prefix(1);

    // Decimals of at most 19 digits without an exponent, the form content
    // streams write coordinates in: when the digits, read as an integer, fit
    // a double's 53-bit significand and the divisor 10^k is exact (k <= 19 here, exact up to 22),
    // one IEEE division rounds correctly, so the result is the one
    // from_chars gives, bit for bit.
    static constexpr std::array<double, 20> kPow10 = {
        1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19};
    {
        const bool negative = !text.empty() && text[0] == '-';
        std::size_t i = negative ? 1 : 0;
        // A hot loop over the token's bytes: the integer digits, then the
        // fraction's; a 20th digit or an exponent leaves it for fast_float.
        const std::size_t n = text.size();
        std::uint64_t mantissa = 0;
        std::size_t digits = 0, fraction = 0;
        auto take_digits = [&] {
            const std::size_t first = i;
            for (unsigned d; i < n && (d = static_cast<unsigned char>(text[i]) - '0') < 10; ++i) {
                mantissa = mantissa * 10 + d;
            }
            return i - first;
        };
        digits = take_digits();
        if (i < n && text[i] == '.') {
            ++i;
            fraction = take_digits();
            digits += fraction;
        }
        if (i == n && digits > 0 && digits <= 19 && mantissa <= (std::uint64_t{1} << 53)) {
            double value = static_cast<double>(mantissa);
            if (fraction > 0) value /= kPow10[fraction];
            return negative ? -value : value;
        }
    }

    double value = 0.0;
    const auto [end, ec] = fast_float::from_chars(text.data(), text.data() + text.size(), value);
    if (end != text.data() + text.size() || ec != std::errc()) return std::nullopt;
    // Beyond the range of a double fast_float gives the infinity or the zero
    // of the token's sign, the value real_beyond_range gives where
    // std::from_chars reports the range error.
    return value;
}

void Cursor::skip_ws() {
    const std::size_t n = data.size();
    while (pos < n) {
        const std::uint8_t b = byte_at(data, pos);
        if (is_pdf_whitespace(b)) {
            ++pos;
        } else if (b == '%') {
            // A comment runs to its first end-of-line byte inclusive; of a
            // CR LF pair only the CR belongs to it, the LF is whitespace.
            ++pos;
            while (pos < n && data[pos] != '\n' && data[pos] != '\r') ++pos;
            if (pos < n) ++pos;
        } else {
            return;
        }
    }
}

Result<PdfObject> parse_object(Cursor& cur) {
    cur.skip_ws();
    if (cur.at_end()) return ParseError::unexpected_eof();
    const std::uint8_t b = cur.peek();
    switch (b) {
    case '(':
        ++cur.pos;
        return parse_literal_string(cur);
    case '<':
        if (cur.remaining() >= 2 && cur.data[cur.pos + 1] == '<') {
            cur.pos += 2;
            return parse_dict(cur);
        }
        ++cur.pos;
        return parse_hex_string(cur);
    case '/':
        ++cur.pos;
        return parse_name(cur);
    case '[':
        ++cur.pos;
        return parse_array(cur);
    case 't':
        return parse_literal(cur, "true", PdfObject::boolean(true));
    case 'f':
        return parse_literal(cur, "false", PdfObject::boolean(false));
    case 'n':
        return parse_literal(cur, "null", PdfObject());
    case '+':
    case '-':
    case '.':
        return parse_number_or_ref(cur);
    default:
        if (is_pdf_digit(b)) return parse_number_or_ref(cur);
        return ParseError::unexpected_byte(b);
    }
}

Result<PdfObject> parse_dict(Cursor& cur) {
    DepthGuard level(cur);
    if (!level.ok()) return ParseError::unexpected_byte('<');
    PdfDict pairs;
    for (;;) {
        cur.skip_ws();
        if (cur.starts_with(">>")) break;
        if (cur.at_end()) return ParseError::unexpected_eof();
        if (cur.peek() != '/') return ParseError::unexpected_byte(cur.peek());
        ++cur.pos;
        const Status key = parse_key_into(cur, pairs);
        if (!key.ok()) return key.error();
        cur.skip_ws();
        Result<PdfObject> value = parse_object(cur);
        if (!value.ok()) return value.error();
        pairs.back().value = std::move(*value);
    }
    cur.pos += 2;
    // The caller that reads an indirect object tests for `stream` itself and
    // hands the cursor to parse_stream, which expects it right after ">>".
    const std::size_t after = cur.pos;
    cur.skip_ws();
    if (cur.starts_with(kStream)) cur.pos = after;
    return PdfObject::dictionary(std::move(pairs));
}

Result<PdfObject> parse_name(Cursor& cur) {
    const std::string_view data = cur.data;
    const std::size_t start = cur.pos;
    std::size_t end = start;
    bool escaped = false;
    // Hot loop of dictionary parsing: one table load per byte.
    for (; end < data.size(); ++end) {
        const std::uint8_t b = byte_at(data, end);
        if (is_pdf_delimiter(b)) break;
        escaped |= b == '#';
    }
    cur.pos = end;
    const std::string_view raw = data.substr(start, end - start);
    if (!escaped) return PdfObject::name(raw);
    return decode_escaped_name(cur, raw);
}

Result<std::int64_t> parse_integer_raw(Cursor& cur) {
    const std::string_view data = cur.data;
    const std::size_t start = cur.pos;
    std::size_t i = start;
    bool negative = false;
    if (i < data.size() && (data[i] == '+' || data[i] == '-')) negative = data[i++] == '-';
    const std::size_t first_digit = i;
    std::uint64_t value = 0;
    bool overflow = false;
    for (; i < data.size() && is_pdf_digit(byte_at(data, i)); ++i) {
        const auto digit = static_cast<std::uint64_t>(data[i] - '0');
        overflow = overflow || __builtin_mul_overflow(value, 10u, &value) ||
                   __builtin_add_overflow(value, digit, &value);
    }
    if (i == first_digit) {
        cur.pos = start;
        return ParseError::invalid_number();
    }
    cur.pos = i;
    // Digits beyond the largest positive value read as 0, minus sign or not.
    if (overflow || value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return std::int64_t{0};
    }
    const auto magnitude = static_cast<std::int64_t>(value);
    return negative ? -magnitude : magnitude;
}

[[gnu::noinline]] Result<PdfObject> parse_number_or_ref(Cursor& cur) {
    if (token_is_real(cur.data, cur.pos)) return parse_real(cur);
    QUARVEL_TRY(const std::int64_t num, parse_integer_raw(cur));
    const std::size_t after_num = cur.pos;

    // "N G R": look ahead for the generation and the R; anything else puts
    // the cursor back right after the first integer.
    cur.skip_ws();
    if (!cur.at_end()) {
        const std::uint8_t b = cur.peek();
        if (is_pdf_digit(b) || b == '+' || b == '-') {
            auto gen = parse_integer_raw(cur);
            if (!gen.ok()) return ParseError::invalid_number();
            cur.skip_ws();
            if (!cur.at_end() && cur.peek() == 'R' &&
                (cur.remaining() == 1 || is_pdf_delimiter(byte_at(cur.data, cur.pos + 1)))) {
                ++cur.pos;
                // Object numbers keep their low 32 bits and generations
                // their low 16, as the writers that overflow them intended.
                return PdfObject::reference(
                    ObjectId{static_cast<std::uint32_t>(static_cast<std::uint64_t>(num)),
                             static_cast<std::uint16_t>(static_cast<std::uint64_t>(*gen))});
            }
        }
    }
    cur.pos = after_num;
    return PdfObject::integer(num);
}

[[gnu::noinline]] Result<PdfObject> parse_literal(Cursor& cur, std::string_view keyword,
                                                  PdfObject value) {
    if (cur.at_end()) return ParseError::unexpected_eof();
    if (cur.starts_with(keyword)) {
        const std::size_t end = cur.pos + keyword.size();
        if (end == cur.data.size() || is_pdf_delimiter(byte_at(cur.data, end))) {
            cur.pos = end;
            return value;
        }
    }
    return ParseError::unexpected_byte(cur.peek());
}

namespace {

// True when `len` bytes from `start` end where `endstream` follows, after
// optional whitespace.
bool length_reaches_endstream(std::string_view data, std::size_t start, std::uint64_t len) {
    if (len > data.size() - std::min(start, data.size())) return false;
    std::size_t at = start + static_cast<std::size_t>(len);
    while (at < data.size() && is_pdf_whitespace(static_cast<std::uint8_t>(data[at]))) ++at;
    return data.substr(at).starts_with(kEndstream);
}

std::string_view trim_stream_eol(std::string_view body) {
    if (body.ends_with("\r\n")) return body.substr(0, body.size() - 2);
    if (body.ends_with('\n') || body.ends_with('\r')) return body.substr(0, body.size() - 1);
    return body;
}

} // namespace

Result<PdfObject> parse_stream(Cursor& cur, PdfDict dict) {
    cur.skip_ws();
    if (!cur.starts_with(kStream)) return ParseError::other("expected 'stream' keyword");
    cur.pos += kStream.size();
    if (cur.mode == ReadMode::Full) {
        // Writers that put spaces between `stream` and its end of line
        // (pdflib-with_invalid_stream_EOL.pdf): the data starts after the
        // line, not at the spaces.
        std::size_t after = cur.pos;
        while (after < cur.data.size() && (cur.data[after] == ' ' || cur.data[after] == '\t'))
            ++after;
        if (after < cur.data.size() && (cur.data[after] == '\r' || cur.data[after] == '\n'))
            cur.pos = after;
    }
    if (cur.starts_with("\r")) ++cur.pos;
    if (cur.starts_with("\n")) ++cur.pos;
    const std::size_t data_start = cur.pos;
    const std::string_view data = cur.data;

    const PdfObject* length = dict_get(dict, "Length");
    // A negative /Length cannot be honoured; the endstream search below
    // recovers such bodies as it does indirect lengths.
    if (length && length->is_int() && length->as_int() >= 0) {
        const auto len = static_cast<std::uint64_t>(length->as_int());
        if (cur.mode == ReadMode::Full && !length_reaches_endstream(data, data_start, len)) {
            // Writers that rewrite a stream and forget its /Length: the body
            // runs to the `endstream` keyword, when there is one.
            const std::size_t found = data.find(kEndstream, data_start);
            if (found != std::string_view::npos) {
                cur.pos = found + kEndstream.size();
                return PdfObject::stream(std::move(dict), trim_stream_eol(data.substr(data_start, found - data_start)));
            }
        }
        if (len > cur.remaining()) return ParseError::unexpected_eof();
        const std::string_view body = data.substr(data_start, static_cast<std::size_t>(len));
        cur.pos = data_start + body.size();
        cur.skip_ws();
        if (cur.starts_with(kEndstream)) cur.pos += kEndstream.size();
        return PdfObject::stream(std::move(dict), body);
    }

    const std::size_t found = data_start <= data.size() ? data.find(kEndstream, data_start)
                                                        : std::string_view::npos;
    if (found == std::string_view::npos) return ParseError::missing_length();
    cur.pos = found + kEndstream.size();
    std::string_view body = data.substr(data_start, found - data_start);
    // The end-of-line before `endstream` belongs to the syntax, not the data.
    if (cur.mode == ReadMode::Full) body = trim_stream_eol(body);
    return PdfObject::stream(std::move(dict), body);
}

} // namespace quarvel
