// The value of one parsed PDF object, and the identity of an indirect one.
//
// Objects are thin: strings, names and stream bodies are byte views into the
// buffer that was parsed (the mapped file, or a decoded object-stream buffer
// owned by the document's arena). Only arrays and dictionaries own memory.
// A `PdfObject` is therefore valid only while the buffer it was parsed from
// lives; for objects handed out by a `Document`, while that `Document` lives.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quarvel {

struct ObjectId {
    std::uint32_t num = 0;
    std::uint16_t gen = 0;

    friend bool operator==(const ObjectId&, const ObjectId&) = default;
};

class PdfObject;
struct DictEntry;
using PdfArray = std::vector<PdfObject>;
// Pairs in file order, duplicates kept: `PdfObject::get` takes the first.
using PdfDict = std::vector<DictEntry>;

class PdfObject {
  public:
    // Declaration order is part of the model: the variant index is the type.
    enum class Type : std::uint8_t {
        Null,
        Boolean,
        Integer,
        Real,
        String,
        HexString,
        Name,
        Array,
        Dictionary,
        Reference,
        Stream,
    };

    PdfObject() = default; // Null

    // Defined below DictEntry: clang instantiates the variant's destructor
    // where a factory body stands, and needs DictEntry complete there.
    static PdfObject boolean(bool v);
    static PdfObject integer(std::int64_t v);
    static PdfObject real(double v);
    // Raw bytes between the parentheses, escapes undecoded.
    static PdfObject string(std::string_view v);
    // Raw bytes between the angle brackets, whitespace included, undecoded.
    static PdfObject hex_string(std::string_view v);
    // Name bytes after the slash, #XX escapes already decoded.
    static PdfObject name(std::string_view v);
    static PdfObject array(PdfArray v);
    static PdfObject dictionary(PdfDict v);
    static PdfObject reference(ObjectId v);
    static PdfObject stream(PdfDict dict, std::string_view data);

    Type type() const { return static_cast<Type>(v_.index()); }
    bool is_null() const { return type() == Type::Null; }
    bool is_bool() const { return type() == Type::Boolean; }
    bool is_int() const { return type() == Type::Integer; }
    bool is_real() const { return type() == Type::Real; }
    bool is_number() const { return is_int() || is_real(); }
    bool is_string() const { return type() == Type::String; }
    bool is_hex_string() const { return type() == Type::HexString; }
    bool is_name() const { return type() == Type::Name; }
    bool is_array() const { return type() == Type::Array; }
    bool is_dict() const { return type() == Type::Dictionary; }
    bool is_ref() const { return type() == Type::Reference; }
    bool is_stream() const { return type() == Type::Stream; }
    // A Dictionary, or a Stream read through its dictionary.
    bool has_dict() const { return is_dict() || is_stream(); }

    // Payload accessors; each requires the matching type.
    bool as_bool() const { return std::get<1>(v_); }
    std::int64_t as_int() const { return std::get<2>(v_); }
    double as_real() const { return std::get<3>(v_); }
    // The bytes of a String, HexString or Name.
    std::string_view bytes() const;
    const PdfArray& as_array() const { return std::get<7>(v_); }
    PdfArray& as_array() { return std::get<7>(v_); }
    // The pairs of a Dictionary, or the dictionary of a Stream.
    const PdfDict& dict() const;
    PdfDict& dict();
    ObjectId as_ref() const { return std::get<9>(v_); }
    // The raw, still-encoded body of a Stream.
    std::string_view stream_data() const { return std::get<10>(v_).data; }

    // Integer converted to a float, Real as is; nothing for any other type.
    std::optional<double> number() const;
    // True when this is a Name whose bytes equal `n`.
    bool is_name(std::string_view n) const { return is_name() && bytes() == n; }

    // The value of the first pair whose key equals `key` (exact bytes), in a
    // Dictionary or a Stream's dictionary; nullptr for any other type or when
    // no pair matches.
    const PdfObject* get(std::string_view key) const;

    friend bool operator==(const PdfObject& a, const PdfObject& b);

  private:
    struct Bytes {
        std::string_view v;
        friend bool operator==(const Bytes&, const Bytes&) = default;
    };
    template <std::size_t I, typename... A>
    explicit PdfObject(std::in_place_index_t<I> i, A&&... a) : v_(i, std::forward<A>(a)...) {}

    struct StreamBody {
        PdfDict dict;
        std::string_view data;
        friend bool operator==(const StreamBody&, const StreamBody&) = default;
    };

    std::variant<std::monostate, bool, std::int64_t, double, Bytes, Bytes, Bytes, PdfArray,
                 PdfDict, ObjectId, StreamBody>
        v_;
};

struct DictEntry {
    std::string_view key; // name bytes without the slash
    PdfObject value;

    friend bool operator==(const DictEntry&, const DictEntry&) = default;
};

inline PdfObject PdfObject::boolean(bool v) { return PdfObject(std::in_place_index<1>, v); }
inline PdfObject PdfObject::integer(std::int64_t v) {
    return PdfObject(std::in_place_index<2>, v);
}
inline PdfObject PdfObject::real(double v) { return PdfObject(std::in_place_index<3>, v); }
inline PdfObject PdfObject::string(std::string_view v) {
    return PdfObject(std::in_place_index<4>, Bytes{v});
}
inline PdfObject PdfObject::hex_string(std::string_view v) {
    return PdfObject(std::in_place_index<5>, Bytes{v});
}
inline PdfObject PdfObject::name(std::string_view v) {
    return PdfObject(std::in_place_index<6>, Bytes{v});
}
inline PdfObject PdfObject::array(PdfArray v) {
    return PdfObject(std::in_place_index<7>, std::move(v));
}
inline PdfObject PdfObject::dictionary(PdfDict v) {
    return PdfObject(std::in_place_index<8>, std::move(v));
}
inline PdfObject PdfObject::reference(ObjectId v) { return PdfObject(std::in_place_index<9>, v); }
inline PdfObject PdfObject::stream(PdfDict dict, std::string_view data) {
    return PdfObject(std::in_place_index<10>, StreamBody{std::move(dict), data});
}

// First-key-wins lookup over bare pairs (a trailer or stream dictionary that
// is held as pairs rather than as an object).
const PdfObject* dict_get(const PdfDict& dict, std::string_view key);

} // namespace quarvel
