#pragma once
#include <optional>

#include "common/bytes.h"

namespace qel::simp11 {

/// What the token publishes of one X.509 certificate: all DER, ready for PKCS#11 attributes.
struct CertificateInfo {
    Bytes der;        ///< the certificate itself, without the file's trailing filler
    Bytes subject;    ///< DER Name
    Bytes issuer;     ///< DER Name
    Bytes serial;     ///< DER INTEGER
    Bytes modulus;    ///< big-endian, no leading zero
    Bytes exponent;
    int modulusBits = 0;
};

/// Decodes a certificate file's content (a DER certificate, possibly followed by filler bytes).
/// Nothing when it is not an RSA certificate.
std::optional<CertificateInfo> decodeCertificate(const Bytes& fileContent);

}  // namespace qel::simp11
