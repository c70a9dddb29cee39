#include "sim/p11/mechanisms.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <stdexcept>

namespace qel::simp11 {

namespace {

const EVP_MD* mdOf(HashAlg hash) {
    switch (hash) {
        case HashAlg::sha1:
            return EVP_sha1();
        case HashAlg::sha224:
            return EVP_sha224();
        case HashAlg::sha256:
            return EVP_sha256();
        case HashAlg::sha384:
            return EVP_sha384();
        case HashAlg::sha512:
            return EVP_sha512();
        case HashAlg::none:
            break;
    }
    return nullptr;
}

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};

std::unique_ptr<EVP_PKEY, PkeyFree> rsaPublicKey(const Bytes& modulus, const Bytes& exponent) {
    BIGNUM* n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
    BIGNUM* e = BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM* params = nullptr;
    EVP_PKEY* key = nullptr;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    if (n && e && bld && ctx && OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n) == 1 &&
        OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e) == 1 &&
        (params = OSSL_PARAM_BLD_to_param(bld)) != nullptr && EVP_PKEY_fromdata_init(ctx) == 1) {
        EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
    }
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    EVP_PKEY_CTX_free(ctx);
    BN_free(n);
    BN_free(e);
    return std::unique_ptr<EVP_PKEY, PkeyFree>(key);
}

}  // namespace

const std::vector<CK_MECHANISM_TYPE>& supportedMechanisms() {
    static const std::vector<CK_MECHANISM_TYPE> list{CKM_RSA_PKCS, CKM_SHA1_RSA_PKCS, CKM_SHA256_RSA_PKCS};
    return list;
}

bool isSupportedMechanism(CK_MECHANISM_TYPE mechanism) {
    const auto& list = supportedMechanisms();
    return std::find(list.begin(), list.end(), mechanism) != list.end();
}

const Bytes& digestInfoPrefix(HashAlg hash) {
    static const Bytes none;
    static const Bytes sha1{0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
    static const Bytes sha224{0x30, 0x2D, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                              0x65, 0x03, 0x04, 0x02, 0x04, 0x05, 0x00, 0x04, 0x1C};
    static const Bytes sha256{0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                              0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    static const Bytes sha384{0x30, 0x41, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                              0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
    static const Bytes sha512{0x30, 0x51, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                              0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};
    switch (hash) {
        case HashAlg::sha1:
            return sha1;
        case HashAlg::sha224:
            return sha224;
        case HashAlg::sha256:
            return sha256;
        case HashAlg::sha384:
            return sha384;
        case HashAlg::sha512:
            return sha512;
        case HashAlg::none:
            break;
    }
    return none;
}

std::size_t digestLength(HashAlg hash) {
    const EVP_MD* md = mdOf(hash);
    return md ? static_cast<std::size_t>(EVP_MD_get_size(md)) : 0;
}

std::optional<std::pair<HashAlg, Bytes>> parseDigestInfo(const Bytes& block) {
    for (HashAlg h : {HashAlg::sha1, HashAlg::sha224, HashAlg::sha256, HashAlg::sha384, HashAlg::sha512}) {
        const Bytes& prefix = digestInfoPrefix(h);
        if (block.size() == prefix.size() + digestLength(h) && std::equal(prefix.begin(), prefix.end(), block.begin()))
            return std::make_pair(h, Bytes(block.begin() + static_cast<long>(prefix.size()), block.end()));
    }
    return std::nullopt;
}

struct MessageCollector::Digest {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Digest() { EVP_MD_CTX_free(ctx); }
};

MessageCollector::MessageCollector(CK_MECHANISM_TYPE mechanism, std::size_t rawLimit)
    : mechanism_(mechanism), rawLimit_(rawLimit) {
    if (mechanism == CKM_SHA1_RSA_PKCS)
        hash_ = HashAlg::sha1;
    else if (mechanism == CKM_SHA256_RSA_PKCS)
        hash_ = HashAlg::sha256;
    else if (mechanism != CKM_RSA_PKCS)
        throw std::invalid_argument("mechanism");
    if (hash_ != HashAlg::none) {
        digest_ = std::make_unique<Digest>();
        if (digest_->ctx == nullptr || EVP_DigestInit_ex(digest_->ctx, mdOf(hash_), nullptr) != 1)
            throw std::runtime_error("digest");
    }
}

MessageCollector::~MessageCollector() = default;

bool MessageCollector::update(const std::uint8_t* data, std::size_t size) {
    if (digest_) return EVP_DigestUpdate(digest_->ctx, data, size) == 1;
    if (raw_.size() + size > rawLimit_) return false;
    raw_.insert(raw_.end(), data, data + size);
    return true;
}

std::pair<HashAlg, Bytes> MessageCollector::finish() {
    if (!digest_) return {HashAlg::none, std::move(raw_)};
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(digest_->ctx, out.data(), &n) != 1) throw std::runtime_error("digest");
    out.resize(n);
    return {hash_, std::move(out)};
}

CK_RV verifyPkcs1(const Bytes& modulus, const Bytes& exponent, HashAlg hash, const Bytes& message,
                  const Bytes& signature) {
    if (signature.size() != modulus.size()) return CKR_SIGNATURE_LEN_RANGE;
    auto key = rsaPublicKey(modulus, exponent);
    if (!key) return CKR_GENERAL_ERROR;
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
        return CKR_GENERAL_ERROR;
    Bytes recovered(modulus.size());
    std::size_t n = recovered.size();
    if (EVP_PKEY_verify_recover(ctx.get(), recovered.data(), &n, signature.data(), signature.size()) != 1)
        return CKR_SIGNATURE_INVALID;
    recovered.resize(n);
    // The signed block is the DigestInfo for the hashing mechanisms, the raw data otherwise.
    Bytes expected = digestInfoPrefix(hash);
    expected.insert(expected.end(), message.begin(), message.end());
    return recovered == expected ? CKR_OK : CKR_SIGNATURE_INVALID;
}

}  // namespace qel::simp11
