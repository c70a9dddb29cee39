#pragma once
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/bytes.h"

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;

namespace qel::sim {

struct PkeyFree {
    void operator()(EVP_PKEY* k) const;
};
struct X509Free {
    void operator()(X509* c) const;
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

/// A fresh RSA key (public exponent 65537). Throws std::runtime_error.
PkeyPtr generateRsaKey(int bits);
PkeyPtr readPemKey(const std::string& path);
void writePemKey(EVP_PKEY* key, const std::string& path);
X509Ptr readDerCertificate(const std::string& path);
Bytes derOf(X509* cert);

/// What a new certificate says. Names are (attribute, value) pairs in order, such as ("CN", ...).
struct CertificateRequest {
    std::vector<std::pair<std::string, std::string>> subject;
    std::string notBefore;  ///< yyyyMMddHHmmssZ
    std::string notAfter;
    bool ca = false;
    std::string keyUsage;          ///< OpenSSL configuration text, e.g. "critical,nonRepudiation"
    std::string extendedKeyUsage;  ///< empty for none
    std::vector<std::string> crlUrls;
};

/// Builds and signs a certificate for `subjectKey`; self-signed when `issuer` is null (then
/// `issuerKey` is the subject's own key). SHA-256 signature, random positive 128-bit serial.
X509Ptr issueCertificate(const CertificateRequest& request, EVP_PKEY* subjectKey, X509* issuer, EVP_PKEY* issuerKey);

/// A DER certificate revocation list of `issuer`, listing the given serial numbers (big-endian
/// bytes), valid from now for `days` days.
Bytes makeCrl(X509* issuer, EVP_PKEY* issuerKey, const std::vector<Bytes>& revokedSerials, int days);

/// The serial number of a certificate as big-endian bytes.
Bytes serialOf(X509* cert);

/// An RSA public key from its modulus and public exponent (unsigned big-endian). Throws
/// std::runtime_error.
PkeyPtr rsaPublicKey(const Bytes& modulus, const Bytes& exponent);

/// SHA-1 over the DER public key of a key.
Bytes publicKeyHash(EVP_PKEY* key);

}  // namespace qel::sim
