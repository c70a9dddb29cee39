#pragma once
#include <p11-kit/pkcs11.h>

#include <memory>
#include <optional>
#include <vector>

#include "common/bytes.h"
#include "sim/p11/card_backend.h"

namespace qel::simp11 {

/// The signature mechanisms the token offers, in the order C_GetMechanismList lists them.
const std::vector<CK_MECHANISM_TYPE>& supportedMechanisms();
bool isSupportedMechanism(CK_MECHANISM_TYPE mechanism);

/// DER prefix of the PKCS#1 v1.5 DigestInfo for a hash (empty for HashAlg::none).
const Bytes& digestInfoPrefix(HashAlg hash);
std::size_t digestLength(HashAlg hash);

/// The hash named by a DigestInfo and its digest, or nothing when the bytes are not exactly one.
std::optional<std::pair<HashAlg, Bytes>> parseDigestInfo(const Bytes& block);

/// Collects the data of one sign or verify operation. The hashing mechanisms hash as data comes;
/// CKM_RSA_PKCS keeps the raw block (bounded by the key size).
class MessageCollector {
public:
    /// Throws std::invalid_argument for a mechanism not in supportedMechanisms().
    MessageCollector(CK_MECHANISM_TYPE mechanism, std::size_t rawLimit);
    ~MessageCollector();
    MessageCollector(const MessageCollector&) = delete;
    MessageCollector& operator=(const MessageCollector&) = delete;

    CK_MECHANISM_TYPE mechanism() const { return mechanism_; }
    /// False when raw data grows past the limit.
    bool update(const std::uint8_t* data, std::size_t size);
    /// The hash algorithm and digest, or (HashAlg::none, raw block). Call once.
    std::pair<HashAlg, Bytes> finish();

private:
    CK_MECHANISM_TYPE mechanism_;
    HashAlg hash_ = HashAlg::none;
    std::size_t rawLimit_;
    Bytes raw_;
    struct Digest;
    std::unique_ptr<Digest> digest_;
};

/// Checks a PKCS#1 v1.5 signature with an RSA public key. `message` is what MessageCollector
/// finished with. CKR_OK, CKR_SIGNATURE_INVALID or CKR_SIGNATURE_LEN_RANGE.
CK_RV verifyPkcs1(const Bytes& modulus, const Bytes& exponent, HashAlg hash, const Bytes& message,
                  const Bytes& signature);

}  // namespace qel::simp11
