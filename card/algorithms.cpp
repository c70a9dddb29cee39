#include "card/algorithms.h"

#include <cctype>

#include "common/logger.h"

namespace qel {

namespace {

struct AlgorithmEntry {
    SecKeyAlgorithm algorithm;
    const char* name;
};

const AlgorithmEntry kAlgorithms[] = {
    {SecKeyAlgorithm::RSASignatureRaw, "RSASignatureRaw"},
    {SecKeyAlgorithm::RSASignatureDigestPKCS1v15Raw, "RSASignatureDigestPKCS1v15Raw"},
    {SecKeyAlgorithm::RSASignatureDigestPKCS1v15SHA1, "RSASignatureDigestPKCS1v15SHA1"},
    {SecKeyAlgorithm::RSASignatureDigestPKCS1v15SHA224, "RSASignatureDigestPKCS1v15SHA224"},
    {SecKeyAlgorithm::RSASignatureDigestPKCS1v15SHA256, "RSASignatureDigestPKCS1v15SHA256"},
    {SecKeyAlgorithm::RSASignatureDigestPKCS1v15SHA384, "RSASignatureDigestPKCS1v15SHA384"},
    {SecKeyAlgorithm::RSASignatureDigestPKCS1v15SHA512, "RSASignatureDigestPKCS1v15SHA512"},
    {SecKeyAlgorithm::RSASignatureMessagePKCS1v15SHA1, "RSASignatureMessagePKCS1v15SHA1"},
    {SecKeyAlgorithm::RSASignatureMessagePKCS1v15SHA224, "RSASignatureMessagePKCS1v15SHA224"},
    {SecKeyAlgorithm::RSASignatureMessagePKCS1v15SHA256, "RSASignatureMessagePKCS1v15SHA256"},
    {SecKeyAlgorithm::RSASignatureMessagePKCS1v15SHA384, "RSASignatureMessagePKCS1v15SHA384"},
    {SecKeyAlgorithm::RSASignatureMessagePKCS1v15SHA512, "RSASignatureMessagePKCS1v15SHA512"},
    {SecKeyAlgorithm::RSASignatureDigestPSSSHA1, "RSASignatureDigestPSSSHA1"},
    {SecKeyAlgorithm::RSASignatureDigestPSSSHA224, "RSASignatureDigestPSSSHA224"},
    {SecKeyAlgorithm::RSASignatureDigestPSSSHA256, "RSASignatureDigestPSSSHA256"},
    {SecKeyAlgorithm::RSASignatureDigestPSSSHA384, "RSASignatureDigestPSSSHA384"},
    {SecKeyAlgorithm::RSASignatureDigestPSSSHA512, "RSASignatureDigestPSSSHA512"},
    {SecKeyAlgorithm::RSASignatureMessagePSSSHA1, "RSASignatureMessagePSSSHA1"},
    {SecKeyAlgorithm::RSASignatureMessagePSSSHA224, "RSASignatureMessagePSSSHA224"},
    {SecKeyAlgorithm::RSASignatureMessagePSSSHA256, "RSASignatureMessagePSSSHA256"},
    {SecKeyAlgorithm::RSASignatureMessagePSSSHA384, "RSASignatureMessagePSSSHA384"},
    {SecKeyAlgorithm::RSASignatureMessagePSSSHA512, "RSASignatureMessagePSSSHA512"},
    {SecKeyAlgorithm::ECDSASignatureRFC4754, "ECDSASignatureRFC4754"},
    {SecKeyAlgorithm::ECDSASignatureDigestX962, "ECDSASignatureDigestX962"},
    {SecKeyAlgorithm::ECDSASignatureDigestX962SHA1, "ECDSASignatureDigestX962SHA1"},
    {SecKeyAlgorithm::ECDSASignatureDigestX962SHA224, "ECDSASignatureDigestX962SHA224"},
    {SecKeyAlgorithm::ECDSASignatureDigestX962SHA256, "ECDSASignatureDigestX962SHA256"},
    {SecKeyAlgorithm::ECDSASignatureDigestX962SHA384, "ECDSASignatureDigestX962SHA384"},
    {SecKeyAlgorithm::ECDSASignatureDigestX962SHA512, "ECDSASignatureDigestX962SHA512"},
    {SecKeyAlgorithm::ECDSASignatureMessageX962SHA1, "ECDSASignatureMessageX962SHA1"},
    {SecKeyAlgorithm::ECDSASignatureMessageX962SHA224, "ECDSASignatureMessageX962SHA224"},
    {SecKeyAlgorithm::ECDSASignatureMessageX962SHA256, "ECDSASignatureMessageX962SHA256"},
    {SecKeyAlgorithm::ECDSASignatureMessageX962SHA384, "ECDSASignatureMessageX962SHA384"},
    {SecKeyAlgorithm::ECDSASignatureMessageX962SHA512, "ECDSASignatureMessageX962SHA512"},
    {SecKeyAlgorithm::RSAEncryptionRaw, "RSAEncryptionRaw"},
    {SecKeyAlgorithm::RSAEncryptionPKCS1, "RSAEncryptionPKCS1"},
    {SecKeyAlgorithm::RSAEncryptionOAEPSHA1, "RSAEncryptionOAEPSHA1"},
    {SecKeyAlgorithm::RSAEncryptionOAEPSHA224, "RSAEncryptionOAEPSHA224"},
    {SecKeyAlgorithm::RSAEncryptionOAEPSHA256, "RSAEncryptionOAEPSHA256"},
    {SecKeyAlgorithm::RSAEncryptionOAEPSHA384, "RSAEncryptionOAEPSHA384"},
    {SecKeyAlgorithm::RSAEncryptionOAEPSHA512, "RSAEncryptionOAEPSHA512"},
    {SecKeyAlgorithm::RSAEncryptionOAEPSHA1AESGCM, "RSAEncryptionOAEPSHA1AESGCM"},
    {SecKeyAlgorithm::RSAEncryptionOAEPSHA224AESGCM, "RSAEncryptionOAEPSHA224AESGCM"},
    {SecKeyAlgorithm::RSAEncryptionOAEPSHA256AESGCM, "RSAEncryptionOAEPSHA256AESGCM"},
    {SecKeyAlgorithm::RSAEncryptionOAEPSHA384AESGCM, "RSAEncryptionOAEPSHA384AESGCM"},
    {SecKeyAlgorithm::RSAEncryptionOAEPSHA512AESGCM, "RSAEncryptionOAEPSHA512AESGCM"},
    {SecKeyAlgorithm::ECIESEncryptionStandardX963SHA1AESGCM, "ECIESEncryptionStandardX963SHA1AESGCM"},
    {SecKeyAlgorithm::ECIESEncryptionStandardX963SHA224AESGCM, "ECIESEncryptionStandardX963SHA224AESGCM"},
    {SecKeyAlgorithm::ECIESEncryptionStandardX963SHA256AESGCM, "ECIESEncryptionStandardX963SHA256AESGCM"},
    {SecKeyAlgorithm::ECIESEncryptionStandardX963SHA384AESGCM, "ECIESEncryptionStandardX963SHA384AESGCM"},
    {SecKeyAlgorithm::ECIESEncryptionStandardX963SHA512AESGCM, "ECIESEncryptionStandardX963SHA512AESGCM"},
    {SecKeyAlgorithm::ECIESEncryptionCofactorX963SHA1AESGCM, "ECIESEncryptionCofactorX963SHA1AESGCM"},
    {SecKeyAlgorithm::ECIESEncryptionCofactorX963SHA224AESGCM, "ECIESEncryptionCofactorX963SHA224AESGCM"},
    {SecKeyAlgorithm::ECIESEncryptionCofactorX963SHA256AESGCM, "ECIESEncryptionCofactorX963SHA256AESGCM"},
    {SecKeyAlgorithm::ECIESEncryptionCofactorX963SHA384AESGCM, "ECIESEncryptionCofactorX963SHA384AESGCM"},
    {SecKeyAlgorithm::ECIESEncryptionCofactorX963SHA512AESGCM, "ECIESEncryptionCofactorX963SHA512AESGCM"},
    {SecKeyAlgorithm::ECIESEncryptionStandardVariableIVX963SHA224AESGCM,
     "ECIESEncryptionStandardVariableIVX963SHA224AESGCM"},
    {SecKeyAlgorithm::ECIESEncryptionStandardVariableIVX963SHA256AESGCM,
     "ECIESEncryptionStandardVariableIVX963SHA256AESGCM"},
    {SecKeyAlgorithm::ECIESEncryptionStandardVariableIVX963SHA384AESGCM,
     "ECIESEncryptionStandardVariableIVX963SHA384AESGCM"},
    {SecKeyAlgorithm::ECIESEncryptionStandardVariableIVX963SHA512AESGCM,
     "ECIESEncryptionStandardVariableIVX963SHA512AESGCM"},
    {SecKeyAlgorithm::ECIESEncryptionCofactorVariableIVX963SHA224AESGCM,
     "ECIESEncryptionCofactorVariableIVX963SHA224AESGCM"},
    {SecKeyAlgorithm::ECIESEncryptionCofactorVariableIVX963SHA256AESGCM,
     "ECIESEncryptionCofactorVariableIVX963SHA256AESGCM"},
    {SecKeyAlgorithm::ECIESEncryptionCofactorVariableIVX963SHA384AESGCM,
     "ECIESEncryptionCofactorVariableIVX963SHA384AESGCM"},
    {SecKeyAlgorithm::ECIESEncryptionCofactorVariableIVX963SHA512AESGCM,
     "ECIESEncryptionCofactorVariableIVX963SHA512AESGCM"},
    {SecKeyAlgorithm::ECDHKeyExchangeStandard, "ECDHKeyExchangeStandard"},
    {SecKeyAlgorithm::ECDHKeyExchangeStandardX963SHA1, "ECDHKeyExchangeStandardX963SHA1"},
    {SecKeyAlgorithm::ECDHKeyExchangeStandardX963SHA224, "ECDHKeyExchangeStandardX963SHA224"},
    {SecKeyAlgorithm::ECDHKeyExchangeStandardX963SHA256, "ECDHKeyExchangeStandardX963SHA256"},
    {SecKeyAlgorithm::ECDHKeyExchangeStandardX963SHA384, "ECDHKeyExchangeStandardX963SHA384"},
    {SecKeyAlgorithm::ECDHKeyExchangeStandardX963SHA512, "ECDHKeyExchangeStandardX963SHA512"},
    {SecKeyAlgorithm::ECDHKeyExchangeCofactor, "ECDHKeyExchangeCofactor"},
    {SecKeyAlgorithm::ECDHKeyExchangeCofactorX963SHA1, "ECDHKeyExchangeCofactorX963SHA1"},
    {SecKeyAlgorithm::ECDHKeyExchangeCofactorX963SHA224, "ECDHKeyExchangeCofactorX963SHA224"},
    {SecKeyAlgorithm::ECDHKeyExchangeCofactorX963SHA256, "ECDHKeyExchangeCofactorX963SHA256"},
    {SecKeyAlgorithm::ECDHKeyExchangeCofactorX963SHA384, "ECDHKeyExchangeCofactorX963SHA384"},
    {SecKeyAlgorithm::ECDHKeyExchangeCofactorX963SHA512, "ECDHKeyExchangeCofactorX963SHA512"},
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

const std::vector<SecKeyAlgorithm>& allKeyAlgorithms() {
    // Never destroyed: PKCS#11 hosts call in from exit handlers, after static destructors have run.
    static const std::vector<SecKeyAlgorithm>& all = *[] {
        auto* v = new std::vector<SecKeyAlgorithm>;
        for (const auto& e : kAlgorithms) v->push_back(e.algorithm);
        return v;
    }();
    return all;
}

const char* constantName(SecKeyAlgorithm algorithm) {
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
    using A = SecKeyAlgorithm;
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
    for (SecKeyAlgorithm a : sign)
        if (algorithm.isAlgorithm(a)) return true;
    return false;
}

bool Algos::acceptsDecrypt(const KeyAlgorithm& algorithm) const {
    for (SecKeyAlgorithm a : decrypt)
        if (algorithm.isAlgorithm(a)) return true;
    return false;
}

}  // namespace qel
