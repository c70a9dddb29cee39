#include "card/algorithms.h"

#include <cctype>

#include "common/logger.h"

namespace qel {

namespace {

struct AlgorithmEntry {
    AsymmetricAlgorithm algorithm;
    const char* name;
};

const AlgorithmEntry kAlgorithms[] = {
    {AsymmetricAlgorithm::RSASignatureRaw, "RSASignatureRaw"},
    {AsymmetricAlgorithm::RSASignatureDigestPKCS1v15Raw, "RSASignatureDigestPKCS1v15Raw"},
    {AsymmetricAlgorithm::RSASignatureDigestPKCS1v15SHA1, "RSASignatureDigestPKCS1v15SHA1"},
    {AsymmetricAlgorithm::RSASignatureDigestPKCS1v15SHA224, "RSASignatureDigestPKCS1v15SHA224"},
    {AsymmetricAlgorithm::RSASignatureDigestPKCS1v15SHA256, "RSASignatureDigestPKCS1v15SHA256"},
    {AsymmetricAlgorithm::RSASignatureDigestPKCS1v15SHA384, "RSASignatureDigestPKCS1v15SHA384"},
    {AsymmetricAlgorithm::RSASignatureDigestPKCS1v15SHA512, "RSASignatureDigestPKCS1v15SHA512"},
    {AsymmetricAlgorithm::RSASignatureMessagePKCS1v15SHA1, "RSASignatureMessagePKCS1v15SHA1"},
    {AsymmetricAlgorithm::RSASignatureMessagePKCS1v15SHA224, "RSASignatureMessagePKCS1v15SHA224"},
    {AsymmetricAlgorithm::RSASignatureMessagePKCS1v15SHA256, "RSASignatureMessagePKCS1v15SHA256"},
    {AsymmetricAlgorithm::RSASignatureMessagePKCS1v15SHA384, "RSASignatureMessagePKCS1v15SHA384"},
    {AsymmetricAlgorithm::RSASignatureMessagePKCS1v15SHA512, "RSASignatureMessagePKCS1v15SHA512"},
    {AsymmetricAlgorithm::RSASignatureDigestPSSSHA1, "RSASignatureDigestPSSSHA1"},
    {AsymmetricAlgorithm::RSASignatureDigestPSSSHA224, "RSASignatureDigestPSSSHA224"},
    {AsymmetricAlgorithm::RSASignatureDigestPSSSHA256, "RSASignatureDigestPSSSHA256"},
    {AsymmetricAlgorithm::RSASignatureDigestPSSSHA384, "RSASignatureDigestPSSSHA384"},
    {AsymmetricAlgorithm::RSASignatureDigestPSSSHA512, "RSASignatureDigestPSSSHA512"},
    {AsymmetricAlgorithm::RSASignatureMessagePSSSHA1, "RSASignatureMessagePSSSHA1"},
    {AsymmetricAlgorithm::RSASignatureMessagePSSSHA224, "RSASignatureMessagePSSSHA224"},
    {AsymmetricAlgorithm::RSASignatureMessagePSSSHA256, "RSASignatureMessagePSSSHA256"},
    {AsymmetricAlgorithm::RSASignatureMessagePSSSHA384, "RSASignatureMessagePSSSHA384"},
    {AsymmetricAlgorithm::RSASignatureMessagePSSSHA512, "RSASignatureMessagePSSSHA512"},
    {AsymmetricAlgorithm::ECDSASignatureRFC4754, "ECDSASignatureRFC4754"},
    {AsymmetricAlgorithm::ECDSASignatureDigestX962, "ECDSASignatureDigestX962"},
    {AsymmetricAlgorithm::ECDSASignatureDigestX962SHA1, "ECDSASignatureDigestX962SHA1"},
    {AsymmetricAlgorithm::ECDSASignatureDigestX962SHA224, "ECDSASignatureDigestX962SHA224"},
    {AsymmetricAlgorithm::ECDSASignatureDigestX962SHA256, "ECDSASignatureDigestX962SHA256"},
    {AsymmetricAlgorithm::ECDSASignatureDigestX962SHA384, "ECDSASignatureDigestX962SHA384"},
    {AsymmetricAlgorithm::ECDSASignatureDigestX962SHA512, "ECDSASignatureDigestX962SHA512"},
    {AsymmetricAlgorithm::ECDSASignatureMessageX962SHA1, "ECDSASignatureMessageX962SHA1"},
    {AsymmetricAlgorithm::ECDSASignatureMessageX962SHA224, "ECDSASignatureMessageX962SHA224"},
    {AsymmetricAlgorithm::ECDSASignatureMessageX962SHA256, "ECDSASignatureMessageX962SHA256"},
    {AsymmetricAlgorithm::ECDSASignatureMessageX962SHA384, "ECDSASignatureMessageX962SHA384"},
    {AsymmetricAlgorithm::ECDSASignatureMessageX962SHA512, "ECDSASignatureMessageX962SHA512"},
    {AsymmetricAlgorithm::RSAEncryptionRaw, "RSAEncryptionRaw"},
    {AsymmetricAlgorithm::RSAEncryptionPKCS1, "RSAEncryptionPKCS1"},
    {AsymmetricAlgorithm::RSAEncryptionOAEPSHA1, "RSAEncryptionOAEPSHA1"},
    {AsymmetricAlgorithm::RSAEncryptionOAEPSHA224, "RSAEncryptionOAEPSHA224"},
    {AsymmetricAlgorithm::RSAEncryptionOAEPSHA256, "RSAEncryptionOAEPSHA256"},
    {AsymmetricAlgorithm::RSAEncryptionOAEPSHA384, "RSAEncryptionOAEPSHA384"},
    {AsymmetricAlgorithm::RSAEncryptionOAEPSHA512, "RSAEncryptionOAEPSHA512"},
    {AsymmetricAlgorithm::RSAEncryptionOAEPSHA1AESGCM, "RSAEncryptionOAEPSHA1AESGCM"},
    {AsymmetricAlgorithm::RSAEncryptionOAEPSHA224AESGCM, "RSAEncryptionOAEPSHA224AESGCM"},
    {AsymmetricAlgorithm::RSAEncryptionOAEPSHA256AESGCM, "RSAEncryptionOAEPSHA256AESGCM"},
    {AsymmetricAlgorithm::RSAEncryptionOAEPSHA384AESGCM, "RSAEncryptionOAEPSHA384AESGCM"},
    {AsymmetricAlgorithm::RSAEncryptionOAEPSHA512AESGCM, "RSAEncryptionOAEPSHA512AESGCM"},
    {AsymmetricAlgorithm::ECIESEncryptionStandardX963SHA1AESGCM, "ECIESEncryptionStandardX963SHA1AESGCM"},
    {AsymmetricAlgorithm::ECIESEncryptionStandardX963SHA224AESGCM, "ECIESEncryptionStandardX963SHA224AESGCM"},
    {AsymmetricAlgorithm::ECIESEncryptionStandardX963SHA256AESGCM, "ECIESEncryptionStandardX963SHA256AESGCM"},
    {AsymmetricAlgorithm::ECIESEncryptionStandardX963SHA384AESGCM, "ECIESEncryptionStandardX963SHA384AESGCM"},
    {AsymmetricAlgorithm::ECIESEncryptionStandardX963SHA512AESGCM, "ECIESEncryptionStandardX963SHA512AESGCM"},
    {AsymmetricAlgorithm::ECIESEncryptionCofactorX963SHA1AESGCM, "ECIESEncryptionCofactorX963SHA1AESGCM"},
    {AsymmetricAlgorithm::ECIESEncryptionCofactorX963SHA224AESGCM, "ECIESEncryptionCofactorX963SHA224AESGCM"},
    {AsymmetricAlgorithm::ECIESEncryptionCofactorX963SHA256AESGCM, "ECIESEncryptionCofactorX963SHA256AESGCM"},
    {AsymmetricAlgorithm::ECIESEncryptionCofactorX963SHA384AESGCM, "ECIESEncryptionCofactorX963SHA384AESGCM"},
    {AsymmetricAlgorithm::ECIESEncryptionCofactorX963SHA512AESGCM, "ECIESEncryptionCofactorX963SHA512AESGCM"},
    {AsymmetricAlgorithm::ECIESEncryptionStandardVariableIVX963SHA224AESGCM,
     "ECIESEncryptionStandardVariableIVX963SHA224AESGCM"},
    {AsymmetricAlgorithm::ECIESEncryptionStandardVariableIVX963SHA256AESGCM,
     "ECIESEncryptionStandardVariableIVX963SHA256AESGCM"},
    {AsymmetricAlgorithm::ECIESEncryptionStandardVariableIVX963SHA384AESGCM,
     "ECIESEncryptionStandardVariableIVX963SHA384AESGCM"},
    {AsymmetricAlgorithm::ECIESEncryptionStandardVariableIVX963SHA512AESGCM,
     "ECIESEncryptionStandardVariableIVX963SHA512AESGCM"},
    {AsymmetricAlgorithm::ECIESEncryptionCofactorVariableIVX963SHA224AESGCM,
     "ECIESEncryptionCofactorVariableIVX963SHA224AESGCM"},
    {AsymmetricAlgorithm::ECIESEncryptionCofactorVariableIVX963SHA256AESGCM,
     "ECIESEncryptionCofactorVariableIVX963SHA256AESGCM"},
    {AsymmetricAlgorithm::ECIESEncryptionCofactorVariableIVX963SHA384AESGCM,
     "ECIESEncryptionCofactorVariableIVX963SHA384AESGCM"},
    {AsymmetricAlgorithm::ECIESEncryptionCofactorVariableIVX963SHA512AESGCM,
     "ECIESEncryptionCofactorVariableIVX963SHA512AESGCM"},
    {AsymmetricAlgorithm::ECDHKeyExchangeStandard, "ECDHKeyExchangeStandard"},
    {AsymmetricAlgorithm::ECDHKeyExchangeStandardX963SHA1, "ECDHKeyExchangeStandardX963SHA1"},
    {AsymmetricAlgorithm::ECDHKeyExchangeStandardX963SHA224, "ECDHKeyExchangeStandardX963SHA224"},
    {AsymmetricAlgorithm::ECDHKeyExchangeStandardX963SHA256, "ECDHKeyExchangeStandardX963SHA256"},
    {AsymmetricAlgorithm::ECDHKeyExchangeStandardX963SHA384, "ECDHKeyExchangeStandardX963SHA384"},
    {AsymmetricAlgorithm::ECDHKeyExchangeStandardX963SHA512, "ECDHKeyExchangeStandardX963SHA512"},
    {AsymmetricAlgorithm::ECDHKeyExchangeCofactor, "ECDHKeyExchangeCofactor"},
    {AsymmetricAlgorithm::ECDHKeyExchangeCofactorX963SHA1, "ECDHKeyExchangeCofactorX963SHA1"},
    {AsymmetricAlgorithm::ECDHKeyExchangeCofactorX963SHA224, "ECDHKeyExchangeCofactorX963SHA224"},
    {AsymmetricAlgorithm::ECDHKeyExchangeCofactorX963SHA256, "ECDHKeyExchangeCofactorX963SHA256"},
    {AsymmetricAlgorithm::ECDHKeyExchangeCofactorX963SHA384, "ECDHKeyExchangeCofactorX963SHA384"},
    {AsymmetricAlgorithm::ECDHKeyExchangeCofactorX963SHA512, "ECDHKeyExchangeCofactorX963SHA512"},
};

// The leading acronym of each family goes to lower case in log names (RSA..., ECDSA..., ECIES...,
// ECDH...), as the platform's own names for these constants read.
std::string logName(const char* constant) {
    static const char* const acronyms[] = {"ECDSA", "ECIES", "ECDH", "RSA"};
    std::string name = constant;
    for (const char* acronym : acronyms) {
        const std::string a = acronym;
        if (name.compare(0, a.size(), a) == 0) {
            for (std::size_t i = 0; i < a.size(); ++i)
                name[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[i])));
            break;
        }
    }
    return name;
}

}  // namespace

