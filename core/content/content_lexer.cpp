// The content stream's own lexer. It never fails: bytes that form no operand
// are skipped one at a time, and strings and arrays left open run to the end
// of the data.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "content/content_stream.h"
#include "resource_limits.h"
#include "syntax/object.h"
#include "syntax/strings.h"

namespace quarvel {

using content_detail::has_class;
using content_detail::kDecimalDigit;
using content_detail::kNameDelimiter;
using content_detail::kWhitespace;

Operand Operand::real(double value) {
    Operand o;
    o.kind_ = Kind::Real;
    o.real_ = value;
    return o;
}

Operand Operand::integer(std::int64_t value) {
    Operand o;
    o.kind_ = Kind::Integer;
    o.integer_ = value;
    return o;
}

Operand Operand::string(std::string_view bytes) {
    Operand o;
    o.kind_ = Kind::String;
    o.chars_ = bytes.data();
    o.size_ = static_cast<std::uint32_t>(bytes.size());
    return o;
}

Operand Operand::name(std::string_view bytes) {
    Operand o = string(bytes);
    o.kind_ = Kind::Name;
    return o;
}

Operand Operand::array(std::span<const Operand> items) {
    Operand o;
    o.kind_ = Kind::Array;
    o.items_ = items.data();
    o.size_ = static_cast<std::uint32_t>(items.size());
    return o;
}

void* OperandArena::allocate(std::size_t n, std::size_t align) {
    if (n > limits::kMaxContentOperandBytes - used_) {
        overflowed_ = true;
        return nullptr;
    }
    used_ += n;
    while (block_ < blocks_.size()) {
        Block& b = blocks_[block_];
        const std::size_t at = (offset_ + align - 1) & ~(align - 1);
        if (at + n <= b.size) {
            offset_ = at + n;
            return b.data.get() + at;
        }
        ++block_;
        offset_ = 0;
    }
    // Blocks double, so a page's operands settle in a few of them.
    constexpr std::size_t kFirstBlock = 4096;
    const std::size_t size =
        std::max(n, blocks_.empty() ? kFirstBlock : std::min(blocks_.back().size * 2,
                                                             limits::kMaxContentOperandBytes));
    blocks_.push_back({std::make_unique_for_overwrite<std::byte[]>(size), size});
    block_ = blocks_.size() - 1;
    offset_ = n;
    return blocks_.back().data.get();
}

std::span<const Operand> OperandArena::store(std::span<const Operand> items) {
    if (items.empty()) return {};
    void* room = allocate(items.size_bytes(), alignof(Operand));
    if (room == nullptr) return {};
    Operand* out = static_cast<Operand*>(room);
    std::uninitialized_copy(items.begin(), items.end(), out);
    return {out, items.size()};
}

double Operand::number() const noexcept {
    switch (kind_) {
    case Kind::Integer:
        return static_cast<double>(integer_);
    case Kind::Real:
        return real_;
    default:
        return 0.0;
    }
}

namespace {

std::size_t skip_digits(std::string_view data, std::size_t pos) {
    while (pos < data.size() && has_class(data[pos], kDecimalDigit))
        ++pos;
    return pos;
}

// Powers of ten a decimal's digits are divided by; exact up to 10^22.
constexpr std::array<double, 20> kPow10 = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,
                                           1e7,  1e8,  1e9,  1e10, 1e11, 1e12, 1e13,
                                           1e14, 1e15, 1e16, 1e17, 1e18, 1e19};

std::optional<Operand> parse_number(std::string_view data, std::size_t& pos) {
    const std::size_t start = pos;
    const std::size_t n = data.size();
    const bool negative = data[pos] == '-';
    if (data[pos] == '+' || negative) ++pos;
    // The digits are read once, into an integer, on the way: the common
    // coordinate ("612", "-13.45") needs no second pass and no conversion
    // call. Overflow only matters where this value is used, checked below.
    std::uint64_t mantissa = 0;
    std::size_t digits = 0;
    for (unsigned d; pos < n && (d = static_cast<unsigned char>(data[pos]) - '0') < 10; ++pos) {
        mantissa = mantissa * 10 + d;
        ++digits;
    }
    const std::size_t integer_digits = digits;
    bool is_real = false;
    std::size_t fraction = 0;
    if (pos < n && data[pos] == '.') {
        is_real = true;
        for (++pos; pos < n; ++pos) {
            const unsigned d = static_cast<unsigned char>(data[pos]) - '0';
            if (d >= 10) break;
            mantissa = mantissa * 10 + d;
            ++fraction;
        }
        digits += fraction;
    }
    bool exponent = false;
    if (pos < n && (data[pos] == 'e' || data[pos] == 'E')) {
        is_real = exponent = true;
        ++pos;
        if (pos < n && (data[pos] == '+' || data[pos] == '-')) ++pos;
        pos = skip_digits(data, pos);
    }
    if (is_real) {
        // Up to 19 digits read as an integer that a double holds exactly,
        // divided once by an exact power of ten: correctly rounded, the
        // value real_from_token gives, bit for bit.
        if (!exponent && digits > 0 && digits <= 19 && mantissa <= (std::uint64_t{1} << 53)) {
            double value = static_cast<double>(mantissa);
            if (fraction > 0) value /= kPow10[fraction];
            return Operand::real(negative ? -value : value);
        }
        const std::optional<double> value = real_from_token(data.substr(start, pos - start));
        if (!value) return std::nullopt;
        return Operand::real(*value);
    }
    // An integer has the range of std::int64_t: a token past it, or one
    // without digits, is no operand.
    if (integer_digits == 0) return std::nullopt;
    if (integer_digits > 18) {
        // Long enough to overflow: counted again with overflow checks.
        std::uint64_t magnitude = 0;
        for (std::size_t i = pos - integer_digits; i < pos; ++i) {
            const auto digit = static_cast<std::uint64_t>(data[i] - '0');
            if (__builtin_mul_overflow(magnitude, 10u, &magnitude) ||
                __builtin_add_overflow(magnitude, digit, &magnitude)) {
                return std::nullopt;
            }
        }
        mantissa = magnitude;
    }
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (mantissa > kMax + (negative ? 1 : 0)) return std::nullopt;
    // Negated in unsigned arithmetic, so that -2^63 is no overflow.
    return Operand::integer(static_cast<std::int64_t>(negative ? 0 - mantissa : mantissa));
}

// A copy of `bytes` in the arena; nothing past its limit.
std::optional<Operand> stored_string(std::string_view bytes, OperandArena& arena) {
    if (bytes.empty()) return Operand::string({});
    char* room = arena.allocate_bytes(bytes.size());
    if (room == nullptr) return std::nullopt;
    std::copy(bytes.begin(), bytes.end(), room);
    return Operand::string({room, bytes.size()});
}

std::optional<Operand> parse_literal_string(std::string_view data, std::size_t& pos,
                                            OperandArena& arena) {
    // Under the content rules only escapes change bytes: a string without a
    // backslash is its bytes between the balanced parentheses.
    std::size_t depth = 1;
    for (std::size_t i = pos; i < data.size(); ++i) {
        const char c = data[i];
        if (c == '\\') break;
        if (c == '(') {
            ++depth;
        } else if (c == ')' && --depth == 0) {
            const std::string_view bytes = data.substr(pos, i - pos);
            pos = i + 1;
            return Operand::string(bytes);
        }
    }
    DecodedString decoded = decode_literal_string(data.substr(pos), kContentStreamStringRules);
    pos += decoded.end;
    return stored_string(decoded.bytes, arena);
}

// Runs to the first '>' or, left open, to the end of the data.
std::optional<Operand> parse_hex_string(std::string_view data, std::size_t& pos,
                                        OperandArena& arena) {
    const std::size_t close = std::min(data.find('>', pos), data.size());
    const std::string_view digits = data.substr(pos, close - pos);
    pos = std::min(close + 1, data.size());
    char* out = arena.allocate_bytes(digits.size() / 2 + 1);
    if (out == nullptr) return std::nullopt;
    const std::size_t n = decode_hex_string_into(digits, out);
    return Operand::string({out, n});
}

Operand parse_name(std::string_view data, std::size_t& pos) {
    const std::size_t start = pos;
    while (pos < data.size() && !has_class(data[pos], kNameDelimiter))
        ++pos;
    return Operand::name(data.substr(start, pos - start));
}

// Skips whitespace and comments; false when the data ended inside them.
bool skip_space_and_comments(std::string_view data, std::size_t& pos) {
    while (pos < data.size()) {
        const char c = data[pos];
        if (has_class(c, kWhitespace)) {
            ++pos;
        } else if (c == '%') {
            while (pos < data.size() && data[pos] != '\n' && data[pos] != '\r')
                ++pos;
        } else {
            return true;
        }
    }
    return false;
}

// Every operand but an array; `[` is the caller's.
std::optional<Operand> parse_scalar(std::string_view data, std::size_t& pos,
                                    OperandArena& arena) {
    const char c = data[pos];
    if (has_class(c, content_detail::kNumberStart)) return parse_number(data, pos);
    ++pos;
    switch (c) {
    case '(':
        return parse_literal_string(data, pos, arena);
    case '<':
        if (pos < data.size() && data[pos] == '<') {
            ++pos; // a dictionary opener; its entries become separate operands
            return std::nullopt;
        }
        return parse_hex_string(data, pos, arena);
    case '/':
        return parse_name(data, pos);
    default:
        return std::nullopt;
    }
}

// Arrays nest on an explicit stack of open frames, so no nesting reaches
// the machine stack: the elements of every open array wait in
// arena.pending, each array's from its entry in arena.open_arrays on, and
// move to the arena when the array closes. Arrays nested deeper than
// kMaxContentArrayDepth are still read to their closing bracket but
// dropped. An array the arena has no room for is dropped too.
std::optional<Operand> parse_array(std::string_view data, std::size_t& pos,
                                   OperandArena& arena) {
    std::vector<Operand>& pending = arena.pending;
    std::vector<std::size_t>& open = arena.open_arrays;
    pending.clear();
    open.assign(1, 0);
    std::size_t dropped_levels = 0;
    auto close_frame = [&] {
        if (dropped_levels > 0) {
            --dropped_levels;
            return;
        }
        const std::size_t start = open.back();
        open.pop_back();
        const std::span<const Operand> items =
            arena.store(std::span<const Operand>(pending).subspan(start));
        pending.resize(start);
        pending.push_back(Operand::array(items));
    };
    while (true) {
        if (!skip_space_and_comments(data, pos)) break;
        const char c = data[pos];
        if (c == ']') {
            ++pos;
            if (dropped_levels == 0 && open.size() == 1) break;
            close_frame();
        } else if (c == '[') {
            ++pos;
            if (dropped_levels == 0 && open.size() < limits::kMaxContentArrayDepth) {
                open.push_back(pending.size());
            } else {
                ++dropped_levels;
            }
        } else if (auto operand = parse_scalar(data, pos, arena)) {
            if (dropped_levels == 0) pending.push_back(*operand);
        }
    }
    // The data ended with arrays still open: each closes where it stands.
    while (open.size() > 1) {
        dropped_levels = 0;
        close_frame();
    }
    const std::span<const Operand> items = arena.store(pending);
    // Something of it found no room: the array goes whole.
    if (arena.overflowed()) return std::nullopt;
    return Operand::array(items);
}

} // namespace

