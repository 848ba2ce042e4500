// ToUnicode CMaps: the bfchar and bfrange sections of a CMap's text, and the
// lookup of one code in them. The compact reader reads nothing else of the
// CMap language; the full reader's parse also reads bfrange arrays,
// codespace ranges, cidchar and cidrange sections, usecmap and /WMode, so
// that embedded encoding CMaps of Type0 fonts decode too.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <vector>

#include "fonts/font.h"
#include "resource_limits.h"
#include "syntax/object.h"
#include "syntax/text.h"

namespace quarvel {
namespace {

std::uint8_t byte_at(std::string_view s, std::size_t i) { return static_cast<std::uint8_t>(s[i]); }

// Length of the UTF-8 sequence a lead byte starts (1 for a stray
// continuation byte, so a walk over bytes that are not UTF-8 still ends).
std::size_t utf8_length(std::uint8_t lead) {
    if (lead < 0xC0) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

constexpr bool is_ascii_white_space(std::uint8_t b) { return b == ' ' || (b >= 0x09 && b <= 0x0D); }

// Length of the non-ASCII white-space character at `i` (Unicode White_Space:
// NEL, NBSP and the wide spaces), or 0.
std::size_t wide_white_space_at(std::string_view s, std::size_t i) {
    const std::uint8_t b = byte_at(s, i);
    const std::size_t n = utf8_length(b);
    if (n < 2 || i + n > s.size()) return 0;
    const std::uint8_t b1 = byte_at(s, i + 1);
    if (n == 2) return (b == 0xC2 && (b1 == 0x85 || b1 == 0xA0)) ? 2 : 0;
    if (n != 3) return 0;
    const std::uint8_t b2 = byte_at(s, i + 2);
    if (b == 0xE1) return (b1 == 0x9A && b2 == 0x80) ? 3 : 0; // U+1680
    if (b == 0xE3) return (b1 == 0x80 && b2 == 0x80) ? 3 : 0; // U+3000
    if (b != 0xE2) return 0;
    if (b1 == 0x80) {
        // U+2000..U+200A, U+2028, U+2029, U+202F
        return (b2 <= 0x8A || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
    }
    return (b1 == 0x81 && b2 == 0x9F) ? 3 : 0; // U+205F
}

// The tokens of a section body, separated by runs of Unicode white space,
// produced one at a time so that a huge body costs no token list.
class Tokenizer {
  public:
    explicit Tokenizer(std::string_view body) : body_(body) {}

    std::optional<std::string_view> next() {
        constexpr std::size_t kNone = std::string_view::npos;
        std::size_t start = kNone;
        while (i_ < body_.size()) {
            const std::uint8_t b = byte_at(body_, i_);
            const std::size_t ws =
                b < 0x80 ? (is_ascii_white_space(b) ? 1 : 0) : wide_white_space_at(body_, i_);
            if (ws) {
                i_ += ws;
                if (start != kNone) return body_.substr(start, i_ - ws - start);
                continue;
            }
            if (start == kNone) start = i_;
            // Quartz, Ghostscript and pdfTeX among others write a bfrange
            // triple's hex strings side by side, "<21><21><0054>"; read as
            // one token that is never a usable code, so adjacent hex
            // strings are separate tokens.
            if (b == '>' && i_ + 1 < body_.size() && body_[i_ + 1] == '<') {
                ++i_;
                return body_.substr(start, i_ - start);
            }
            i_ += utf8_length(b);
        }
        if (start != kNone) return body_.substr(start);
        return std::nullopt;
    }

  private:
    std::string_view body_;
    std::size_t i_ = 0;
};

// Most CMaps are pure ASCII, which needs no sequence-by-sequence check.
bool is_ascii(std::string_view s) {
    unsigned char any = 0;
    for (const char c : s) any |= static_cast<unsigned char>(c);
    return any < 0x80;
}

struct Section {
    std::string_view body;
    bool closed = false; // the end keyword was found
    std::size_t next = 0;
};

// The section opened by `begin` at or after `from`, up to `end` or to the
// end of the text.
std::optional<Section> next_section(std::string_view text, std::size_t from,
                                    std::string_view begin, std::string_view end) {
    const auto b = find_token(text, from, begin);
    if (!b) return std::nullopt;
    const std::size_t body_start = *b + begin.size();
    const auto e = find_token(text, body_start, end);
    if (!e) return Section{text.substr(body_start), false, text.size()};
    return Section{text.substr(body_start, *e - body_start), true, *e + end.size()};
}

// The matching range for a code of the same length, in stream order.
const CMap::Range* scan_ranges(const std::vector<CMap::Range>& ranges, std::string_view code) {
    for (const CMap::Range& r : ranges) {
        if (r.low.size() != code.size() || r.high.size() != code.size()) continue;
        // Byte-wise unsigned order is what string_view's compare gives.
        if (r.low <= code && code <= r.high) return &r;
    }
    return nullptr;
}

std::uint32_t code_value(std::string_view code) {
    std::uint32_t v = 0;
    for (const char c : code) v = (v << 8) | static_cast<std::uint8_t>(c);
    return v;
}

// Below this many ranges a scan is as fast as the index and costs no table.
constexpr std::size_t kIndexedRangesMin = 32;

} // namespace

// For each one- and two-byte code, 1 + the position of the first range that
// holds it, or 0.
struct CMap::RangeIndex {
    const Range* built_for = nullptr;
    std::size_t count = 0;
    std::vector<std::uint32_t> one_byte;
    std::vector<std::uint32_t> two_byte;
};

namespace {

// Gives every code of `table` (all codes of `len` bytes) its first range in
// stream order. Filled codes are skipped through `next` (the next code not
// yet filled, with path halving), so the work is one step per code plus one
// per range however much the ranges overlap.
void fill_first_ranges(std::vector<std::uint32_t>& table, const std::vector<CMap::Range>& ranges,
                        std::size_t len) {
    std::vector<std::uint32_t> next(table.size() + 1);
    for (std::size_t c = 0; c < next.size(); ++c) next[c] = static_cast<std::uint32_t>(c);
    const auto unfilled_from = [&next](std::uint32_t c) {
        while (next[c] != c) {
            next[c] = next[next[c]];
            c = next[c];
        }
        return c;
    };
    for (std::size_t k = 0; k < ranges.size(); ++k) {
        const CMap::Range& r = ranges[k];
        if (r.low.size() != len || r.high.size() != len || r.high < r.low) continue;
        const std::uint32_t high = code_value(r.high);
        for (std::uint32_t c = unfilled_from(code_value(r.low)); c <= high;
             c = unfilled_from(c)) {
            table[c] = static_cast<std::uint32_t>(k + 1);
            next[c] = c + 1;
        }
    }
}

std::shared_ptr<const CMap::RangeIndex> build_range_index(const std::vector<CMap::Range>& ranges) {
    auto index = std::make_shared<CMap::RangeIndex>();
    index->built_for = ranges.data();
    index->count = ranges.size();
    index->one_byte.assign(256, 0);
    index->two_byte.assign(65536, 0);
    fill_first_ranges(index->one_byte, ranges, 1);
    fill_first_ranges(index->two_byte, ranges, 2);
    return index;
}

const CMap::Range* find_range(const CMap& cmap, std::string_view code) {
    const CMap::RangeIndex* index = cmap.range_index.get();
    if (index && index->built_for == cmap.ranges.data() && index->count == cmap.ranges.size() &&
        (code.size() == 1 || code.size() == 2)) {
        const auto& table = code.size() == 1 ? index->one_byte : index->two_byte;
        const std::uint32_t k = table[code_value(code)];
        return k ? &cmap.ranges[k - 1] : nullptr;
    }
    return scan_ranges(cmap.ranges, code);
}

// code − low, kept to its last 32 bits. For the ranges the CMap format
// allows (low and high differ only in the last byte) this is the plain
// byte difference; for others it is still the numeric distance, taken
// modulo 2^32, which only the last four bytes of each side decide.
std::uint32_t range_offset(std::string_view code, std::string_view low) {
    const std::size_t from = code.size() > 4 ? code.size() - 4 : 0;
    return code_value(code.substr(from)) - code_value(low.substr(from));
}

// dest + offset modulo 256^size, written into `out` (dest.size() bytes):
// carries move into earlier bytes, a carry out of the first byte is dropped.
void add_offset(std::string_view dest, std::uint32_t offset, std::uint8_t* out) {
    std::uint32_t carry = 0;
    for (std::size_t k = dest.size(); k-- > 0;) {
        const std::uint32_t sum = byte_at(dest, k) + (offset & 0xFF) + carry;
        out[k] = static_cast<std::uint8_t>(sum & 0xFF);
        carry = sum >> 8;
        offset >>= 8;
    }
}

bool is_scalar(std::uint32_t v) { return v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF); }

} // namespace

std::optional<std::size_t> find_token(std::string_view text, std::size_t from,
                                      std::string_view token) {
    if (from > text.size()) return std::nullopt;
    const std::size_t at = text.find(token, from);
    if (at == std::string_view::npos) return std::nullopt;
    return at;
}

std::string parse_hex_tokens(std::string_view token) {
    while (!token.empty() && token.front() == '<') token.remove_prefix(1);
    while (!token.empty() && token.back() == '>') token.remove_suffix(1);
    std::string out;
    out.reserve(token.size() / 2);
    // Characters, not bytes, are paired: a non-ASCII character counts as one
    // digit of value 0.
    bool have_high = false;
    std::uint8_t high = 0;
    std::size_t i = 0;
    while (i < token.size()) {
        const std::uint8_t b = byte_at(token, i);
        const std::uint8_t v = hex_value(b);
        i += utf8_length(b);
        if (have_high) {
            out += static_cast<char>(high * 16 + v);
        } else {
            high = v;
        }
        have_high = !have_high;
    }
    return out;
}

CMap parse_cmap(std::string_view bytes) {
    CMap cmap;
    // A CMap whose text is not UTF-8 as a whole is not read at all.
    if (!is_ascii(bytes) && !is_valid_utf8(bytes)) return cmap;
    const std::string_view text = bytes;

    std::size_t pos = 0;
    std::size_t pairs = 0;
    while (auto section = next_section(text, pos, "beginbfchar", "endbfchar")) {
        Tokenizer tokens(section->body);
        while (pairs < limits::kMaxCMapEntries) {
            const auto first = tokens.next();
            const auto second = tokens.next();
            if (!second) break;
            std::string src = parse_hex_tokens(*first);
            std::string dst = parse_hex_tokens(*second);
            if (src.empty() || dst.empty()) continue;
            cmap.char_map.insert_or_assign(std::move(src), std::move(dst));
            ++pairs;
        }
        if (!section->closed) break;
        pos = section->next;
    }

    pos = 0;
    while (auto section = next_section(text, pos, "beginbfrange", "endbfrange")) {
        Tokenizer tokens(section->body);
        while (cmap.ranges.size() < limits::kMaxCMapEntries) {
            const auto low = tokens.next();
            const auto high = tokens.next();
            const auto dest = tokens.next();
            if (!dest) break;
            CMap::Range r{parse_hex_tokens(*low), parse_hex_tokens(*high), parse_hex_tokens(*dest)};
            if (r.low.empty() || r.high.empty() || r.dest.empty()) continue;
            cmap.ranges.push_back(std::move(r));
        }
        if (!section->closed) break;
        pos = section->next;
    }
    if (cmap.ranges.size() >= kIndexedRangesMin) cmap.range_index = build_range_index(cmap.ranges);
    return cmap;
}

std::optional<std::string> CMap::lookup(std::string_view code) const {
    if (!char_map.empty()) {
        if (auto it = char_map.find(code); it != char_map.end()) return it->second;
    }
    const Range* r = find_range(*this, code);
    if (!r) return std::nullopt;
    std::string out(r->dest.size(), '\0');
    add_offset(r->dest, range_offset(code, r->low), reinterpret_cast<std::uint8_t*>(out.data()));
    return out;
}

std::optional<char32_t> CMap::lookup_char(std::string_view code) const {
    if (!char_map.empty()) {
        if (auto it = char_map.find(code); it != char_map.end()) {
            return decode_destination(it->second);
        }
    }
    const Range* r = find_range(*this, code);
    // Destinations longer than four bytes hold more than one character
    // whatever the offset, so they need not be computed.
    if (!r || r->dest.size() > 4) return std::nullopt;
    std::array<std::uint8_t, 4> buf{};
    add_offset(r->dest, range_offset(code, r->low), buf.data());
    return decode_destination(
        std::string_view(reinterpret_cast<const char*>(buf.data()), r->dest.size()));
}

std::optional<char32_t> decode_destination(std::string_view dest) {
    const std::uint32_t v = code_value(dest.substr(0, 4));
    switch (dest.size()) {
    case 1:
        return static_cast<char32_t>(v);
    case 2:
        if (v >= 0xD800 && v <= 0xDFFF) return std::nullopt;
        return static_cast<char32_t>(v);
    case 3:
        if (!is_scalar(v)) return std::nullopt;
        return static_cast<char32_t>(v);
    case 4: {
        const std::uint32_t hi = v >> 16, lo = v & 0xFFFF;
        if (hi >= 0xD800 && hi <= 0xDBFF && lo >= 0xDC00 && lo <= 0xDFFF) {
            return static_cast<char32_t>(0x10000 + (hi - 0xD800) * 0x400 + (lo - 0xDC00));
        }
        if (!is_scalar(v)) return std::nullopt;
        return static_cast<char32_t>(v);
    }
    default:
        return std::nullopt;
    }
}

} // namespace quarvel

// --- the full reader's CMaps -------------------------------------------------

namespace quarvel {
namespace {

// One token of a CMap's PostScript text, for the full reader. Hex strings
// keep their brackets so they stand apart from names and numbers.
class CMapLexer {
  public:
    explicit CMapLexer(std::string_view text) : text_(text) {}

