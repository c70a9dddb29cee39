#pragma once
#include <cstdint>
#include <optional>
#include <string>

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
    std::string notBefore;       ///< validity start as "YYYYMMDD" (UTC), empty when unreadable
    std::string notAfter;        ///< validity end, likewise
    /// The key usage extension's bits (X509v3_KU_*: 0x80 digitalSignature, 0x40 nonRepudiation,
    /// 0x20 keyEncipherment, 0x10 dataEncipherment, ...); nothing when the certificate has none,
    /// which leaves the key's use unrestricted.
    std::optional<std::uint32_t> keyUsage;
    Bytes checkValue;  ///< the first 3 bytes of the certificate's SHA-1

    /// Whether the key may check signatures / encipher, from the key usage extension.
    bool allowsVerify() const { return !keyUsage || (*keyUsage & 0xC0) != 0; }
    bool allowsEncrypt() const { return !keyUsage || (*keyUsage & 0x30) != 0; }

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
