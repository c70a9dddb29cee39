#include "sim/p11/certificate.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

#include "sim/p11/tlv.h"

namespace qel::simp11 {

namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};

template <typename T, typename F>
Bytes derOf(const T* object, F encode) {
    int n = encode(object, nullptr);
    if (n <= 0) return {};
    Bytes out(static_cast<std::size_t>(n));
    unsigned char* p = out.data();
    if (encode(object, &p) != n) return {};
    return out;
}

Bytes bigEndian(const EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return {};
    std::unique_ptr<BIGNUM, BnFree> bn(raw);
    Bytes out(static_cast<std::size_t>(BN_num_bytes(bn.get())));
    BN_bn2bin(bn.get(), out.data());
    return out;
}

}  // namespace

std::optional<CertificateInfo> decodeCertificate(const Bytes& fileContent) {
    auto length = tlvElementLength(fileContent);
    if (!length) return std::nullopt;
    CertificateInfo info;
    info.der.assign(fileContent.begin(), fileContent.begin() + static_cast<long>(*length));

    const unsigned char* p = info.der.data();
    std::unique_ptr<X509, X509Free> cert(d2i_X509(nullptr, &p, static_cast<long>(info.der.size())));
    if (!cert) return std::nullopt;

    info.subject = derOf(X509_get_subject_name(cert.get()), [](const X509_NAME* n, unsigned char** out) {
        return i2d_X509_NAME(n, out);
    });
    info.issuer = derOf(X509_get_issuer_name(cert.get()), [](const X509_NAME* n, unsigned char** out) {
        return i2d_X509_NAME(n, out);
    });
    info.serial = derOf(X509_get0_serialNumber(cert.get()), [](const ASN1_INTEGER* n, unsigned char** out) {
        return i2d_ASN1_INTEGER(n, out);
    });
    const EVP_PKEY* key = X509_get0_pubkey(cert.get());
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return std::nullopt;
    info.modulus = bigEndian(key, OSSL_PKEY_PARAM_RSA_N);
    info.exponent = bigEndian(key, OSSL_PKEY_PARAM_RSA_E);
    info.modulusBits = EVP_PKEY_get_bits(key);
    if (info.modulus.empty() || info.exponent.empty()) return std::nullopt;
    return info;
}

}  // namespace qel::simp11
