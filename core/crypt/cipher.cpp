#include "crypt/cipher.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include <openssl/evp.h>

namespace quarvel::crypt {
namespace {

// libcrypto fails only when out of memory or given a key size it does not
// know; the key sizes are fixed by the callers here, so what is left is the
// allocation failure that std::bad_alloc already stands for in the core.
[[noreturn]] void fail() { throw std::bad_alloc(); }

const unsigned char* bytes_of(std::string_view s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

std::string digest(const EVP_MD* md, std::string_view data) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> out{};
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &size, md, nullptr) != 1) fail();
    return std::string(reinterpret_cast<const char*>(out.data()), size);
}

struct CtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

std::string aes_cbc(std::string_view key, std::string_view iv, std::string_view data,
                    bool encrypt) {
    const EVP_CIPHER* cipher = key.size() == 32 ? EVP_aes_256_cbc() : EVP_aes_128_cbc();
    if ((key.size() != 16 && key.size() != 32) || iv.size() != 16) fail();
    const std::size_t whole = data.size() - data.size() % 16;
    std::string out(whole, '\0');
    if (whole == 0) return out;
    std::unique_ptr<EVP_CIPHER_CTX, CtxFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, bytes_of(key), bytes_of(iv),
                                  encrypt ? 1 : 0) != 1) {
        fail();
    }
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    // EVP_CipherUpdate counts in int; bodies are processed in slices that fit.
    constexpr std::size_t kSlice = std::size_t{1} << 30;
    std::size_t done = 0;
    while (done < whole) {
        const std::size_t n = std::min(kSlice, whole - done);
        int written = 0;
        if (EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data() + done),
                             &written, bytes_of(data.substr(done, n)),
                             static_cast<int>(n)) != 1 ||
            static_cast<std::size_t>(written) != n) {
            fail();
        }
        done += n;
    }
    return out;
}

} // namespace

std::string rc4(std::string_view key, std::string_view data) {
    std::array<std::uint8_t, 256> s{};
    for (std::size_t i = 0; i < 256; ++i) s[i] = static_cast<std::uint8_t>(i);
    if (key.size() > 256) key = key.substr(0, 256);
    if (!key.empty()) {
        std::uint8_t j = 0;
        for (std::size_t i = 0; i < 256; ++i) {
            j = static_cast<std::uint8_t>(j + s[i] + static_cast<std::uint8_t>(key[i % key.size()]));
            std::swap(s[i], s[j]);
        }
    }
    std::string out(data.size(), '\0');
    std::uint8_t i = 0;
    std::uint8_t j = 0;
    for (std::size_t k = 0; k < data.size(); ++k) {
        i = static_cast<std::uint8_t>(i + 1);
        j = static_cast<std::uint8_t>(j + s[i]);
        std::swap(s[i], s[j]);
        const std::uint8_t ks = s[static_cast<std::uint8_t>(s[i] + s[j])];
        out[k] = static_cast<char>(static_cast<std::uint8_t>(data[k]) ^ ks);
    }
    return out;
}

std::string md5(std::string_view data) { return digest(EVP_md5(), data); }
std::string sha256(std::string_view data) { return digest(EVP_sha256(), data); }
std::string sha384(std::string_view data) { return digest(EVP_sha384(), data); }
std::string sha512(std::string_view data) { return digest(EVP_sha512(), data); }

std::string aes_cbc_decrypt(std::string_view key, std::string_view iv, std::string_view data) {
    return aes_cbc(key, iv, data, false);
}

std::string aes_cbc_encrypt(std::string_view key, std::string_view iv, std::string_view data) {
    return aes_cbc(key, iv, data, true);
}

} // namespace quarvel::crypt
