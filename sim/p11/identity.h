#pragma once
#include <optional>
#include <string>

#include "common/bytes.h"
#include "sim/p11/card_backend.h"

namespace qel::simp11 {

/// What names a card in the token information.
struct CardIdentity {
    std::string generation;  ///< "QEL3", "QEL4"
    std::string cardNumber;  ///< ten digits
    char checkCharacter = '?';
    char labelCharacter = '?';
    bool testCard = false;

    /// "<generation>-<card number><label character>", for example QEL3-1234567890Z.
    std::string tokenLabel() const;
    /// "<card number><check character>".
    std::string tokenSerial() const;
};

/// The card-info file (3F00 0003 D000): 80 generation, 81 card number, 82 check character,
/// 83 label character, 84 flags (bit 0: test card). Nothing when a field is missing or malformed.
std::optional<CardIdentity> parseCardInfo(const Bytes& content);

/// The card number of the serial file (first element: 80 25 00 00 01 + five BCD bytes).
std::optional<std::string> cardNumberFromSerialFile(const Bytes& content);

/// Identity of a card without a card-info file: the check and label characters are derived from
/// the number so that the same card always gets the same token serial.
CardIdentity identityWithoutCardInfo(CardGeneration generation, const std::string& cardNumber);

}  // namespace qel::simp11
