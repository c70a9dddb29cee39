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

/// The error a decipherment whose padding is wrong fails with: the status word a card gives for a
/// cryptogram it cannot use, so that the token's boundary answers it as an invalid cryptogram.
inline constexpr int kBadPaddingStatus = 0x6A80;

/// Removes a PKCS#1 v1.5 type 2 padding from a deciphered block: an optional leading 00, the type
/// byte 02, at least eight non-zero padding bytes, a 00 separator, then the message, which is
/// returned. The check takes the same time whatever the block holds; any bad block (too short, another
/// type, too little padding, no separator) throws CardError(kBadPaddingStatus) after one and the
/// same error line. Never reads outside the block.
Bytes removePkcs1Padding(const Bytes& block);

}  // namespace qel
