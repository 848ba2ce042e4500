// The single error type of the core and the result type that carries it.
//
// Every fallible operation returns `Result<T>`: the value or a `ParseError`.
// Exceptions never cross the core's boundary for file content; a
// `ParseError` is what the caller eventually shows (as a ValueError in the
// Python module), so its texts are fixed and nothing from the file is
// formatted into them except the offending byte of `UnexpectedByte`.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace quarvel {

class ParseError {
  public:
    enum class Kind : std::uint8_t {
        UnexpectedEof,
        UnexpectedByte,
        InvalidNumber,
        InvalidHex,
        InvalidNameEscape,
        UnbalancedParens,
        MissingLength,
        Other,
    };

    static constexpr ParseError unexpected_eof() { return ParseError(Kind::UnexpectedEof); }
    static constexpr ParseError unexpected_byte(std::uint8_t byte) {
        ParseError e(Kind::UnexpectedByte);
        e.byte_ = byte;
        return e;
    }
    static constexpr ParseError invalid_number() { return ParseError(Kind::InvalidNumber); }
    static constexpr ParseError invalid_hex() { return ParseError(Kind::InvalidHex); }
    static constexpr ParseError invalid_name_escape() {
        return ParseError(Kind::InvalidNameEscape);
    }
    static constexpr ParseError unbalanced_parens() { return ParseError(Kind::UnbalancedParens); }
    static constexpr ParseError missing_length() { return ParseError(Kind::MissingLength); }
    // `message` must be a string literal: errors own no memory and are
    // copied freely between threads.
    static constexpr ParseError other(const char* message) {
        ParseError e(Kind::Other);
        e.message_ = message;
        return e;
    }

    constexpr Kind kind() const { return kind_; }
    // The offending byte of `UnexpectedByte`; 0 for every other kind.
    constexpr std::uint8_t byte() const { return byte_; }
    // The fixed text of `Other`; nullptr for every other kind.
    constexpr const char* message() const { return message_; }

    // The display text shown to users, byte for byte (UTF-8).
    std::string display() const;

    friend bool operator==(const ParseError& a, const ParseError& b);

  private:
    constexpr explicit ParseError(Kind kind) : kind_(kind) {}

    Kind kind_;
    std::uint8_t byte_ = 0;
    const char* message_ = nullptr;
};

// A value or a `ParseError`. Callers must look at it.
template <typename T> class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(ParseError error) : v_(std::in_place_index<1>, error) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Reading the wrong alternative throws std::bad_variant_access: a broken
    // invariant surfaces as an internal failure, never as a wild read.
    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const ParseError& error() const { return std::get<1>(v_); }

  private:
    std::variant<T, ParseError> v_;
};

// Success without a value.
struct Ok {};
using Status = Result<Ok>;

} // namespace quarvel

// Propagates the error of a `Result` expression, or moves its value into a
// new variable: QUARVEL_TRY(auto obj, parse_object(cur));
#define QUARVEL_CONCAT_INNER(a, b) a##b
#define QUARVEL_CONCAT(a, b) QUARVEL_CONCAT_INNER(a, b)
#define QUARVEL_TRY_IMPL(tmp, decl, expr)                                                          \
    auto tmp = (expr);                                                                             \
    if (!tmp.ok()) return tmp.error();                                                             \
    decl = std::move(tmp).value()
#define QUARVEL_TRY(decl, expr) QUARVEL_TRY_IMPL(QUARVEL_CONCAT(quarvel_try_, __LINE__), decl, expr)
