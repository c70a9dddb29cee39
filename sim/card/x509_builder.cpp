#include "sim/card/x509_builder.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

#include "common/atomic_file.h"
#include "sim/card/profile.h"

namespace qel::sim {

namespace {

void check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what);
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

void addExtension(X509* cert, X509V3_CTX* ctx, int nid, const std::string& value) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str());
    check(ext != nullptr, "bad certificate extension " + value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

void setRandomSerial(X509* cert) {
    unsigned char bytes[16];
    check(RAND_bytes(bytes, sizeof bytes) == 1, "no random bytes");
    bytes[0] = static_cast<unsigned char>((bytes[0] & 0x7F) | 0x10);
    std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(BN_bin2bn(bytes, sizeof bytes, nullptr), BN_free);
    check(bn && BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert)) != nullptr, "cannot set serial");
}

}  // namespace

void PkeyFree::operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
void X509Free::operator()(X509* c) const { X509_free(c); }

PkeyPtr generateRsaKey(int bits) {
    PkeyPtr key(EVP_RSA_gen(static_cast<unsigned>(bits)));
    check(key != nullptr, "RSA key generation failed");
    return key;
}

PkeyPtr readPemKey(const std::string& path) {
    File f(std::fopen(path.c_str(), "rb"));
    check(f != nullptr, "cannot read " + path);
    PkeyPtr key(PEM_read_PrivateKey(f.get(), nullptr, nullptr, nullptr));
    check(key != nullptr, "not a PEM private key: " + path);
    return key;
}

