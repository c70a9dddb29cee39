#pragma once
#include <cstddef>
#include <stdexcept>

#include "common/bytes.h"

namespace qel {

/// AES-256-CBC with PKCS#7 padding and a random 16-byte initialisation vector carried in front of the
/// ciphertext. The key must be 32 bytes; any other length is refused with invalidKeySize.
class AES {
public:
    enum class Error { invalidKeySize, generateRandomIVFailed, encryptionFailed, decryptionFailed };

    class Failure : public std::runtime_error {
    public:
        explicit Failure(Error e);
        Error error() const { return error_; }

    private:
        Error error_;
    };

    explicit AES(Bytes cipherKey) : key(std::move(cipherKey)) {}
    ~AES();
    AES(const AES&) = delete;
    AES& operator=(const AES&) = delete;

    /// Random IV followed by the ciphertext. Throws Failure (invalidKeySize before any cipher call,
    /// generateRandomIVFailed, encryptionFailed).
    Bytes aesEncrypt(const Bytes& plain) const;
    /// Inverse of aesEncrypt. Throws Failure (invalidKeySize, decryptionFailed for a short input, a
    /// wrong key or a bad padding).
    Bytes aesDecrypt(const Bytes& cipher) const;

    Bytes key;
    const std::size_t ivSize = 16;
};

}  // namespace qel
