#pragma once
#include <memory>
#include <optional>
#include <string>

#include "common/bytes.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace qel::sim {

/// A private RSA key of the card, held in an OpenSSL key object. Copies share that object, which
/// is only read (cards made from one loaded profile share its keys).
class RsaKey {
public:
    /// Loads a PEM private key file; throws std::runtime_error naming it.
    static RsaKey fromPemFile(const std::string& path);
    /// Parses a PEM private key; throws std::runtime_error.
    static RsaKey fromPem(const std::string& pem);
    /// A fresh key of `bits` bits (public exponent 65537); throws std::runtime_error.
    static RsaKey generate(int bits);
    /// Takes ownership of a key object (must be RSA).
    explicit RsaKey(EVP_PKEY* key);

    /// The private key as PEM text (PKCS#8, unencrypted).
    std::string toPem() const;
    /// The public modulus and exponent as unsigned big-endian bytes (the modulus on size() bytes).
    Bytes modulus() const;
    Bytes publicExponent() const;

    int bits() const;
    std::size_t size() const { return static_cast<std::size_t>((bits() + 7) / 8); }
    EVP_PKEY* get() const { return key_.get(); }

    /// PKCS#1 v1.5 type-1 signature of `data` as given (a DigestInfo, or any block up to
    /// size() - 11 bytes). Nothing when the data is too long.
    std::optional<Bytes> signPkcs1(const Bytes& data) const;
    /// RSASSA-PSS over a hash computed by the caller; MGF1 with the same hash, salt = hash length.
    /// `hashName` is "SHA1" or "SHA256". Nothing on a length that does not fit the hash.
    std::optional<Bytes> signPss(const Bytes& hash, const char* hashName) const;
    /// The raw RSA block (no padding removed); nothing when the input is not a value below the modulus.
    std::optional<Bytes> decryptRaw(const Bytes& cryptogram) const;

private:
    std::shared_ptr<EVP_PKEY> key_;
};

/// The message inside a PKCS#1 v1.5 type-2 block (00 02 PS 00 M, PS at least 8 bytes); nothing
/// when the block is not one.
std::optional<Bytes> stripPkcs1Type2(const Bytes& block);

}  // namespace qel::sim
