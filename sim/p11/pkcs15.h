#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "common/bytes.h"

namespace qel::simp11 {

/// One entry of the card's private-key directory.
struct KeyEntry {
    std::string label;
    Bytes id;
    std::uint8_t reference = 0;
    std::uint32_t usage = 0;  ///< named bits: 1 decipher, 2 sign, 9 non-repudiation
    int modulusBits = 0;

    /// Keys that can decipher are the card's authentication keys.
    bool isAuthKey() const { return (usage & 0x02) != 0; }
};

/// One entry of the card's certificate directory.
struct CertificateEntry {
    std::string label;
    Bytes id;
    Bytes path;
};

/// Parse the directories; entries without a label, or too short to hold an identifier, are left out.
/// Malformed bytes give the entries read before them.
std::vector<KeyEntry> parsePrivateKeyDirectory(const Bytes& content);
std::vector<CertificateEntry> parseCertificateDirectory(const Bytes& content);

}  // namespace qel::simp11
