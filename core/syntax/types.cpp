#include "syntax/types.h"

namespace quarvel {

std::string_view PdfObject::bytes() const {
    switch (type()) {
    case Type::String:
        return std::get<4>(v_).v;
    case Type::HexString:
        return std::get<5>(v_).v;
    case Type::Name:
        return std::get<6>(v_).v;
    default:
        return {};
    }
}

const PdfDict& PdfObject::dict() const {
    if (is_stream()) return std::get<10>(v_).dict;
    return std::get<8>(v_);
}

PdfDict& PdfObject::dict() {
    if (is_stream()) return std::get<10>(v_).dict;
    return std::get<8>(v_);
}

std::optional<double> PdfObject::number() const {
    if (is_int()) return static_cast<double>(as_int());
    if (is_real()) return as_real();
    return std::nullopt;
}

const PdfObject* dict_get(const PdfDict& dict, std::string_view key) {
    for (const DictEntry& e : dict) {
        if (e.key == key) return &e.value;
    }
    return nullptr;
}

const PdfObject* PdfObject::get(std::string_view key) const {
    if (!has_dict()) return nullptr;
    return dict_get(dict(), key);
}

bool operator==(const PdfObject& a, const PdfObject& b) {
    return a.v_ == b.v_;
}

} // namespace quarvel
