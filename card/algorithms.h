#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "card/qel_type.h"

namespace qel {

/// The asymmetric key algorithms a request may name (RSA signature and encryption, ECDSA, ECIES,
/// ECDH). Only a few are accepted by the card; the others exist so that a request for any of them
/// can be named in logs and refused.
enum class AsymmetricAlgorithm {
    RSASignatureRaw,
    RSASignatureDigestPKCS1v15Raw,
    RSASignatureDigestPKCS1v15SHA1,
    RSASignatureDigestPKCS1v15SHA224,
    RSASignatureDigestPKCS1v15SHA256,
    RSASignatureDigestPKCS1v15SHA384,
    RSASignatureDigestPKCS1v15SHA512,
    RSASignatureMessagePKCS1v15SHA1,
    RSASignatureMessagePKCS1v15SHA224,
    RSASignatureMessagePKCS1v15SHA256,
    RSASignatureMessagePKCS1v15SHA384,
    RSASignatureMessagePKCS1v15SHA512,
    RSASignatureDigestPSSSHA1,
    RSASignatureDigestPSSSHA224,
    RSASignatureDigestPSSSHA256,
    RSASignatureDigestPSSSHA384,
    RSASignatureDigestPSSSHA512,
    RSASignatureMessagePSSSHA1,
    RSASignatureMessagePSSSHA224,
    RSASignatureMessagePSSSHA256,
    RSASignatureMessagePSSSHA384,
    RSASignatureMessagePSSSHA512,
    ECDSASignatureRFC4754,
    ECDSASignatureDigestX962,
    ECDSASignatureDigestX962SHA1,
    ECDSASignatureDigestX962SHA224,
    ECDSASignatureDigestX962SHA256,
    ECDSASignatureDigestX962SHA384,
    ECDSASignatureDigestX962SHA512,
    ECDSASignatureMessageX962SHA1,
    ECDSASignatureMessageX962SHA224,
    ECDSASignatureMessageX962SHA256,
    ECDSASignatureMessageX962SHA384,
    ECDSASignatureMessageX962SHA512,
    RSAEncryptionRaw,
    RSAEncryptionPKCS1,
    RSAEncryptionOAEPSHA1,
    RSAEncryptionOAEPSHA224,
    RSAEncryptionOAEPSHA256,
    RSAEncryptionOAEPSHA384,
    RSAEncryptionOAEPSHA512,
    RSAEncryptionOAEPSHA1AESGCM,
    RSAEncryptionOAEPSHA224AESGCM,
    RSAEncryptionOAEPSHA256AESGCM,
    RSAEncryptionOAEPSHA384AESGCM,
    RSAEncryptionOAEPSHA512AESGCM,
    ECIESEncryptionStandardX963SHA1AESGCM,
    ECIESEncryptionStandardX963SHA224AESGCM,
    ECIESEncryptionStandardX963SHA256AESGCM,
    ECIESEncryptionStandardX963SHA384AESGCM,
    ECIESEncryptionStandardX963SHA512AESGCM,
    ECIESEncryptionCofactorX963SHA1AESGCM,
    ECIESEncryptionCofactorX963SHA224AESGCM,
    ECIESEncryptionCofactorX963SHA256AESGCM,
    ECIESEncryptionCofactorX963SHA384AESGCM,
    ECIESEncryptionCofactorX963SHA512AESGCM,
    ECIESEncryptionStandardVariableIVX963SHA224AESGCM,
    ECIESEncryptionStandardVariableIVX963SHA256AESGCM,
    ECIESEncryptionStandardVariableIVX963SHA384AESGCM,
    ECIESEncryptionStandardVariableIVX963SHA512AESGCM,
    ECIESEncryptionCofactorVariableIVX963SHA224AESGCM,
    ECIESEncryptionCofactorVariableIVX963SHA256AESGCM,
    ECIESEncryptionCofactorVariableIVX963SHA384AESGCM,
    ECIESEncryptionCofactorVariableIVX963SHA512AESGCM,
    ECDHKeyExchangeStandard,
    ECDHKeyExchangeStandardX963SHA1,
    ECDHKeyExchangeStandardX963SHA224,
    ECDHKeyExchangeStandardX963SHA256,
    ECDHKeyExchangeStandardX963SHA384,
    ECDHKeyExchangeStandardX963SHA512,
    ECDHKeyExchangeCofactor,
    ECDHKeyExchangeCofactorX963SHA1,
    ECDHKeyExchangeCofactorX963SHA224,
    ECDHKeyExchangeCofactorX963SHA256,
    ECDHKeyExchangeCofactorX963SHA384,
    ECDHKeyExchangeCofactorX963SHA512,
};

/// Every constant above, in declaration order (76 of them).
const std::vector<AsymmetricAlgorithm>& allKeyAlgorithms();

/// The algorithm of one request, as the token front hands it over. It is only ever asked whether it
/// is a given constant. Without a value it is none of them (an algorithm the list above lacks).
class KeyAlgorithm {
public:
    KeyAlgorithm() = default;
    KeyAlgorithm(AsymmetricAlgorithm algorithm) : algorithm_(algorithm), known_(true) {}  // NOLINT implicit
    bool isAlgorithm(AsymmetricAlgorithm algorithm) const { return known_ && algorithm_ == algorithm; }

private:
    AsymmetricAlgorithm algorithm_ = AsymmetricAlgorithm::RSASignatureRaw;
    bool known_ = false;
};

/// Name for logs: the constant's name with its leading acronym in lower case
/// ("rsaSignatureDigestPKCS1v15SHA256", "ecdhKeyExchangeStandard"); "unknown algorithm" otherwise.
std::string algorithmName(const KeyAlgorithm& algorithm);
/// The constant's own name ("RSASignatureDigestPKCS1v15SHA256").
const char* constantName(AsymmetricAlgorithm algorithm);

/// The two private-key operations.
enum class KeyOp { SIGN, DECRYPT };

/// The two key roles: AUTH_KEY when the key's usage flags have bit 1 (decipher) set, else SIGN_KEY.
enum class KeyType { SIGN_KEY, AUTH_KEY };

/// AUTH_KEY when bit 1 (decipher) of the directory's usage flags is set.
KeyType keyTypeForUsage(std::int64_t keyUsage);
/// True when bit 1 (decipher) of the usage flags is set.
inline bool isDecipherCapable(std::int64_t keyUsage) { return (keyUsage & 0x0002) != 0; }

const char* caseName(KeyType type);
/// "Sigilla.KeyType.AUTH_KEY" style name for logs.
std::string qualifiedName(KeyType type);

/// The algorithms one key accepts on one card generation, in the order they are tried.
struct Algos {
    Algos() = default;
    /// Built from the card generation and whether the key may decipher (usage bit 1).
    Algos(QELType type, bool decipherCapable);

    /// True when `algorithm` is one of `sign` (`decrypt`).
    bool acceptsSign(const KeyAlgorithm& algorithm) const;
    bool acceptsDecrypt(const KeyAlgorithm& algorithm) const;

    std::vector<AsymmetricAlgorithm> sign;
    std::vector<AsymmetricAlgorithm> decrypt;
};

}  // namespace qel
