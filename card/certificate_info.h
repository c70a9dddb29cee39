#pragma once
#include <optional>

#include "common/bytes.h"

namespace qel {

/// What a token publishes about one X.509 certificate: its DER pieces and, for an RSA key, the
/// public numbers (big-endian, no leading zero).
struct CertificateInfo {
    Bytes der;                   ///< the certificate alone, without what followed it in its file
    Bytes subject;               ///< DER Name
    Bytes issuer;                ///< DER Name
    Bytes serialNumber;          ///< DER INTEGER (tag and length included)
    Bytes subjectPublicKeyInfo;  ///< DER SubjectPublicKeyInfo
    Bytes modulus;               ///< empty when the key is not RSA
    Bytes publicExponent;        ///< empty when the key is not RSA
    int keyBits = 0;             ///< modulus length in bits, 0 when not RSA

    /// Whether both RSA public numbers are known.
    bool hasRsaKey() const { return !modulus.empty() && !publicExponent.empty(); }
};

/// Parses exactly one DER certificate. Nothing when the bytes are not one whole certificate
/// (bytes after it included).
std::optional<CertificateInfo> parseCertificate(const Bytes& der);

/// Parses the certificate a card file starts with. Card files are longer than what they hold and
/// go on with filler, so the certificate is cut to the length its own header states. Nothing when
/// that header is malformed or runs past the end of the content, or the element is no certificate.
std::optional<CertificateInfo> parseCertificateFile(const Bytes& fileContent);

}  // namespace qel
