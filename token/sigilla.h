#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "card/qel_card.h"
#include "card/smart_card.h"
#include "token/token_objects.h"

namespace qel {

class SigillaSession;
class TokenDriver;

/// The token of one inserted card: it recognises the card, reads its serial and directories, and
/// publishes one certificate item and one private-key item per certificate, in directory order.
/// Keeps its QELCard for its whole life and shares it with its sessions. One caller at a time.
class Sigilla {
public:
    /// Builds the token over a card object on which a session is open. Throws CardError: −8 without
    /// an application identifier or for an unknown (or missing) ATR, −2 when a QEL4's application
    /// cannot be selected, −3 when a certificate cannot be read or is not a certificate.
    Sigilla(SmartCard& smartCard, const std::optional<Bytes>& aid, TokenDriver& driver);

    /// The items published, certificate then key, per certificate.
    const std::vector<TokenObject>& publishedObjects() const { return items_; }
    const std::shared_ptr<QELCard>& card() const { return card_; }
    /// The card serial the token was initialised with (empty when it could not be read).
    const std::string& instanceID() const { return instanceID_; }
    /// "org.oberlane.qel.sigilla:<card serial>".
    std::string tokenID() const;

    /// The key item with this object identifier. Throws CardError(−6, object not found) otherwise.
    const TokenKey& keyForObjectID(const Bytes& objectID) const;

    /// A new session over `smartCard` (normally the token's own card object).
    std::unique_ptr<SigillaSession> createSession(SmartCard& smartCard);
    /// Nothing to release: the session owns nothing of the token.
    void terminateSession(SigillaSession& session);

private:
    std::vector<TokenObject> items_;
    std::shared_ptr<QELCard> card_;
    std::string instanceID_;
};

/// The driver the platform asks for a token when a card it serves is inserted.
class TokenDriver {
public:
    /// The identifier shared by the driver's tokens.
    static constexpr const char* kDriverID = "org.oberlane.qel.sigilla";

    /// Builds the token for the card; throws the token's CardError.
    std::unique_ptr<Sigilla> createTokenForSmartCard(SmartCard& smartCard, const std::optional<Bytes>& aid);
};

/// The token error domain's code for an object identifier that names no item.
inline constexpr int kObjectNotFound = CardError::objectNotFound;

}  // namespace qel
