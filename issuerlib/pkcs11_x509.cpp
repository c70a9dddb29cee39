#include "issuerlib/pkcs11_x509.h"

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <ctime>

#include "common/format.h"

namespace qel {
namespace {

std::string commonName(const X509_NAME* name) {
    if (!name) return {};
    int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (index < 0) return {};
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, data);
    if (length < 0 || !utf8) return {};
    std::string text(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

std::string displayDate(const ASN1_TIME* time) {
    std::tm utc{};
    if (!time || ASN1_TIME_to_tm(time, &utc) != 1) return {};
    // Shown as the desktop shows dates: in the user's time zone.
    std::time_t seconds = timegm(&utc);
    std::tm local{};
    if (!localtime_r(&seconds, &local)) return {};
    return format("%02d/%02d/%04d", local.tm_mday, local.tm_mon + 1, local.tm_year + 1900);
}

}  // namespace

Pkcs11X509::Pkcs11X509(std::optional<Bytes> der, std::optional<Bytes> id, std::optional<std::string> label,
                       bool isAuthCert)
    : derValue(std::move(der)), certId(std::move(id)), certName(std::move(label)), authCert(isAuthCert) {
    if (derValue && !derValue->empty()) {
        const unsigned char* p = derValue->data();
        X509* cert = d2i_X509(nullptr, &p, static_cast<long>(derValue->size()));
        if (cert) secCert_.reset(cert, X509_free);
    }
}

std::string Pkcs11X509::subjectCommonName() const {
    return secCert_ ? commonName(X509_get_subject_name(secCert_.get())) : std::string();
}

std::string Pkcs11X509::issuerCommonName() const {
    return secCert_ ? commonName(X509_get_issuer_name(secCert_.get())) : std::string();
}

std::string Pkcs11X509::notBeforeText() const {
    return secCert_ ? displayDate(X509_get0_notBefore(secCert_.get())) : std::string();
}

std::string Pkcs11X509::notAfterText() const {
    return secCert_ ? displayDate(X509_get0_notAfter(secCert_.get())) : std::string();
}

}  // namespace qel
