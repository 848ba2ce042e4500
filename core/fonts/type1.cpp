#include "fonts/type1.h"

#include <charconv>
#include <cstdint>

namespace quarvel {

namespace {

// PostScript names are at most 127 characters; a longer token is not a
// glyph name, and keeping it would let 256 entries hold megabytes.
constexpr std::size_t kMaxGlyphNameLength = 127;

// A PFB file wraps the program in segments of a 6-byte header (0x80, a
// type, a little-endian length); the clear text is the first one, of type 1.
std::string_view clear_text(std::string_view program) {
    if (program.size() < 6 || program[0] != '\x80' || program[1] != '\x01') return program;
    std::uint32_t len = 0;
    for (int i = 5; i >= 2; --i)
        len = (len << 8) | static_cast<unsigned char>(program[i]);
    return program.substr(6, len); // substr clamps a length running past the end
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\0';
}

bool is_delimiter(char c) {
    return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' ||
           c == '}' || c == '/' || c == '%';
}

// Splits the clear text into PostScript tokens: a literal name keeps its
// slash, a delimiter is a token of its own; comments and strings are skipped
// (the latter hold copyright notices that may contain anything).
class Tokens {
  public:
    explicit Tokens(std::string_view text) : s_(text) {}

    std::string_view next() {
        for (;;) {
            while (pos_ < s_.size() && is_space(s_[pos_]))
                ++pos_;
            if (pos_ >= s_.size()) return {};
            if (s_[pos_] == '%') {
                while (pos_ < s_.size() && s_[pos_] != '\n' && s_[pos_] != '\r')
                    ++pos_;
                continue;
            }
            if (s_[pos_] == '(') {
                skip_string();
                continue;
            }
            break;
        }
        const std::size_t start = pos_;
        if (s_[pos_] == '/')
            ++pos_;
        else if (is_delimiter(s_[pos_]))
            return s_.substr(pos_++, 1);
        while (pos_ < s_.size() && !is_space(s_[pos_]) && !is_delimiter(s_[pos_]))
            ++pos_;
        return s_.substr(start, pos_ - start);
    }

  private:
    void skip_string() {
        int depth = 0;
        for (; pos_ < s_.size(); ++pos_) {
            const char c = s_[pos_];
            if (c == '\\')
                ++pos_;
            else if (c == '(')
                ++depth;
            else if (c == ')' && --depth == 0) {
                ++pos_;
                return;
            }
        }
    }

    std::string_view s_;
    std::size_t pos_ = 0;
};

std::optional<int> code_of(std::string_view token) {
    int v = 0;
    const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), v);
    if (ec != std::errc() || end != token.data() + token.size() || v < 0 || v > 255) {
        return std::nullopt;
    }
    return v;
}

bool is_glyph_name(std::string_view token) {
    return token.size() >= 2 && token[0] == '/' && token.size() - 1 <= kMaxGlyphNameLength;
}

} // namespace

std::optional<Type1Encoding> parse_type1_encoding(std::string_view program) {
    Tokens tokens(clear_text(program));
    std::string_view t;
    // The encoding is read from the clear text only: past eexec the bytes
    // are encrypted and a chance "/Encoding" there means nothing.
    while (!(t = tokens.next()).empty() && t != "/Encoding") {
        if (t == "eexec") return std::nullopt;
    }
    if (t.empty()) return std::nullopt;

    Type1Encoding enc;
    t = tokens.next();
    if (t == "StandardEncoding") {
        enc.standard = true;
        return enc;
    }
    if (t == "[") {
        // A literal array names codes 0, 1, ... in order.
        std::size_t code = 0;
        while (!(t = tokens.next()).empty() && t != "]" && code < enc.names.size()) {
            if (is_glyph_name(t)) enc.names[code] = t.substr(1);
            ++code;
        }
        return enc;
    }
    if (t.empty() || t.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt; // another named encoding, or none this reader knows
    }
    // `256 array 0 1 255 {1 index exch /.notdef put} for` and then
    // `dup <code> /<name> put` entries until the array is defined. A
    // malformed entry is skipped; the ones around it still count.
    while (!(t = tokens.next()).empty()) {
        if (t == "def" || t == "readonly" || t == "eexec") break;
        if (t != "dup") continue;
        const auto code = code_of(tokens.next());
        const std::string_view name = tokens.next();
        if (!code || !is_glyph_name(name)) continue;
        if (tokens.next() != "put") continue;
        enc.names[static_cast<std::size_t>(*code)] = name.substr(1);
    }
    return enc;
}

} // namespace quarvel
