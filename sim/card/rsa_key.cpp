#include "sim/card/rsa_key.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace qel::sim {

namespace {

struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using Ctx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

Bytes bigNumber(EVP_PKEY* key, const char* name, std::size_t width) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1) throw std::runtime_error("RSA key without its public part");
    Bytes out(std::max(width, static_cast<std::size_t>(BN_num_bytes(bn))));
    BN_bn2binpad(bn, out.data(), static_cast<int>(out.size()));
    BN_free(bn);
    return out;
}

}  // namespace

RsaKey::RsaKey(EVP_PKEY* key) : key_(key, EVP_PKEY_free) {
    if (!key_ || EVP_PKEY_get_base_id(key_.get()) != EVP_PKEY_RSA) throw std::runtime_error("not an RSA key");
}

RsaKey RsaKey::fromPemFile(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) throw std::runtime_error("cannot read key " + path);
    EVP_PKEY* k = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (!k) throw std::runtime_error("not a PEM private key: " + path);
    if (EVP_PKEY_get_base_id(k) != EVP_PKEY_RSA) {
        EVP_PKEY_free(k);
        throw std::runtime_error("not an RSA key: " + path);
    }
    return RsaKey(k);
}

RsaKey RsaKey::fromPem(const std::string& pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    EVP_PKEY* k = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr;
    if (!k) throw std::runtime_error("not a PEM private key");
    return RsaKey(k);
}

RsaKey RsaKey::generate(int bits) {
    EVP_PKEY* k = EVP_RSA_gen(static_cast<unsigned>(bits));
    if (!k) throw std::runtime_error("RSA key generation failed");
    return RsaKey(k);
}

std::string RsaKey::toPem() const {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        throw std::runtime_error("cannot encode the key");
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(n));
}

Bytes RsaKey::modulus() const { return bigNumber(key_.get(), OSSL_PKEY_PARAM_RSA_N, size()); }

Bytes RsaKey::publicExponent() const { return bigNumber(key_.get(), OSSL_PKEY_PARAM_RSA_E, 0); }

int RsaKey::bits() const { return EVP_PKEY_get_bits(key_.get()); }

std::optional<Bytes> RsaKey::signPkcs1(const Bytes& data) const {
    if (data.empty() || data.size() + 11 > size()) return std::nullopt;
    Ctx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0)
        return std::nullopt;
    std::size_t len = size();
    Bytes sig(len);
    if (EVP_PKEY_sign(ctx.get(), sig.data(), &len, data.data(), data.size()) <= 0) return std::nullopt;
    sig.resize(len);
    return sig;
}

std::optional<Bytes> RsaKey::signPss(const Bytes& hash, const char* hashName) const {
    const EVP_MD* md = EVP_get_digestbyname(hashName);
    if (!md || hash.size() != static_cast<std::size_t>(EVP_MD_get_size(md))) return std::nullopt;
    Ctx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0 || EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), md) <= 0 ||
        EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), RSA_PSS_SALTLEN_DIGEST) <= 0)
        return std::nullopt;
    std::size_t len = size();
    Bytes sig(len);
    if (EVP_PKEY_sign(ctx.get(), sig.data(), &len, hash.data(), hash.size()) <= 0) return std::nullopt;
    sig.resize(len);
    return sig;
}

std::optional<Bytes> RsaKey::decryptRaw(const Bytes& cryptogram) const {
    if (cryptogram.size() != size()) return std::nullopt;
    Ctx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) <= 0)
        return std::nullopt;
    std::size_t len = size();
    Bytes out(len);
    if (EVP_PKEY_decrypt(ctx.get(), out.data(), &len, cryptogram.data(), cryptogram.size()) <= 0) return std::nullopt;
    // A raw RSA result is a number: keep it at the full block width, leading zeros included.
    if (len < size()) out.insert(out.begin(), size() - len, 0);
    out.resize(size());
    return out;
}

std::optional<Bytes> stripPkcs1Type2(const Bytes& block) {
    if (block.size() < 11 || block[0] != 0x00 || block[1] != 0x02) return std::nullopt;
    std::size_t i = 2;
    while (i < block.size() && block[i] != 0x00) ++i;
    if (i == block.size() || i < 10) return std::nullopt;
    return Bytes(block.begin() + static_cast<long>(i) + 1, block.end());
}

}  // namespace qel::sim
