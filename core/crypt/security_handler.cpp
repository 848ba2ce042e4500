#include "crypt/security_handler.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

#include "crypt/cipher.h"
#include "syntax/string_bytes.h"

namespace quarvel {
namespace {

using Method = SecurityHandler::Method;

ParseError unsupported() { return ParseError::other("unsupported encryption"); }
ParseError incorrect_password() { return ParseError::other("incorrect password"); }

// The 32 bytes that fill a short password up to 32 for /R 2 to 4.
constexpr std::string_view kPad("\x28\xBF\x4E\x5E\x4E\x75\x8A\x41\x64\x00\x4E\x56\xFF\xFA\x01\x08"
                                "\x2E\x2E\x00\xB6\xD0\x68\x3E\x80\x2F\x0C\xA9\xFE\x64\x53\x69\x7A",
                                32);

// /R 5 and 6 hash at most this many bytes of a password.
constexpr std::size_t kMaxAesPasswordBytes = 127;

// PDFDocEncoding's bytes 0x18-0x1F and 0x80-0x9F, as the characters they
// stand for; every other byte below 0x100 is its Latin-1 character, except
// 0xA0 (the euro sign) and 0xAD (undefined).
constexpr std::array<char32_t, 8> kDocLow = {0x02D8, 0x02C7, 0x02C6, 0x02D9,
                                             0x02DD, 0x02DB, 0x02DA, 0x02DC};
constexpr std::array<char32_t, 32> kDocHigh = {
    0x2022, 0x2020, 0x2021, 0x2026, 0x2014, 0x2013, 0x0192, 0x2044, 0x2039, 0x203A, 0x2212,
    0x2030, 0x201E, 0x201C, 0x201D, 0x2018, 0x2019, 0x201A, 0x2122, 0xFB01, 0xFB02, 0x0141,
    0x0152, 0x0160, 0x0178, 0x017D, 0x0131, 0x0142, 0x0153, 0x0161, 0x017E, 0xFFFD};

std::optional<char> doc_encoding_byte(char32_t cp) {
    if (cp == 0x20AC) return static_cast<char>(0xA0);
    for (std::size_t i = 0; i < kDocLow.size(); ++i) {
        if (kDocLow[i] == cp) return static_cast<char>(0x18 + i);
    }
    for (std::size_t i = 0; i + 1 < kDocHigh.size(); ++i) {
        if (kDocHigh[i] == cp) return static_cast<char>(0x80 + i);
    }
    if (cp < 0x18 || (cp >= 0x20 && cp < 0x7F) || (cp >= 0xA1 && cp <= 0xFF && cp != 0xAD)) {
        return static_cast<char>(cp);
    }
    return std::nullopt;
}

// A password typed as UTF-8 text, in the PDFDocEncoding that /R 2 to 4 hash;
// nothing when it is not UTF-8, is plain ASCII already, or holds a
// character PDFDocEncoding lacks.
std::optional<std::string> to_doc_encoding(std::string_view utf8) {
    std::string out;
    bool changed = false;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b0 = static_cast<unsigned char>(utf8[i]);
        std::size_t len = b0 < 0x80 ? 1 : b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC0 ? 2 : 0;
        if (len == 0 || i + len > utf8.size()) return std::nullopt;
        char32_t cp = len == 1 ? b0 : b0 & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(utf8[i + k]);
            if ((b & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (b & 0x3F);
        }
        const std::optional<char> byte = doc_encoding_byte(cp);
        if (!byte) return std::nullopt;
        changed |= len > 1;
        out += *byte;
        i += len;
    }
    if (!changed) return std::nullopt;
    return out;
}

std::string padded(std::string_view password) {
    std::string out(password.substr(0, 32));
    out += kPad.substr(0, 32 - out.size());
    return out;
}

std::string xor_key(std::string_view key, std::uint8_t value) {
    std::string out(key);
    for (char& c : out) c = static_cast<char>(static_cast<std::uint8_t>(c) ^ value);
    return out;
}

std::string le_bytes(std::uint64_t value, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

// Constant-time comparison is not needed: the reader holds both sides.
bool same_prefix(std::string_view a, std::string_view b, std::size_t n) {
    return a.size() >= n && b.size() >= n && a.substr(0, n) == b.substr(0, n);
}

// What /R 2 to 4 read from the dictionary, and the checks they make.
struct Rc4Params {
    int revision;
    std::size_t key_bytes;
    std::string owner;   // /O, first 32 bytes
    std::string user;    // /U, first 32 bytes
    std::uint32_t permissions;
    std::string_view file_id;
    bool encrypt_metadata;

    // The file key a padded 32-byte user password gives.
    std::string file_key(std::string_view padded_password) const {
        std::string input(padded_password);
        input += owner;
        input += le_bytes(permissions, 4);
        input += file_id;
        if (revision >= 4 && !encrypt_metadata) input += std::string(4, '\xFF');
        std::string hash = crypt::md5(input);
        if (revision >= 3) {
            for (int i = 0; i < 50; ++i) hash = crypt::md5(hash.substr(0, key_bytes));
        }
        return hash.substr(0, key_bytes);
    }

    // The file key when `padded_password` is the user password.
    std::optional<std::string> try_user(std::string_view padded_password) const {
        std::string key = file_key(padded_password);
        if (revision == 2) {
            if (crypt::rc4(key, kPad) == user) return key;
            return std::nullopt;
        }
        std::string check = crypt::rc4(key, crypt::md5(std::string(kPad) + std::string(file_id)));
        for (std::uint8_t i = 1; i <= 19; ++i) check = crypt::rc4(xor_key(key, i), check);
        if (same_prefix(check, user, 16)) return key;
        return std::nullopt;
    }

    // The file key when `password` is the owner password: /O holds the
    // padded user password encrypted with a key made from the owner's.
    std::optional<std::string> try_owner(std::string_view password) const {
        std::string hash = crypt::md5(padded(password));
        if (revision >= 3) {
            for (int i = 0; i < 50; ++i) hash = crypt::md5(hash);
        }
        const std::string key = hash.substr(0, key_bytes);
        std::string user_password = owner;
        if (revision == 2) {
            user_password = crypt::rc4(key, user_password);
        } else {
            for (int i = 19; i >= 0; --i) {
                user_password = crypt::rc4(xor_key(key, static_cast<std::uint8_t>(i)), user_password);
            }
        }
        return try_user(user_password);
    }
};

// The hash of /R 6: SHA-256, then rounds of AES-128 and a SHA-2 chosen by
// the data, at least 64 of them. The last byte of a round's AES output ends
// the loop once it is at most the round count minus 32, so the loop stops by
// round 288 whatever the input.
std::string hash_r6(std::string_view password, std::string_view salt, std::string_view udata) {
    std::string k = crypt::sha256(std::string(password) + std::string(salt) + std::string(udata));
    std::string e;
    for (unsigned round = 0;;) {
        std::string k1;
        const std::string block = std::string(password) + k + std::string(udata);
        k1.reserve(block.size() * 64);
        for (int i = 0; i < 64; ++i) k1 += block;
        e = crypt::aes_cbc_encrypt(std::string_view(k).substr(0, 16),
                                   std::string_view(k).substr(16, 16), k1);
        // The 128-bit number of E's first bytes modulo 3 (256 is 1 mod 3).
        unsigned sum = 0;
        for (std::size_t i = 0; i < 16; ++i) sum += static_cast<std::uint8_t>(e[i]);
        switch (sum % 3) {
        case 0:
            k = crypt::sha256(e);
            break;
        case 1:
            k = crypt::sha384(e);
            break;
        default:
            k = crypt::sha512(e);
            break;
        }
        ++round;
        if (round >= 64 && static_cast<std::uint8_t>(e.back()) + 32u <= round) break;
    }
    return k.substr(0, 32);
}

struct AesParams {
    int revision;
    std::string owner;     // /O, 48 bytes: hash, validation salt, key salt
    std::string user;      // /U, 48 bytes
    std::string owner_key; // /OE, 32 bytes
    std::string user_key;  // /UE, 32 bytes

    std::string hash(std::string_view password, std::string_view salt,
                     std::string_view udata) const {
        if (revision == 5) {
            return crypt::sha256(std::string(password) + std::string(salt) + std::string(udata));
        }
        return hash_r6(password, salt, udata);
    }

    std::optional<std::string> try_user(std::string_view password) const {
        const std::string_view u(user);
        if (hash(password, u.substr(32, 8), {}) != u.substr(0, 32)) return std::nullopt;
        return crypt::aes_cbc_decrypt(hash(password, u.substr(40, 8), {}),
                                      std::string(16, '\0'), user_key);
    }

    std::optional<std::string> try_owner(std::string_view password) const {
        const std::string_view o(owner);
        const std::string_view u(user);
        if (hash(password, o.substr(32, 8), u) != o.substr(0, 32)) return std::nullopt;
        return crypt::aes_cbc_decrypt(hash(password, o.substr(40, 8), u),
                                      std::string(16, '\0'), owner_key);
    }
};

// The bytes of a string entry, when it is a string of at least `min` bytes;
// longer values are cut to `keep` bytes (some writers pad /U and /O).
std::optional<std::string> string_entry(const PdfObject& dict, std::string_view key,
                                        std::size_t min, std::size_t keep) {
    const PdfObject* v = dict.get(key);
    if (!v || !(v->is_string() || v->is_hex_string())) return std::nullopt;
    std::string bytes = string_bytes(*v);
    if (bytes.size() < min) return std::nullopt;
    bytes.resize(keep);
    return bytes;
}

std::optional<Method> method_of_filter(const PdfObject& encrypt, std::string_view name) {
    if (name == "Identity") return Method::Identity;
    const PdfObject* cf = encrypt.get("CF");
    const PdfObject* filter = cf ? cf->get(name) : nullptr;
    if (!filter || !filter->is_dict()) return std::nullopt;
    const PdfObject* cfm = filter->get("CFM");
    if (!cfm || cfm->is_name("None")) return Method::Identity;
    if (cfm->is_name("V2")) return Method::Rc4;
    if (cfm->is_name("AESV2")) return Method::Aes128;
    if (cfm->is_name("AESV3")) return Method::Aes256;
    return std::nullopt;
}

std::string_view name_or(const PdfObject* v, std::string_view fallback) {
    return v && v->is_name() ? v->bytes() : fallback;
}

bool has_type(const PdfObject& object, std::string_view type) {
    const PdfObject* t = object.get("Type");
    return t && t->is_name(type);
}

} // namespace

template <typename Params, typename Prepare>
Result<std::unique_ptr<SecurityHandler>>
SecurityHandler::authenticate(std::unique_ptr<SecurityHandler> h, const Params& params,
                              const std::vector<std::string>& candidates, Prepare prepare) {
    for (const std::string& pw : candidates) {
        if (std::optional<std::string> key = params.try_user(prepare(pw))) {
            h->key_ = std::move(*key);
            return h;
        }
    }
    // The first candidate is the empty password, which is never an owner's.
    for (std::size_t i = 1; i < candidates.size(); ++i) {
        if (std::optional<std::string> key = params.try_owner(candidates[i])) {
            h->key_ = std::move(*key);
            h->owner_ = true;
            return h;
        }
    }
    return incorrect_password();
}

Result<std::unique_ptr<SecurityHandler>> SecurityHandler::open(
    const PdfObject& encrypt, std::string_view file_id, std::optional<std::string_view> password) {
    if (!encrypt.is_dict()) return unsupported();
    if (name_or(encrypt.get("Filter"), "") != "Standard") return unsupported();
    const PdfObject* v_obj = encrypt.get("V");
    const PdfObject* r_obj = encrypt.get("R");
    const PdfObject* p_obj = encrypt.get("P");
    if (!v_obj || !v_obj->is_int() || !r_obj || !r_obj->is_int() || !p_obj || !p_obj->is_int()) {
        return unsupported();
    }
    const std::int64_t v = v_obj->as_int();
    const std::int64_t r = r_obj->as_int();
    if (v != 1 && v != 2 && v != 4 && v != 5) return unsupported();
    if (r < 2 || r > 6 || ((v == 5) != (r >= 5))) return unsupported();

    std::unique_ptr<SecurityHandler> h(new SecurityHandler());
    h->revision_ = static_cast<int>(r);
    if (const PdfObject* em = encrypt.get("EncryptMetadata"); em && em->is_bool()) {
        h->encrypt_metadata_ = em->as_bool();
    }

    if (v >= 4) {
        const std::string_view stm = name_or(encrypt.get("StmF"), "Identity");
        const std::string_view str = name_or(encrypt.get("StrF"), "Identity");
        const std::optional<Method> stm_method = method_of_filter(encrypt, stm);
        const std::optional<Method> str_method = method_of_filter(encrypt, str);
        if (!stm_method || !str_method) return unsupported();
        h->streams_ = *stm_method;
        h->strings_ = *str_method;
        // AES-256 needs the 32-byte key only /V 5 makes, and /V 5 makes
        // no key short enough for the others.
        for (Method m : {h->streams_, h->strings_}) {
            if (m != Method::Identity && (m == Method::Aes256) != (v == 5)) return unsupported();
        }
        if (const PdfObject* cf = encrypt.get("CF"); cf && cf->is_dict()) {
            for (const DictEntry& e : cf->dict()) {
                const std::optional<Method> m = method_of_filter(encrypt, e.key);
                if (m && (*m == Method::Identity || (*m == Method::Aes256) == (v == 5))) {
                    h->filters_.push_back({std::string(e.key), *m});
                }
            }
        }
    } else {
        h->streams_ = Method::Rc4;
        h->strings_ = Method::Rc4;
    }

    std::vector<std::string> candidates;
    candidates.emplace_back();
    if (password) {
        candidates.emplace_back(*password);
        if (r <= 4) {
            if (std::optional<std::string> doc = to_doc_encoding(*password)) {
                candidates.push_back(std::move(*doc));
            }
        }
    }

    if (r <= 4) {
        // /Length counts bits; /V 1 is always 40, /V 4 files name their
        // method in the crypt filter and mostly leave /Length out.
        std::int64_t bits = v == 1 ? 40 : v == 4 ? 128 : 40;
        if (const PdfObject* len = encrypt.get("Length"); len && v != 1) {
            if (!len->is_int()) return unsupported();
            const std::int64_t n = len->as_int();
            if (n >= 40 && n <= 128 && n % 8 == 0) {
                bits = n;
            } else if (v == 2) {
                return unsupported();
            }
        }
        std::optional<std::string> o = string_entry(encrypt, "O", 32, 32);
        std::optional<std::string> u = string_entry(encrypt, "U", 32, 32);
        if (!o || !u) return unsupported();
        const Rc4Params params{static_cast<int>(r),
                               static_cast<std::size_t>(bits / 8),
                               std::move(*o),
                               std::move(*u),
                               static_cast<std::uint32_t>(p_obj->as_int() & 0xFFFFFFFF),
                               file_id,
                               h->encrypt_metadata_};
        return authenticate(std::move(h), params, candidates, padded);
    }

    std::optional<std::string> o = string_entry(encrypt, "O", 48, 48);
    std::optional<std::string> u = string_entry(encrypt, "U", 48, 48);
    std::optional<std::string> oe = string_entry(encrypt, "OE", 32, 32);
    std::optional<std::string> ue = string_entry(encrypt, "UE", 32, 32);
    if (!o || !u || !oe || !ue) return unsupported();
    const AesParams params{static_cast<int>(r), std::move(*o), std::move(*u), std::move(*oe),
                           std::move(*ue)};
    for (std::string& pw : candidates) {
        if (pw.size() > kMaxAesPasswordBytes) pw.resize(kMaxAesPasswordBytes);
    }
    return authenticate(std::move(h), params, candidates, [](const std::string& pw) { return pw; });
}

std::string SecurityHandler::decrypt(Method method, std::string_view data, ObjectId id) const {
    if (method == Method::Identity) return std::string(data);
    std::string key = key_;
    if (method != Method::Aes256) {
        // Each object has its own key, made from the file key and its
        // number and generation; AES keys add a fixed salt.
        std::string input = key_ + le_bytes(id.num, 3) + le_bytes(id.gen, 2);
        if (method == Method::Aes128) input += "sAlT";
        key = crypt::md5(input).substr(0, std::min<std::size_t>(key_.size() + 5, 16));
    }
    if (method == Method::Rc4) return crypt::rc4(key, data);
    // AES data is a 16-byte IV and CBC blocks padded PKCS#7 style. Damaged
    // data decrypts as far as whole blocks go; a pad that does not check
    // out is kept rather than guessed at.
    if (data.size() < 16) return {};
    std::string plain = crypt::aes_cbc_decrypt(key, data.substr(0, 16), data.substr(16));
    if (!plain.empty()) {
        const auto pad = static_cast<std::uint8_t>(plain.back());
        bool valid = pad >= 1 && pad <= 16;
        for (std::size_t i = 0; valid && i < pad; ++i) {
            valid = static_cast<std::uint8_t>(plain[plain.size() - 1 - i]) == pad;
        }
        if (valid) plain.erase(plain.size() - pad);
    }
    return plain;
}

std::string SecurityHandler::decrypt_string(std::string_view data, ObjectId id) const {
    return decrypt(strings_, data, id);
}

Method SecurityHandler::stream_filter_method(const PdfObject& stream) const {
    const PdfObject* filter = stream.get("Filter");
    const PdfObject* parms = stream.get("DecodeParms");
    const PdfObject* crypt_parms = nullptr;
    bool has_crypt = false;
    if (filter && filter->is_name("Crypt")) {
        has_crypt = true;
        crypt_parms = parms;
    } else if (filter && filter->is_array()) {
        const PdfArray& names = filter->as_array();
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (!names[i].is_name("Crypt")) continue;
            has_crypt = true;
            if (parms && parms->is_array() && i < parms->as_array().size()) {
                crypt_parms = &parms->as_array()[i];
            }
            break;
        }
    }
    if (!has_crypt) return streams_;
    // Without a /Name (or with parameters the caller left unresolved) the
    // /Crypt filter is the identity filter.
    const std::string_view name = name_or(crypt_parms ? crypt_parms->get("Name") : nullptr,
                                          "Identity");
    for (const NamedFilter& f : filters_) {
        if (f.name == name) return f.method;
    }
    return name == "Identity" ? Method::Identity : streams_;
}

std::string SecurityHandler::decrypt_stream(std::string_view data, ObjectId id,
                                            const PdfObject& stream) const {
    if (has_type(stream, "XRef")) return std::string(data);
    if (!encrypt_metadata_ && has_type(stream, "Metadata")) return std::string(data);
    return decrypt(stream_filter_method(stream), data, id);
}

void decrypt_object(PdfObject& object, ObjectId id, const SecurityHandler& handler, Arena& arena) {
    // Iterative, so that an object built deeper than the parser allows
    // cannot exhaust the stack here either.
    std::vector<PdfObject*> todo{&object};
    const auto push_dict = [&todo](PdfDict& dict, const PdfObject& owner) {
        const bool signature = has_type(owner, "Sig") || has_type(owner, "DocTimeStamp");
        for (DictEntry& e : dict) {
            if (signature && e.key == "Contents") continue;
            todo.push_back(&e.value);
        }
    };
    while (!todo.empty()) {
        PdfObject* o = todo.back();
        todo.pop_back();
        switch (o->type()) {
        case PdfObject::Type::String:
        case PdfObject::Type::HexString: {
            const std::string plain = handler.decrypt_string(string_bytes(*o), id);
            *o = PdfObject::hex_string(arena.store(to_hex(plain)));
            break;
        }
        case PdfObject::Type::Array:
            for (PdfObject& item : o->as_array()) todo.push_back(&item);
            break;
        case PdfObject::Type::Dictionary:
            push_dict(o->dict(), *o);
            break;
        case PdfObject::Type::Stream: {
            // A cross-reference stream is read before any key exists: its
            // body and its /ID are in the clear.
            if (has_type(*o, "XRef")) break;
            const std::string_view body =
                arena.store(handler.decrypt_stream(o->stream_data(), id, *o));
            PdfDict dict = std::move(o->dict());
            *o = PdfObject::stream(std::move(dict), body);
            push_dict(o->dict(), *o);
            break;
        }
        default:
            break;
        }
    }
}

} // namespace quarvel
