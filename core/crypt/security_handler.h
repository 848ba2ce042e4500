// The standard security handler: authenticates a password against a file's
// /Encrypt dictionary and decrypts the strings and streams of its objects.
//
// Every revision a reader meets is handled: RC4 with 40- to 128-bit keys
// (/V 1 and 2, /R 2 and 3), crypt filters with RC4 or AES-128 (/V 4, /R 4),
// and AES-256 (/V 5, /R 5 and the /R 6 that replaced it). A handler is
// immutable once open, so any number of threads decrypt through it at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "syntax/arena.h"
#include "syntax/error.h"
#include "syntax/types.h"

namespace quarvel {

class SecurityHandler {
  public:
    enum class Method : std::uint8_t { Identity, Rc4, Aes128, Aes256 };

    // `encrypt` is the /Encrypt dictionary, resolved and never decrypted
    // itself; `file_id` the bytes of the first string of the trailer's /ID
    // (empty when the file has none); `password` nullopt tries only the
    // empty password. A given password is tried after the empty one, first
    // as the user password, then as the owner password. It is read as
    // UTF-8; for /R 2 to 4 it is also tried in PDFDocEncoding, and for /R 6
    // it is used without SASLprep normalisation.
    // Fails with "incorrect password" or "unsupported encryption".
    static Result<std::unique_ptr<SecurityHandler>> open(const PdfObject& encrypt,
                                                         std::string_view file_id,
                                                         std::optional<std::string_view> password);

    // The plain bytes of a string of object `id` (its escapes or hex digits
    // already decoded).
    std::string decrypt_string(std::string_view data, ObjectId id) const;
    // The plain body of stream `stream` of object `id`. A stream naming its
    // own /Crypt filter uses that filter; cross-reference streams, and
    // metadata streams when !encrypt_metadata(), come back as they are.
    std::string decrypt_stream(std::string_view data, ObjectId id, const PdfObject& stream) const;

    // False when /EncryptMetadata false leaves /Type /Metadata streams
    // in the clear.
    bool encrypt_metadata() const { return encrypt_metadata_; }
    // The revision (/R) and the file key the password unlocked.
    int revision() const { return revision_; }
    std::string_view file_key() const { return key_; }
    // True when the password given was the owner password (the empty user
    // password wins when it opens the file).
    bool opened_as_owner() const { return owner_; }

  private:
    struct NamedFilter {
        std::string name;
        Method method;
    };

    SecurityHandler() = default;
    // Tries each candidate as the user password (`prepare` gives the bytes
    // the revision hashes), then each given one as the owner password.
    template <typename Params, typename Prepare>
    static Result<std::unique_ptr<SecurityHandler>>
    authenticate(std::unique_ptr<SecurityHandler> h, const Params& params,
                 const std::vector<std::string>& candidates, Prepare prepare);
    std::string decrypt(Method method, std::string_view data, ObjectId id) const;
    Method stream_filter_method(const PdfObject& stream) const;

    std::string key_;
    int revision_ = 0;
    Method strings_ = Method::Identity;
    Method streams_ = Method::Identity;
    std::vector<NamedFilter> filters_;
    bool encrypt_metadata_ = true;
    bool owner_ = false;
};

// Replaces, inside `object` (object `id` as read from the file itself, not
// from an object stream, whose packed objects are decrypted with the stream
// that holds them), every string with a HexString of its plain bytes and
// every stream body with its plain body, the new bytes held by `arena`.
// Cross-reference streams are left whole, and so is the /Contents of a
// signature dictionary, which is never encrypted. The caller does not pass
// the /Encrypt dictionary.
void decrypt_object(PdfObject& object, ObjectId id, const SecurityHandler& handler, Arena& arena);

} // namespace quarvel