const std::vector<AsymmetricAlgorithm>& allKeyAlgorithms() {
    // Never destroyed: PKCS#11 hosts call in from exit handlers, after static destructors have run.
    static const std::vector<AsymmetricAlgorithm>& all = *[] {
        auto* v = new std::vector<AsymmetricAlgorithm>;
        for (const auto& e : kAlgorithms) v->push_back(e.algorithm);
        return v;
    }();
    return all;
}

const char* constantName(AsymmetricAlgorithm algorithm) {
    for (const auto& e : kAlgorithms)
        if (e.algorithm == algorithm) return e.name;
    return "";
}

std::string algorithmName(const KeyAlgorithm& algorithm) {
    for (const auto& e : kAlgorithms)
        if (algorithm.isAlgorithm(e.algorithm)) return logName(e.name);
    return "unknown algorithm";
}

KeyType keyTypeForUsage(std::int64_t keyUsage) {
    return isDecipherCapable(keyUsage) ? KeyType::AUTH_KEY : KeyType::SIGN_KEY;
}

const char* caseName(KeyType type) { return type == KeyType::AUTH_KEY ? "AUTH_KEY" : "SIGN_KEY"; }

std::string qualifiedName(KeyType type) { return moduleName() + ".KeyType." + caseName(type); }

Algos::Algos(QELType type, bool decipherCapable) {
    using A = AsymmetricAlgorithm;
    switch (type) {
        case QELType::QEL3:
        case QELType::QEL3CL:
            sign = {A::RSASignatureDigestPKCS1v15SHA1, A::RSASignatureDigestPKCS1v15SHA256};
            if (decipherCapable) {
                // On the third generation only the authentication key takes SHA-224.
                sign.push_back(A::RSASignatureDigestPKCS1v15SHA224);
                decrypt = {A::RSAEncryptionPKCS1};
            }
            break;
        case QELType::QEL4:
            sign = {A::RSASignatureDigestPKCS1v15SHA1, A::RSASignatureDigestPKCS1v15SHA256,
                    A::RSASignatureDigestPSSSHA1, A::RSASignatureDigestPSSSHA256};
            if (decipherCapable) decrypt = {A::RSAEncryptionPKCS1};
            break;
        case QELType::UNKNOWN:
            break;
    }
}

bool Algos::acceptsSign(const KeyAlgorithm& algorithm) const {
    for (AsymmetricAlgorithm a : sign)
        if (algorithm.isAlgorithm(a)) return true;
    return false;
}

bool Algos::acceptsDecrypt(const KeyAlgorithm& algorithm) const {
    for (AsymmetricAlgorithm a : decrypt)
        if (algorithm.isAlgorithm(a)) return true;
    return false;
}

}  // namespace qel
