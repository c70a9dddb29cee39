#include "sim/card/desfire_cipher.h"

#include <openssl/evp.h>

#include <memory>

namespace qel::sim {

std::optional<Bytes> desfireCbc(bool aes, bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& data) {
    const std::size_t block = desfireBlock(aes);
    if (iv.size() != block || data.empty() || data.size() % block != 0) return std::nullopt;
    Bytes k = key;
    const EVP_CIPHER* cipher = nullptr;
    if (aes) {
        if (key.size() != 16) return std::nullopt;
        cipher = EVP_aes_128_cbc();
    } else {
        if (key.size() == 8)
            k.insert(k.end(), key.begin(), key.end());
        else if (key.size() != 16)
            return std::nullopt;
        cipher = EVP_des_ede_cbc();
    }
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    if (!ctx || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, k.data(), iv.data(), encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1)
        return std::nullopt;
    Bytes out(data.size() + block);
    int n = 0, tail = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &n, data.data(), static_cast<int>(data.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + n, &tail) != 1)
        return std::nullopt;
    out.resize(static_cast<std::size_t>(n + tail));
    return out;
}

Bytes rotateLeft(const Bytes& b) {
    if (b.empty()) return b;
    Bytes out(b.begin() + 1, b.end());
    out.push_back(b.front());
    return out;
}

}  // namespace qel::sim
