#pragma once
#include <openssl/types.h>

#include <memory>
#include <optional>
#include <string>

#include "common/bytes.h"

namespace qel {

/// Label of the card's technical (authentication) certificate.
inline constexpr const char* kTechnicalCertificateLabel = "Certificat Technique QEL";
/// Label of the card's signature certificate.
inline constexpr const char* kSignatureCertificateLabel = "Certificat de Signature QEL";

/// One certificate read from the card.
class Pkcs11X509 {
public:
    /// Builds `secCert` from `der` when the bytes are a certificate.
    Pkcs11X509(std::optional<Bytes> der, std::optional<Bytes> id, std::optional<std::string> label, bool authCert);

    /// CKA_VALUE.
    std::optional<Bytes> derValue;
    /// CKA_ID, which pairs the certificate with its keys.
    std::optional<Bytes> certId;
    /// CKA_LABEL.
    std::optional<std::string> certName;
    /// True when the label contains "Authentification".
    bool authCert = false;

    /// The parsed certificate, or null when `derValue` is not one. Owned by this object.
    X509* secCert() const { return secCert_.get(); }

    /// Common name of the subject / of the issuer; empty when absent.
    std::string subjectCommonName() const;
    std::string issuerCommonName() const;
    /// Validity bounds as "dd/MM/yyyy" in local time; empty when absent.
    std::string notBeforeText() const;
    std::string notAfterText() const;

private:
    std::shared_ptr<X509> secCert_;
};

}  // namespace qel
