#include "card/certificate_info.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>
#include <openssl/x509.h>

#include <cstdio>
#include <ctime>
#include <memory>

namespace qel {

namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};

template <typename T, typename F>
Bytes derOf(const T* object, F encode) {
    unsigned char* out = nullptr;
    const int len = encode(object, &out);
    if (len <= 0 || out == nullptr) return {};
    Bytes bytes(out, out + len);
    OPENSSL_free(out);
    return bytes;
}

Bytes bignumBytes(const EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return {};
    std::unique_ptr<BIGNUM, BnFree> bn(raw);
    Bytes bytes(static_cast<std::size_t>(BN_num_bytes(bn.get())));
    BN_bn2bin(bn.get(), bytes.data());
    return bytes;
}

// Header plus content of the DER element at the start of `data`: a one-byte tag (a certificate's is
// 30) and a definite length. Nothing when the header is cut short or the content runs past the end.
std::optional<std::size_t> derElementLength(const Bytes& data) {
    if (data.size() < 2 || (data[0] & 0x1F) == 0x1F) return std::nullopt;
    std::size_t pos = 1;
    const std::uint8_t first = data[pos++];
    std::size_t length = first;
    if (first >= 0x80) {
        const std::size_t count = first & 0x7F;
        // 80 is the indefinite form, which DER does not have; four bytes already exceed any card file.
        if (count == 0 || count > 4 || data.size() - pos < count) return std::nullopt;
        length = 0;
        for (std::size_t i = 0; i < count; ++i) length = (length << 8) | data[pos++];
    }
    if (length > data.size() - pos) return std::nullopt;
    return pos + length;
}

// "YYYYMMDD" of a certificate time, as PKCS#11 dates are written; empty when it cannot be read.
std::string dateText(const ASN1_TIME* time) {
    struct tm t {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &t) != 1) return {};
    char text[16];
    const int n = std::snprintf(text, sizeof text, "%04d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    return n == 8 ? std::string(text, 8) : std::string();
}

}  // namespace

std::optional<CertificateInfo> parseCertificate(const Bytes& der) {
    if (der.empty()) return std::nullopt;
    const unsigned char* p = der.data();
    std::unique_ptr<X509, X509Free> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!cert || p != der.data() + der.size()) return std::nullopt;

    CertificateInfo info;
    info.der = der;
    info.subject = derOf(X509_get_subject_name(cert.get()), i2d_X509_NAME);
    info.issuer = derOf(X509_get_issuer_name(cert.get()), i2d_X509_NAME);
    info.serialNumber = derOf(X509_get0_serialNumber(cert.get()), i2d_ASN1_INTEGER);
    info.subjectPublicKeyInfo = derOf(X509_get_X509_PUBKEY(cert.get()), i2d_X509_PUBKEY);
    if (const EVP_PKEY* key = X509_get0_pubkey(cert.get()); key != nullptr && EVP_PKEY_is_a(key, "RSA")) {
        info.modulus = bignumBytes(key, OSSL_PKEY_PARAM_RSA_N);
        info.publicExponent = bignumBytes(key, OSSL_PKEY_PARAM_RSA_E);
        info.keyBits = EVP_PKEY_get_bits(key);
    }
    info.notBefore = dateText(X509_get0_notBefore(cert.get()));
    info.notAfter = dateText(X509_get0_notAfter(cert.get()));
    // X509_get_key_usage caches the extensions; it answers all bits for a certificate without one.
    if (X509_get_extension_flags(cert.get()) & EXFLAG_KUSAGE) info.keyUsage = X509_get_key_usage(cert.get());
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(der.data(), der.size(), digest);
    info.checkValue.assign(digest, digest + 3);
    return info;
}

std::optional<CertificateInfo> parseCertificateFile(const Bytes& fileContent) {
    const std::optional<std::size_t> length = derElementLength(fileContent);
    if (!length) return std::nullopt;
    return parseCertificate(Bytes(fileContent.begin(), fileContent.begin() + static_cast<long>(*length)));
}

}  // namespace qel
