#include "sim/services/service_credentials.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "sim/card/x509_builder.h"

namespace qel::sim {

namespace {

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("service authority: ") + what);
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    check(ext != nullptr, "extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

X509Ptr makeCertificate(const char* commonName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, bool ca) {
    X509Ptr cert(X509_new());
    check(cert != nullptr, "certificate");
    X509_set_version(cert.get(), 2);
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7F;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -86400);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 86400);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Oberlane Test"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509_set_pubkey(cert.get(), key);
    X509* signer = issuer ? issuer : cert.get();
    if (ca) {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
        addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        addExtension(cert.get(), signer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    }
    addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    check(X509_sign(cert.get(), issuerKey, EVP_sha256()) > 0, "signature");
    return cert;
}

void writePem(X509* cert, const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "w"), &std::fclose);
    check(f != nullptr && PEM_write_X509(f.get(), cert) == 1, "writing a certificate");
}

}  // namespace

ServiceCredentials makeServiceCredentials(const std::string& dir, const std::string& name,
                                          const std::string& authorityName) {
    PkeyPtr caKey = generateRsaKey(2048);
    X509Ptr ca = makeCertificate(authorityName.c_str(), caKey.get(), nullptr, caKey.get(), true);
    PkeyPtr serverKey = generateRsaKey(2048);
    X509Ptr server = makeCertificate("localhost", serverKey.get(), ca.get(), caKey.get(), false);
    ServiceCredentials out{dir + "/" + name + "-ca.pem", dir + "/" + name + "-server.pem",
                           dir + "/" + name + "-server.key"};
    writePem(ca.get(), out.caFile);
    writePem(server.get(), out.certificate);
    writePemKey(serverKey.get(), out.privateKey);
    chmod(out.privateKey.c_str(), 0600);
    return out;
}

}  // namespace qel::sim
