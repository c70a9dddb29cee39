#pragma once
#include <optional>

#include "common/bytes.h"

namespace qel::sim {

/// Block cipher of the DESFire mutual authentication, CBC without padding.
/// `aes` false: (3)DES with an 8-byte key (single DES, as two-key 3DES with K1 = K2) or a 16-byte
/// two-key 3DES key, 8-byte blocks. `aes` true: AES-128, 16-byte blocks.
/// Nothing when the key or the data length does not fit.
std::optional<Bytes> desfireCbc(bool aes, bool encrypt, const Bytes& key, const Bytes& iv, const Bytes& data);

/// The block size for the cipher family.
inline std::size_t desfireBlock(bool aes) { return aes ? 16 : 8; }

/// Left rotation by one byte (the DESFire challenge transform).
Bytes rotateLeft(const Bytes& b);

}  // namespace qel::sim
