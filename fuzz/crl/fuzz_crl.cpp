// The bytes as a revocation list of a fixed authority, and as a certificate whose serial and
// distribution point the check reads.
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>

#include "management/revocation/crl_lookup.h"

namespace {

X509* authority() {
    static X509* cert = [] {
        EVP_PKEY* key = EVP_RSA_gen(1024);
        X509* c = X509_new();
        X509_set_version(c, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(c), 1);
        X509_NAME* name = X509_get_subject_name(c);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("ACI-FUZZ"), -1, -1,
                                   0);
        X509_set_issuer_name(c, name);
        X509_gmtime_adj(X509_getm_notBefore(c), 0);
        X509_gmtime_adj(X509_getm_notAfter(c), 3600);
        X509_set_pubkey(c, key);
        X509_sign(c, key, EVP_sha256());
        EVP_PKEY_free(key);
        return c;
    }();
    return cert;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const qel::Bytes bytes(data, data + size);
    qel::lookupSerial(bytes, qel::Bytes{0x12, 0x34}, authority());
    const unsigned char* p = data;
    if (X509* cert = d2i_X509(nullptr, &p, static_cast<long>(size))) {
        qel::serialBytes(cert);
        qel::crlDistributionPoint(cert);
        X509_free(cert);
    }
    return 0;
}