namespace {

// The value after the key `long_key` or `short_key` among an inline image's
// dictionary entries.
const Operand* inline_entry(std::span<const Operand> entries, std::string_view long_key,
                            std::string_view short_key) {
    for (std::size_t i = 0; i + 1 < entries.size(); i += 2) {
        const Operand& key = entries[i];
        if (key.is_name() && (key.bytes() == long_key || key.bytes() == short_key)) {
            return &entries[i + 1];
        }
    }
    return nullptr;
}

std::optional<std::uint64_t> inline_count(std::span<const Operand> entries,
                                          std::string_view long_key, std::string_view short_key) {
    const Operand* value = inline_entry(entries, long_key, short_key);
    if (value == nullptr || value->kind() != Operand::Kind::Integer || value->integer_value() < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(value->integer_value());
}

// The bytes of unfiltered image data, from its size, depth and colour
// space; nothing when they are not all given plainly.
std::optional<std::uint64_t> unfiltered_size(std::span<const Operand> entries) {
    const auto width = inline_count(entries, "Width", "W");
    const auto height = inline_count(entries, "Height", "H");
    if (!width || !height) return std::nullopt;
    // Masks (/IM true) are left to the EI search: `true` reaches the
    // interpreter as an operator, which drops the entries before it.
    const Operand* space = inline_entry(entries, "ColorSpace", "CS");
    if (space == nullptr || !space->is_name()) return std::nullopt;
    std::uint64_t components = 1;
    const std::string_view name = space->bytes();
    if (name == "RGB" || name == "DeviceRGB") {
        components = 3;
    } else if (name == "CMYK" || name == "DeviceCMYK") {
        components = 4;
    } else if (name != "G" && name != "DeviceGray") {
        return std::nullopt;
    }
    const auto bits = inline_count(entries, "BitsPerComponent", "BPC");
    if (!bits || (*bits != 1 && *bits != 2 && *bits != 4 && *bits != 8 && *bits != 16)) {
        return std::nullopt;
    }
    std::uint64_t row_bits = 0;
    std::uint64_t total = 0;
    if (__builtin_mul_overflow(*width, *bits * components, &row_bits) ||
        __builtin_mul_overflow(row_bits / 8 + (row_bits % 8 != 0), *height, &total)) {
        return std::nullopt;
    }
    return total;
}

bool ends_operator(std::string_view data, std::size_t at) {
    return at >= data.size() || has_class(data[at], kNameDelimiter);
}

// True when an EI operator starts at `at`, possibly after whitespace.
std::optional<std::size_t> ei_after(std::string_view data, std::size_t at) {
    while (at < data.size() && has_class(data[at], kWhitespace))
        ++at;
    if (data.substr(at).starts_with("EI") && ends_operator(data, at + 2)) return at;
    return std::nullopt;
}

} // namespace

std::size_t inline_image_end(std::string_view data, std::size_t pos,
                             std::span<const Operand> operands) {
    const std::size_t n = data.size();
    pos = std::min(pos, n);
    // Where the data's size is known, it is trusted when EI follows it.
    std::optional<std::uint64_t> known = inline_count(operands, "Length", "L");
    const Operand* filter = inline_entry(operands, "Filter", "F");
    const Operand* first = filter;
    if (filter != nullptr && filter->is_array()) {
        first = filter->items().empty() ? nullptr : &filter->items().front();
    }
    if (!known && filter == nullptr) known = unfiltered_size(operands);
    if (known && *known <= n - pos) {
        if (auto at = ei_after(data, pos + static_cast<std::size_t>(*known))) return *at;
    }
    // ASCII filters end their data with a marker no EI can hide in.
    if (first != nullptr && first->is_name()) {
        const std::string_view name = first->bytes();
        std::size_t marker = std::string_view::npos;
        if (name == "A85" || name == "ASCII85Decode") {
            marker = data.find("~>", pos);
            if (marker != std::string_view::npos) marker += 2;
        } else if (name == "AHx" || name == "ASCIIHexDecode") {
            marker = data.find('>', pos);
            if (marker != std::string_view::npos) marker += 1;
        }
        if (marker != std::string_view::npos) {
            if (auto at = ei_after(data, marker)) return *at;
        }
    }
    // Otherwise the first EI standing alone as a token.
    for (std::size_t at = data.find("EI", pos); at != std::string_view::npos;
         at = data.find("EI", at + 1)) {
        if ((at == pos || has_class(data[at - 1], kWhitespace)) && ends_operator(data, at + 2)) {
            return at;
        }
    }
    return n;
}

std::optional<Operand> parse_operand(std::string_view data, std::size_t& pos,
                                     OperandArena& arena) {
    if (data[pos] == '[') {
        ++pos;
        return parse_array(data, pos, arena);
    }
    return parse_scalar(data, pos, arena);
}

} // namespace quarvel
