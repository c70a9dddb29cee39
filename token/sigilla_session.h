#pragma once
#include <memory>
#include <optional>

#include "card/algorithms.h"
#include "card/qel_card.h"
#include "token/token_objects.h"
#include "token/qel_auth_operation.h"

namespace qel {

class Sigilla;

/// A session of a Sigilla token: answers whether a key supports an operation, starts the PIN
/// operation, and signs and deciphers on the card. It uses the token's one card object, so one
/// caller at a time per card.
class SigillaSession {
public:
    SigillaSession(Sigilla& token, SmartCard& smartCard);

    /// Operation codes as TokenOperation numbers them (1 read, 2 sign, 3 decrypt, 4 key exchange;
    /// anything else is unknown and unsupported).
    bool supportsOperation(int operation, const Bytes& keyObjectID, const KeyAlgorithm& algorithm);

    /// Checks the PIN state before the user is asked: a blocked card throws CardError(−2) and no
    /// PIN is to be asked. Transport errors are passed on.
    std::unique_ptr<QELAuthOperation> beginAuthForOperation(int operation, Constraint constraint);

    /// Whether the card's PIN is verified now, by whichever application shares the card. Transport
    /// errors are passed on.
    bool cardAlreadyVerified();

    /// Signs a digest (or a PSS hash) with the key. Throws CardError: −8 when the token has no items
    /// or the key refuses the algorithm (before any command), −6 for an unknown key, the card's
    /// errors otherwise; transport errors pass through.
    Bytes signData(const Bytes& data, const Bytes& keyObjectID, const KeyAlgorithm& algorithm);
    /// Deciphers a cryptogram with the key; same errors as signData.
    Bytes decryptData(const Bytes& data, const Bytes& keyObjectID, const KeyAlgorithm& algorithm);
    /// The card has no key exchange: always throws CardError(−1).
    Bytes performKeyExchange(const Bytes& publicKey, const Bytes& keyObjectID, const KeyAlgorithm& algorithm);

    /// Declared by the token framework's sessions; never set.
    std::optional<Bytes> updateInfo;

private:
    void takeCardForOperation();

    Sigilla& token_;
    std::shared_ptr<QELCard> card_;
    SmartCard& smartCard_;
};

}  // namespace qel