    std::optional<std::string_view> next() {
        while (i_ < text_.size()) {
            const std::uint8_t b = byte_at(text_, i_);
            if (is_ascii_white_space(b) || b == 0) {
                ++i_;
            } else if (b == '%') {
                while (i_ < text_.size() && text_[i_] != '\n' && text_[i_] != '\r') ++i_;
            } else {
                break;
            }
        }
        if (i_ >= text_.size()) return std::nullopt;
        const std::size_t start = i_;
        const char c = text_[i_];
        if (c == '<') {
            if (i_ + 1 < text_.size() && text_[i_ + 1] == '<') {
                i_ += 2;
            } else {
                const std::size_t close = text_.find('>', i_);
                i_ = close == std::string_view::npos ? text_.size() : close + 1;
            }
        } else if (c == '(') {
            // Strings (CMapName, Registry) carry nothing decoding needs;
            // they are skipped whole, nesting and escapes counted.
            int depth = 0;
            while (i_ < text_.size()) {
                const char s = text_[i_++];
                if (s == '\\') {
                    ++i_;
                } else if (s == '(') {
                    ++depth;
                } else if (s == ')' && --depth == 0) {
                    break;
                }
            }
        } else if (c == '>' || c == '[' || c == ']' || c == '{' || c == '}') {
            i_ += (c == '>' && i_ + 1 < text_.size() && text_[i_ + 1] == '>') ? 2 : 1;
        } else {
            ++i_;
            while (i_ < text_.size()) {
                const std::uint8_t d = byte_at(text_, i_);
                if (is_ascii_white_space(d) || d == 0 || std::string_view("<>[]{}()/%").find(
                                                             static_cast<char>(d)) !=
                                                             std::string_view::npos) {
                    break;
                }
                ++i_;
            }
        }
        return text_.substr(start, i_ - start);
    }