void writePemKey(EVP_PKEY* key, const std::string& path) {
    std::unique_ptr<BIO, decltype(&BIO_free)> pem(BIO_new(BIO_s_mem()), BIO_free);
    check(pem && PEM_write_bio_PrivateKey(pem.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "cannot encode the key for " + path);
    char* text = nullptr;
    const long size = BIO_get_mem_data(pem.get(), &text);
    // A private key: for its owner's eyes only.
    check(!qel::writeFileAtomically(path, std::string_view(text, static_cast<std::size_t>(size)), 0600),
          "cannot write " + path);
}

X509Ptr readDerCertificate(const std::string& path) {
    std::string der = readWholeFile(path);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    check(cert != nullptr, "not a DER certificate: " + path);
    return cert;
}

Bytes derOf(X509* cert) {
    int n = i2d_X509(cert, nullptr);
    check(n > 0, "cannot encode certificate");
    Bytes out(static_cast<std::size_t>(n));
    unsigned char* p = out.data();
    i2d_X509(cert, &p);
    return out;
}

X509Ptr issueCertificate(const CertificateRequest& r, EVP_PKEY* subjectKey, X509* issuer, EVP_PKEY* issuerKey) {
    X509Ptr cert(X509_new());
    check(cert != nullptr, "out of memory");
    X509_set_version(cert.get(), 2);
    setRandomSerial(cert.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    for (const auto& [attr, value] : r.subject)
        check(X509_NAME_add_entry_by_txt(name, attr.c_str(), MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) == 1,
              "bad name attribute " + attr);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    check(ASN1_TIME_set_string_X509(X509_getm_notBefore(cert.get()), r.notBefore.c_str()) == 1,
          "bad date " + r.notBefore);
    check(ASN1_TIME_set_string_X509(X509_getm_notAfter(cert.get()), r.notAfter.c_str()) == 1, "bad date " + r.notAfter);
    check(X509_set_pubkey(cert.get(), subjectKey) == 1, "cannot set public key");

    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
    addExtension(cert.get(), &ctx, NID_basic_constraints, r.ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
    addExtension(cert.get(), &ctx, NID_key_usage, r.keyUsage);
    if (!r.extendedKeyUsage.empty()) addExtension(cert.get(), &ctx, NID_ext_key_usage, r.extendedKeyUsage);
    addExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash");
    if (issuer) addExtension(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always");
    if (!r.crlUrls.empty()) {
        std::string dp;
        for (const std::string& url : r.crlUrls) dp += (dp.empty() ? "URI:" : ",URI:") + url;
        addExtension(cert.get(), &ctx, NID_crl_distribution_points, dp);
    }
    check(X509_sign(cert.get(), issuerKey, EVP_sha256()) > 0, "certificate signature failed");
    return cert;
}

Bytes makeCrl(X509* issuer, EVP_PKEY* issuerKey, const std::vector<Bytes>& revokedSerials, int days) {
    std::unique_ptr<X509_CRL, decltype(&X509_CRL_free)> crl(X509_CRL_new(), X509_CRL_free);
    check(crl != nullptr, "out of memory");
    X509_CRL_set_version(crl.get(), 1);
    X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer));
    std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> now(ASN1_TIME_new(), ASN1_TIME_free);
    std::unique_ptr<ASN1_TIME, decltype(&ASN1_TIME_free)> next(ASN1_TIME_new(), ASN1_TIME_free);
    X509_gmtime_adj(now.get(), 0);
    X509_gmtime_adj(next.get(), static_cast<long>(days) * 24 * 3600);
    X509_CRL_set1_lastUpdate(crl.get(), now.get());
    X509_CRL_set1_nextUpdate(crl.get(), next.get());
    for (const Bytes& serial : revokedSerials) {
        X509_REVOKED* rev = X509_REVOKED_new();
        std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(
            BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr), BN_free);
        ASN1_INTEGER* asn = BN_to_ASN1_INTEGER(bn.get(), nullptr);
        X509_REVOKED_set_serialNumber(rev, asn);
        X509_REVOKED_set_revocationDate(rev, now.get());
        ASN1_INTEGER_free(asn);
        X509_CRL_add0_revoked(crl.get(), rev);
    }
    X509_CRL_sort(crl.get());
    check(X509_CRL_sign(crl.get(), issuerKey, EVP_sha256()) > 0, "CRL signature failed");
    int n = i2d_X509_CRL(crl.get(), nullptr);
    check(n > 0, "cannot encode CRL");
    Bytes out(static_cast<std::size_t>(n));
    unsigned char* p = out.data();
    i2d_X509_CRL(crl.get(), &p);
    return out;
}

Bytes serialOf(X509* cert) {
    std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(ASN1_INTEGER_to_BN(X509_get_serialNumber(cert), nullptr), BN_free);
    check(bn != nullptr, "no serial number");
    Bytes out(static_cast<std::size_t>(BN_num_bytes(bn.get())));
    BN_bn2bin(bn.get(), out.data());
    return out;
}

PkeyPtr rsaPublicKey(const Bytes& modulus, const Bytes& exponent) {
    check(!modulus.empty() && !exponent.empty(), "an RSA public key needs a modulus and an exponent");
    std::unique_ptr<BIGNUM, decltype(&BN_free)> n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr),
                                                  BN_free);
    std::unique_ptr<BIGNUM, decltype(&BN_free)> e(
        BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr), BN_free);
    std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> build(OSSL_PARAM_BLD_new(), OSSL_PARAM_BLD_free);
    check(n && e && build && OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) == 1 &&
              OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) == 1,
          "out of memory");
    std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(OSSL_PARAM_BLD_to_param(build.get()),
                                                                   OSSL_PARAM_free);
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr),
                                                                    EVP_PKEY_CTX_free);
    EVP_PKEY* key = nullptr;
    check(params && ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
              EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) == 1,
          "not an RSA public key");
    return PkeyPtr(key);
}

Bytes publicKeyHash(EVP_PKEY* key) {
    int n = i2d_PUBKEY(key, nullptr);
    check(n > 0, "cannot encode public key");
    Bytes der(static_cast<std::size_t>(n));
    unsigned char* p = der.data();
    i2d_PUBKEY(key, &p);
    Bytes out(SHA_DIGEST_LENGTH);
    SHA1(der.data(), der.size(), out.data());
    return out;
}

}  // namespace qel::sim
