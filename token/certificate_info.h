#pragma once
#include <optional>

#include "common/bytes.h"

namespace qel {

/// What the token publishes about an X.509 certificate: its DER pieces and, for an RSA key, the
/// public numbers (big-endian, no leading zero).
struct CertificateInfo {
    Bytes subject;           ///< DER Name
    Bytes issuer;            ///< DER Name
    Bytes serialNumber;      ///< DER INTEGER (tag and length included)
    Bytes subjectPublicKeyInfo;  ///< DER SubjectPublicKeyInfo
    Bytes modulus;           ///< empty when the key is not RSA
    Bytes publicExponent;    ///< empty when the key is not RSA
    int keyBits = 0;         ///< modulus length in bits, 0 when not RSA
};

/// Parses a DER certificate. Nothing when the bytes are not one whole certificate (trailing bytes
/// included), which is what the platform's certificate constructor refuses.
std::optional<CertificateInfo> parseCertificate(const Bytes& der);

}  // namespace qel