  private:
    std::string_view text_;
    std::size_t i_ = 0;
};

bool is_hex_token(std::string_view t) { return t.size() >= 2 && t.front() == '<' && t[1] != '<'; }

std::optional<std::uint32_t> integer_token(std::string_view t) {
    std::uint32_t v = 0;
    const char* end = t.data() + t.size();
    if (auto [p, ec] = std::from_chars(t.data(), end, v); ec != std::errc() || p != end) {
        return std::nullopt;
    }
    return v;
}

// A code of one to four bytes as its big-endian value.
bool short_code(std::string_view code) { return !code.empty() && code.size() <= 4; }

void add_codespace(CMap& cmap, std::string_view low, std::string_view high) {
    if (!short_code(low) || low.size() != high.size()) return;
    CMap::Codespace r;
    r.length = static_cast<std::uint8_t>(low.size());
    for (std::size_t k = 0; k < r.low.size(); ++k) {
        if (k >= low.size()) break;
        r.low[k] = byte_at(low, k);
        r.high[k] = byte_at(high, k);
    }
    cmap.codespace.push_back(r);
}

// The operands of one section, read by the section's keyword once it ends.
void read_section(CMap& cmap, std::string_view kind, const std::vector<std::string_view>& ops,
                  std::size_t& entries) {
    // White space may sit anywhere inside a hex string.
    const auto hex = [&](std::size_t k) {
        std::string digits;
        for (const char c : ops[k]) {
            if (!is_ascii_white_space(static_cast<std::uint8_t>(c))) digits += c;
        }
        return parse_hex_tokens(digits);
    };
    const auto room = [&] { return entries < limits::kMaxCMapEntries; };
    std::size_t k = 0;
    if (kind == "codespacerange") {
        for (; k + 1 < ops.size() && room(); k += 2, ++entries)
            add_codespace(cmap, hex(k), hex(k + 1));
    } else if (kind == "bfchar") {
        while (k + 1 < ops.size() && room()) {
            if (!is_hex_token(ops[k]) || !is_hex_token(ops[k + 1])) {
                ++k; // realign on the next hex pair
                continue;
            }
            std::string src = hex(k), dst = hex(k + 1);
            k += 2;
            if (src.empty() || dst.empty()) continue;
            // The first entry of a code wins, as ranges do.
            cmap.char_map.try_emplace(std::move(src), std::move(dst));
            ++entries;
        }
    } else if (kind == "bfrange") {
        while (k + 2 < ops.size() && room()) {
            if (!is_hex_token(ops[k]) || !is_hex_token(ops[k + 1])) {
                ++k;
                continue;
            }
            std::string low = hex(k), high = hex(k + 1);
            if (ops[k + 2] == "[") {
                // One destination per code, in order: the array form.
                std::size_t j = k + 3;
                std::string code = low;
                bool done = low.empty() || low.size() != high.size() || high < low;
                for (; j < ops.size() && ops[j] != "]"; ++j) {
                    if (done || !room()) continue;
                    std::string dst = hex(j);
                    if (!dst.empty()) {
                        cmap.char_map.try_emplace(code, std::move(dst));
                        ++entries;
                    }
                    if (code == high) {
                        done = true;
                        continue;
                    }
                    // Next code: increment with carry.
                    for (std::size_t b = code.size(); b-- > 0;) {
                        code[b] = static_cast<char>(static_cast<std::uint8_t>(code[b]) + 1);
                        if (code[b] != 0) break;
                    }
                }
                k = j + 1;
                continue;
            }
            std::string dst = hex(k + 2);
            k += 3;
            if (low.empty() || high.empty() || dst.empty()) continue;
            cmap.ranges.push_back({std::move(low), std::move(high), std::move(dst)});
            ++entries;
        }
    } else if (kind == "cidchar" || kind == "cidrange") {
        const std::size_t arity = kind == "cidchar" ? 2 : 3;
        for (; k + arity - 1 < ops.size() && room(); k += arity) {
            const std::string low = hex(k);
            const std::string high = arity == 3 ? hex(k + 1) : low;
            const auto cid = integer_token(ops[k + arity - 1]);
            if (!cid || !short_code(low) || low.size() != high.size()) continue;
            cmap.cid_ranges.push_back({static_cast<std::uint8_t>(low.size()), code_value(low),
                                       code_value(high), *cid});
            ++entries;
        }
    }
}

} // namespace

CMap parse_cmap(std::string_view bytes, const ReadOptions& options) {
    if (!options.full()) return parse_cmap(bytes);
    CMap cmap;
    CMapLexer lexer(bytes);
    std::vector<std::string_view> ops;
    std::string_view section;
    std::size_t entries = 0;
    std::string_view prev, prev2;
    while (auto token = lexer.next()) {
        const std::string_view t = *token;
        if (!section.empty()) {
            if (t.starts_with("end") && t.substr(3) == section) {
                read_section(cmap, section, ops, entries);
                ops.clear();
                section = {};
            } else if (t.starts_with("begin")) {
                // An unclosed section ends where the next one begins.
                read_section(cmap, section, ops, entries);
                ops.clear();
                section = t.substr(5);
            } else if (ops.size() < 4 * limits::kMaxCMapEntries) {
                ops.push_back(t);
            }
            continue;
        }
        if (t == "begincodespacerange" || t == "beginbfchar" || t == "beginbfrange" ||
            t == "begincidchar" || t == "begincidrange") {
            section = t.substr(5);
        } else if (t == "usecmap" && prev.starts_with("/")) {
            cmap.usecmap = std::string(prev.substr(1));
        } else if (t == "def" && prev2 == "/WMode") {
            cmap.vertical = prev == "1";
        }
        prev2 = prev;
        prev = t;
    }
    if (!section.empty()) read_section(cmap, section, ops, entries);
    if (cmap.ranges.size() >= kIndexedRangesMin) cmap.range_index = build_range_index(cmap.ranges);
    return cmap;
}

std::u32string destination_text(std::string_view dest) {
    std::u32string out;
    if (dest.size() == 1) {
        if (dest[0] != 0) out.push_back(byte_at(dest, 0));
        return out;
    }
    if (dest.size() == 3) {
        const std::uint32_t v = code_value(dest);
        if (v != 0 && is_scalar(v)) out.push_back(static_cast<char32_t>(v));
        return out;
    }
    for (std::size_t k = 0; k + 1 < dest.size(); k += 2) {
        const std::uint32_t u = byte_at(dest, k) << 8 | byte_at(dest, k + 1);
        if (u >= 0xD800 && u <= 0xDBFF && k + 3 < dest.size()) {
            const std::uint32_t lo = byte_at(dest, k + 2) << 8 | byte_at(dest, k + 3);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                out.push_back(
                    static_cast<char32_t>(0x10000 + (u - 0xD800) * 0x400 + (lo - 0xDC00)));
                k += 2;
                continue;
            }
        }
        if (u == 0 || (u >= 0xD800 && u <= 0xDFFF)) continue;
        out.push_back(static_cast<char32_t>(u));
    }
    return out;
}

std::optional<std::u32string> CMap::lookup_text(std::string_view code) const {
    std::optional<std::string> dest = lookup(code);
    if (!dest) return std::nullopt;
    std::u32string text = destination_text(*dest);
    if (text.empty()) return std::nullopt;
    return text;
}

} // namespace quarvel
