#pragma once
#include <cstdint>
#include <optional>

#include "card/algorithms.h"
#include "card/card_file.h"
#include "card/qel_type.h"
#include "common/bytes.h"

namespace qel {

/// What the card needs to know about a key for an operation: the token's key item carries these.
struct CardKey {
    KeyType type = KeyType::SIGN_KEY;
    std::uint8_t keyNum = 0;  ///< the key's reference on the card
    Algos algos;
};

/// P1, P2 and data of a MANAGE SECURITY ENVIRONMENT.
struct MseParameters {
    std::uint8_t p1 = 0;
    std::uint8_t p2 = 0;
    Bytes data;
};

/// Parameters of one private-key operation on the card.
struct SecParams {
    KeyOp op = KeyOp::SIGN;
    KeyType keyType = KeyType::SIGN_KEY;
    std::uint8_t keyId = 0;  ///< the key's keyNum
    QELType cardType = QELType::UNKNOWN;
    QELFiles files;          ///< the card's file table, for the key directory selection
    KeyAlgorithm algorithm;  ///< the request's algorithm

    /// The security environment for this key and operation on this generation.
    MseParameters mseParameters() const;
    /// The DER DigestInfo prefix of a PKCS#1 v1.5 digest-signature algorithm (SHA-1, -224, -256,
    /// -384, -512); nothing for any other algorithm.
    std::optional<Bytes> digestInfoPrefix() const;
    /// The fourth generation's algorithm reference byte for a signature (0A by default).
    std::uint8_t algorithmReference() const;
};

/// Removes a PKCS#1 v1.5 type 2 padding from a deciphered block: a leading 00 is dropped, and
/// everything up to and including the first 00 separator goes. Anomalies (no 02 block type, fewer
/// than eight padding bytes, no separator) are logged, never reported: without a separator the
/// block comes back as it stands. Never reads outside the block; an empty block gives empty.
Bytes removePkcs1Padding(const Bytes& block);

}  // namespace qel
