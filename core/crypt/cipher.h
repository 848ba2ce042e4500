// The primitives of the standard security handler: RC4 here (libcrypto keeps
// it only in a provider that is not loaded by default), MD5, SHA-2 and AES
// from libcrypto. None of them fails on the content of a file: a key of a
// wrong size is a bug of the caller, and lengths that do not fit a block are
// cut to whole blocks.
#pragma once

#include <string>
#include <string_view>

namespace quarvel::crypt {

// RC4 with `key` (1 to 256 bytes; only the first 256 are used) over `data`.
// Encryption and decryption are the same operation.
std::string rc4(std::string_view key, std::string_view data);

std::string md5(std::string_view data);
std::string sha256(std::string_view data);
std::string sha384(std::string_view data);
std::string sha512(std::string_view data);

// AES in CBC mode without padding over the whole blocks of `data` (a partial
// final block is dropped). `key` is 16 or 32 bytes, `iv` 16 bytes.
std::string aes_cbc_decrypt(std::string_view key, std::string_view iv, std::string_view data);
std::string aes_cbc_encrypt(std::string_view key, std::string_view iv, std::string_view data);

} // namespace quarvel::crypt
