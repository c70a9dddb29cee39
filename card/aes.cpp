#include "card/aes.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

namespace qel {

namespace {

const char* errorText(AES::Error e) {
    switch (e) {
        case AES::Error::invalidKeySize:
            return "AES invalid key size";
        case AES::Error::generateRandomIVFailed:
            return "AES could not generate a random IV";
        case AES::Error::encryptionFailed:
            return "AES encryption failed";
        case AES::Error::decryptionFailed:
            return "AES decryption failed";
    }
    return "AES failure";
}

// The cache is enciphered with AES-256 only: a shorter key would silently weaken it.
constexpr std::size_t kKeySize = 32;

const EVP_CIPHER* cipherFor(std::size_t keySize) { return keySize == kKeySize ? EVP_aes_256_cbc() : nullptr; }

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

}  // namespace

AES::Failure::Failure(Error e) : std::runtime_error(errorText(e)), error_(e) {}

AES::~AES() { OPENSSL_cleanse(key.data(), key.size()); }

Bytes AES::aesEncrypt(const Bytes& plain) const {
    const EVP_CIPHER* cipher = cipherFor(key.size());
    if (cipher == nullptr) throw Failure(Error::invalidKeySize);
    Bytes out(ivSize + plain.size() + 16);
    if (RAND_bytes(out.data(), static_cast<int>(ivSize)) != 1) throw Failure(Error::generateRandomIVFailed);
    CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    int len1 = 0, len2 = 0;
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), cipher, nullptr, key.data(), out.data()) != 1 ||
        EVP_EncryptUpdate(ctx.get(), out.data() + ivSize, &len1, plain.data(), static_cast<int>(plain.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), out.data() + ivSize + len1, &len2) != 1)
        throw Failure(Error::encryptionFailed);
    out.resize(ivSize + static_cast<std::size_t>(len1 + len2));
    return out;
}

Bytes AES::aesDecrypt(const Bytes& cipherText) const {
    const EVP_CIPHER* cipher = cipherFor(key.size());
    if (cipher == nullptr) throw Failure(Error::invalidKeySize);
    // At least one whole block must follow the vector.
    if (cipherText.size() < ivSize + 16 || (cipherText.size() - ivSize) % 16 != 0)
        throw Failure(Error::decryptionFailed);
    Bytes out(cipherText.size() - ivSize + 16);
    CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    int len1 = 0, len2 = 0;
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, key.data(), cipherText.data()) != 1 ||
        EVP_DecryptUpdate(ctx.get(), out.data(), &len1, cipherText.data() + ivSize,
                          static_cast<int>(cipherText.size() - ivSize)) != 1 ||
        EVP_DecryptFinal_ex(ctx.get(), out.data() + len1, &len2) != 1) {
        OPENSSL_cleanse(out.data(), out.size());
        throw Failure(Error::decryptionFailed);
    }
    out.resize(static_cast<std::size_t>(len1 + len2));
    return out;
}

}  // namespace qel
