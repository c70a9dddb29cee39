#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "card/tlv.h"
#include "common/bytes.h"

namespace qel {

/// One entry of the private-key directory.
struct QELKeyAttribute {
    std::int64_t keyBitSize = 0;  ///< modulus length in bits
    std::string keyLabel;
    std::int64_t keyUsage = 0;  ///< usage flags: bit 1 decipher, bit 2 sign, bit 9 non-repudiation
    std::uint8_t keyNum = 0;    ///< the key's reference on the card
    Bytes KeyID;                ///< links the key to its certificate
};

/// One entry of the certificate directory.
struct QELCertificate {
    std::string certLabel;
    Bytes KeyID;
    Bytes certPath;  ///< the certificate file's path as the directory gives it
};

/// Builds one key entry from a private RSA key object. An object without a label gives an entry with
/// empty values. Nothing (the entry is skipped) when the object has fewer than two child sequences,
/// fewer than three with a label, or a key reference outside 0–255.
std::optional<QELKeyAttribute> keyAttributeFromSequence(const TLVSequence& object);

/// Builds one certificate entry from an X.509 certificate object. Without a label the entry is empty;
/// a missing level on the way to the path leaves the path empty. Nothing (skipped) when the object has
/// fewer than two child sequences.
std::optional<QELCertificate> certificateFromSequence(const TLVSequence& object);

/// Decodes a whole private-key (certificate) directory file; entries that cannot be used are skipped.
std::vector<QELKeyAttribute> decodeKeyDirectory(const Bytes& content);
std::vector<QELCertificate> decodeCertificateDirectory(const Bytes& content);

}  // namespace qel
