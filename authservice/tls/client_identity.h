#pragma once
// The TLS client identity of the selected card: the certificate and the authentication key of the
// card's token in Sigilla, and nothing else. Other registered PKCS#11 modules are never loaded:
// their tokens may hold pairs of their own, which must neither sign the handshake nor be logged in.
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "authservice/tls/card_key.h"
#include "common/bytes.h"

namespace qel::vek {

/// One certificate and the private key with the same CKA_ID on a token.
struct ClientIdentity {
    std::string module;  ///< the module's file
    std::string tokenLabel;
    std::string tokenSerial;
    std::string tokenManufacturer;
    std::string tokenModel;
    Bytes id;           ///< CKA_ID of the pair
    Bytes certificate;  ///< DER
    /// The token signs with RSA-PSS, which TLS 1.3 requires; a key without it is held to TLS 1.2.
    bool signsPss = false;

    /// The private key's pkcs11: URI (token attributes, id, type), without any PIN: its name in the logs.
    std::string keyUri() const;
};

/// Whether a private key's label names the card's authentication key: the key directory calls it
/// the authentication key on a contact card and the technical key on a contactless one. The
/// signature (non-repudiation) key never is.
bool isAuthenticationKeyLabel(const std::string& label);

/// Whether a token serial is the one Sigilla gives the card of that serial: the card serial's last
/// 16 characters (all of it when shorter). Empty matches nothing.
bool tokenSerialOfCard(const std::string& tokenSerial, const std::string& cardSerial);

/// The module file Sigilla is registered with p11-kit under, read from the registrations (the
/// user's, the system's, then the packages'), without loading any module; empty when Sigilla is
/// not registered.
std::string registeredSigillaModule();

/// Why there is no identity for a card.
enum class IdentityProblem { none, noModule, noToken, notVerified, noAuthenticationKey };

/// A PKCS#11 session on the card's token, with the private key found in it; closed when the last
/// owner lets it go.
struct TokenSession;

/// The authentication pair of a card, or why there is none.
struct CardIdentity {
    std::optional<ClientIdentity> identity;
    IdentityProblem problem = IdentityProblem::noModule;
    /// The session the pair was found in, logged in, ready for the key's first signature.
    std::shared_ptr<TokenSession> session;
};

/// Looks up the authentication pair of the card's token (its card serial) in one module file. The
/// module is loaded and initialised once for the process and never finalised (a login of the
/// process must outlive each lookup). No PIN is ever asked: a token that needs a login is logged in
/// only when its card is verified already (a login without PIN), otherwise its private keys stay
/// hidden and it offers no identity.
CardIdentity findCardIdentity(const std::string& modulePath, const std::string& cardSerial);

/// The signatures of a found identity's private key, made on its token through a session of this
/// process: the lookup's for the first, a new one (the same card's token, the same key) for any
/// later one. A session is closed as soon as its signature is made. Thread-safe.
class TokenSigner final : public CardSigner {
public:
    TokenSigner(std::string modulePath, std::string cardSerial, CardIdentity found);
    ~TokenSigner() override;

    std::optional<Bytes> sign(const CardSignRequest& request) override;

    /// The card changed: the session goes (at once, or when a signature under way ends) and every
    /// later signature is refused. Never waits for the card.
    void drop();

private:
    const std::string modulePath_;
    const std::string cardSerial_;
    const Bytes id_;
    std::atomic<bool> dropped_{false};
    std::mutex mutex_;  // session_, and one signature at a time
    std::shared_ptr<TokenSession> session_;
};

}  // namespace qel::vek
