#include "token/p11/mechanisms.h"

#include <algorithm>
#include <new>

#include "card/sec_params.h"

namespace qel::p11 {

namespace {

using A = AsymmetricAlgorithm;

struct PssHash {
    CK_MECHANISM_TYPE hashAlg;
    CK_RSA_PKCS_MGF_TYPE mgf;
    A algorithm;
    const EVP_MD* (*md)();
};

const PssHash kPssHashes[] = {
    {CKM_SHA_1, CKG_MGF1_SHA1, A::RSASignatureDigestPSSSHA1, EVP_sha1},
    {CKM_SHA256, CKG_MGF1_SHA256, A::RSASignatureDigestPSSSHA256, EVP_sha256},
};

// The card salts PSS signatures with as many bytes as the hash has, as TLS 1.3 expects.
CK_RV checkPssParameters(const CK_MECHANISM& mechanism, std::optional<CK_MECHANISM_TYPE> requiredHash,
                         SignMechanism& out) {
    if (mechanism.pParameter == nullptr || mechanism.ulParameterLen != sizeof(CK_RSA_PKCS_PSS_PARAMS))
        return CKR_MECHANISM_PARAM_INVALID;
    const auto* params = static_cast<const CK_RSA_PKCS_PSS_PARAMS*>(mechanism.pParameter);
    if (requiredHash && params->hashAlg != *requiredHash) return CKR_MECHANISM_PARAM_INVALID;
    for (const PssHash& h : kPssHashes) {
        if (h.hashAlg != params->hashAlg) continue;
        if (params->mgf != h.mgf || params->sLen != static_cast<CK_ULONG>(EVP_MD_get_size(h.md())))
            return CKR_MECHANISM_PARAM_INVALID;
        out.algorithm = h.algorithm;
        out.digest = h.md();
        return CKR_OK;
    }
    return CKR_MECHANISM_PARAM_INVALID;
}

struct OfferedMechanism {
    CK_MECHANISM_TYPE type;
    std::vector<A> anyOf;  // offered when a key accepts one of these
    CK_FLAGS flags;
};

const std::vector<OfferedMechanism>& offered() {
    // Never destroyed: hosts call in from exit handlers, after static destructors have run.
    static const std::vector<OfferedMechanism>& list = *new std::vector<OfferedMechanism>{
        {CKM_RSA_PKCS,
         {A::RSASignatureDigestPKCS1v15SHA1, A::RSASignatureDigestPKCS1v15SHA224, A::RSASignatureDigestPKCS1v15SHA256,
          A::RSAEncryptionPKCS1},
         0},
        {CKM_SHA1_RSA_PKCS, {A::RSASignatureDigestPKCS1v15SHA1}, CKF_SIGN},
        {CKM_SHA224_RSA_PKCS, {A::RSASignatureDigestPKCS1v15SHA224}, CKF_SIGN},
        {CKM_SHA256_RSA_PKCS, {A::RSASignatureDigestPKCS1v15SHA256}, CKF_SIGN},
        {CKM_RSA_PKCS_PSS, {A::RSASignatureDigestPSSSHA1, A::RSASignatureDigestPSSSHA256}, CKF_SIGN},
        {CKM_SHA1_RSA_PKCS_PSS, {A::RSASignatureDigestPSSSHA1}, CKF_SIGN},
        {CKM_SHA256_RSA_PKCS_PSS, {A::RSASignatureDigestPSSSHA256}, CKF_SIGN},
    };
    return list;
}

bool contains(const std::vector<A>& list, A a) { return std::find(list.begin(), list.end(), a) != list.end(); }

}  // namespace

CK_RV signMechanism(const CK_MECHANISM& mechanism, SignMechanism& out) {
    out = SignMechanism{};
    out.type = mechanism.mechanism;
    switch (mechanism.mechanism) {
        case CKM_RSA_PKCS:
            out.digestInfoInput = true;
            return CKR_OK;
        case CKM_SHA1_RSA_PKCS:
            out = {CKM_SHA1_RSA_PKCS, false, true, A::RSASignatureDigestPKCS1v15SHA1, EVP_sha1()};
            return CKR_OK;
        case CKM_SHA224_RSA_PKCS:
            out = {CKM_SHA224_RSA_PKCS, false, true, A::RSASignatureDigestPKCS1v15SHA224, EVP_sha224()};
            return CKR_OK;
        case CKM_SHA256_RSA_PKCS:
            out = {CKM_SHA256_RSA_PKCS, false, true, A::RSASignatureDigestPKCS1v15SHA256, EVP_sha256()};
            return CKR_OK;
        case CKM_RSA_PKCS_PSS:
            return checkPssParameters(mechanism, std::nullopt, out);
        case CKM_SHA1_RSA_PKCS_PSS:
            out.moduleHashes = true;
            return checkPssParameters(mechanism, CKM_SHA_1, out);
        case CKM_SHA256_RSA_PKCS_PSS:
            out.moduleHashes = true;
            return checkPssParameters(mechanism, CKM_SHA256, out);
        default:
            return CKR_MECHANISM_INVALID;
    }
}

CK_RV decryptMechanism(const CK_MECHANISM& mechanism, AsymmetricAlgorithm& out) {
    if (mechanism.mechanism != CKM_RSA_PKCS) return CKR_MECHANISM_INVALID;
    out = A::RSAEncryptionPKCS1;
    return CKR_OK;
}

std::optional<DigestInfoContent> splitDigestInfo(const Bytes& input) {
    static const struct {
        A algorithm;
        std::size_t hashLength;
    } kinds[] = {
        {A::RSASignatureDigestPKCS1v15SHA1, 20},   {A::RSASignatureDigestPKCS1v15SHA224, 28},
        {A::RSASignatureDigestPKCS1v15SHA256, 32}, {A::RSASignatureDigestPKCS1v15SHA384, 48},
        {A::RSASignatureDigestPKCS1v15SHA512, 64},
    };
    for (const auto& kind : kinds) {
        SecParams params;
        params.algorithm = kind.algorithm;
        const Bytes prefix = params.digestInfoPrefix().value_or(Bytes{});
        if (input.size() == prefix.size() + kind.hashLength && std::equal(prefix.begin(), prefix.end(), input.begin()))
            return DigestInfoContent{kind.algorithm,
                                     Bytes(input.begin() + static_cast<long>(prefix.size()), input.end())};
    }
    return std::nullopt;
}

bool keyAcceptsSignMechanism(const TokenKey& key, const SignMechanism& mechanism) {
    if (mechanism.algorithm) return key.algos.acceptsSign(*mechanism.algorithm);
    return std::any_of(key.algos.sign.begin(), key.algos.sign.end(), [](A a) {
        return a == A::RSASignatureDigestPKCS1v15SHA1 || a == A::RSASignatureDigestPKCS1v15SHA224 ||
               a == A::RSASignatureDigestPKCS1v15SHA256;
    });
}

bool tokenMechanismInfo(const std::vector<const TokenKey*>& keys, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO& info) {
    for (const OfferedMechanism& m : offered()) {
        if (m.type != type) continue;
        CK_FLAGS flags = 0;
        CK_ULONG minBits = 0;
        CK_ULONG maxBits = 0;
        for (const TokenKey* key : keys) {
            CK_FLAGS keyFlags = 0;
            for (A a : m.anyOf) {
                if (contains(key->algos.sign, a)) keyFlags |= CKF_SIGN;
                if (contains(key->algos.decrypt, a)) keyFlags |= CKF_DECRYPT;
            }
            if (keyFlags == 0) continue;
            flags |= keyFlags;
            // The directory's size when it gives one, else the certificate's modulus.
            const std::int64_t size = key->keySizeInBits > 0 ? key->keySizeInBits : key->publicKey.keyBits;
            const auto bits = static_cast<CK_ULONG>(std::max<std::int64_t>(0, size));
            minBits = minBits == 0 ? bits : std::min(minBits, bits);
            maxBits = std::max(maxBits, bits);
        }
        if (flags == 0) return false;
        info.flags = flags | CKF_HW;
        info.ulMinKeySize = minBits;
        info.ulMaxKeySize = maxBits;
        return true;
    }
    return false;
}

std::vector<CK_MECHANISM_TYPE> tokenMechanisms(const std::vector<const TokenKey*>& keys) {
    std::vector<CK_MECHANISM_TYPE> types;
    CK_MECHANISM_INFO info{};
    for (const OfferedMechanism& m : offered())
        if (tokenMechanismInfo(keys, m.type, info)) types.push_back(m.type);
    return types;
}

Digest::Digest(const EVP_MD* md) : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), md, nullptr) != 1) throw std::bad_alloc();
}

void Digest::update(const std::uint8_t* data, std::size_t size) {
    if (size > 0 && EVP_DigestUpdate(ctx_.get(), data, size) != 1) throw std::bad_alloc();
}

Bytes Digest::final() {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx_.get(), out.data(), &len) != 1) throw std::bad_alloc();
    out.resize(len);
    return out;
}

}  // namespace qel::p11
