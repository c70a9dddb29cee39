#include "management/trust/authority_store.h"

#include <openssl/x509.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "common/logger.h"

#ifndef QEL_AUTHORITY_INSTALL_DIR
#define QEL_AUTHORITY_INSTALL_DIR "/usr/share/kartello/authorities"
#endif

namespace qel {

std::string authorityDirectory() {
    const char* dir = std::getenv("QEL_AUTHORITY_DIR");
    return dir && dir[0] ? dir : QEL_AUTHORITY_INSTALL_DIR;
}

Bytes derOfName(const X509_NAME* name) {
    if (!name) return {};
    unsigned char* out = nullptr;
    const int length = i2d_X509_NAME(name, &out);
    if (length <= 0 || !out) return {};
    Bytes der(out, out + length);
    OPENSSL_free(out);
    return der;
}

std::vector<AuthorityCertificate> loadAuthorities(const std::string& directory) {
    std::vector<AuthorityCertificate> authorities;
    for (const std::string& name : authorityResourceNames()) {
        const std::string path = directory + "/" + name + ".cer";
        std::ifstream in(path, std::ios::binary);
        Bytes der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const unsigned char* p = der.data();
        X509* parsed = der.empty() ? nullptr : d2i_X509(nullptr, &p, static_cast<long>(der.size()));
        if (!parsed) {
            logError("Certificat d'autorité absent ou illisible : " + path);
            continue;
        }
        AuthorityCertificate authority;
        authority.resourceName = name;
        authority.certificate.reset(parsed, X509_free);
        authority.der = std::move(der);
        authority.subject = derOfName(X509_get_subject_name(parsed));
        authority.issuer = derOfName(X509_get_issuer_name(parsed));
        authorities.push_back(std::move(authority));
    }
    return authorities;
}

const AuthorityCertificate* findIssuer(const std::vector<AuthorityCertificate>& authorities, X509* certificate) {
    if (!certificate) return nullptr;
    const Bytes issuer = derOfName(X509_get_issuer_name(certificate));
    for (const auto& authority : authorities) {
        if (authority.subject != issuer) continue;
        EVP_PKEY* key = X509_get0_pubkey(authority.certificate.get());
        // Two authorities may share a name across key renewals: only the key that signed counts.
        if (key && X509_verify(certificate, key) == 1) return &authority;
    }
    return nullptr;
}

}  // namespace qel
