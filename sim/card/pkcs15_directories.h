#pragma once
#include <cstdint>
#include <string>

#include "common/bytes.h"

namespace qel::sim {

// The private-key and certificate directories in the card's PKCS#15 layout. Every element keeps a
// one-byte length (below 128) so that the clients' narrow TLV readers and full BER readers agree.

/// Key usage flags as PKCS#15 numbers them (bit 1 decipher, bit 2 sign, bit 5 unwrap, bit 9
/// non-repudiation).
constexpr std::uint16_t kUsageDecipher = 1u << 1, kUsageSign = 1u << 2, kUsageUnwrap = 1u << 5,
                        kUsageNonRepudiation = 1u << 9;

/// A named-bit BIT STRING (DER: trailing zero bits dropped, unused-bits count first).
Bytes namedBitString(std::uint16_t flags);

/// One private RSA key entry: 30 { 30 {label, flags, authId} 30 {KeyID, usage, accessFlags,
/// keyReference} A1 { 30 { 30 {path of the key's folder} modulusBits } } }.
Bytes privateKeyEntry(const std::string& label, const Bytes& keyId, std::uint16_t usage, std::uint8_t keyReference,
                      const Bytes& keyFolderPath, int modulusBits);

/// One X.509 certificate entry: 30 { 30 {label, flags} 30 {KeyID} A1 { 30 { 30 {path} } } }.
Bytes certificateEntry(const std::string& label, const Bytes& keyId, const Bytes& certificatePath);

}  // namespace qel::sim
