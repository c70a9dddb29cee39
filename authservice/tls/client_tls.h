#pragma once
// TLS of the authentication service's requests: the server is always verified, and the client
// authenticates with the selected card's authentication key, which never leaves the card: OpenSSL
// signs the handshake through a PKCS#11 session of our own on the card's token in Sigilla (the
// module the identity comes from, and no other).
#include <mutex>
#include <optional>
#include <string>

#include "authservice/http_session.h"
#include "authservice/tls/client_identity.h"

namespace qel::vek {

/// Where the service's server certificate may come from besides the system's trust store.
struct ClientTlsOptions {
    /// A PEM file of extra authorities (the test service's); empty for none.
    std::string authorityFile;

    /// The options of this process: the authority file in $QEL_VEK_CA_FILE, when set.
    static ClientTlsOptions fromEnvironment();
};

/// The card whose authentication key signs the service's handshakes from now on, by the card serial
/// read from it (empty: no card, every request fails before it leaves), and the end of the kept
/// connections, TLS sessions and cookies of the service's HTTP session and of the previous card's
/// key sessions: the previous card's authenticated connections must carry no later request, and its
/// key signs no later handshake. Called whenever the selected card may have changed (a token
/// inserted or removed, another reader selected). Thread-safe; never waits for a card.
void selectCard(const std::string& cardSerial);
/// The card selectCard() named last.
std::string selectedCard();

/// What the last handshake prepared by a ClientTls used, for the logs and the tests.
struct PreparedIdentity {
    std::string module;
    std::string tokenLabel;
    Bytes id;
    bool tls13Allowed = false;
};

/// Prepares libcurl handles for the service: verification of the server by the system's trust store
/// plus the configured authorities, and, for every new connection, the authentication key of the
/// selected card's token in Sigilla. Without one (no card, no such token, a card not verified, no
/// authentication key) the request fails before the handshake (CURLE_SSL_CERTPROBLEM), which the
/// sign-in flow reports as a card access error. Never asks for a PIN and keeps none. Safe to use
/// from several threads; the object must outlive the handles it prepared.
class ClientTls {
public:
    explicit ClientTls(ClientTlsOptions options = ClientTlsOptions::fromEnvironment());

    /// Everything on a handle of its own: server verification, no TLS session reuse (a resumed
    /// session would carry the identity of a card that may have left), and a TLS context callback
    /// that adds the authorities and then the identity. False (and logged) when libcurl refuses
    /// an option.
    bool configure(CURL* curl);

    /// The part for a handle whose TLS context callback belongs to someone else (the service's
    /// HTTP session, which loads the authorities itself): verification and no session reuse.
    bool prepareHandle(CURL* curl);
    /// The selected card's identity on a new connection's SSL_CTX; false (and logged) when there is
    /// none or it cannot be set.
    bool prepareContext(void* sslContext);

    /// The identity of the latest connection this object prepared; none when it had none.
    std::optional<PreparedIdentity> lastIdentity() const;

    /// The configured authorities added to a context's store. False when the file is unreadable.
    bool addAuthorities(void* sslContext) const;

private:
    ClientTlsOptions options_;
    mutable std::mutex mutex_;  // last_
    std::optional<PreparedIdentity> last_;
};

/// The card's identity for the service's HTTP session (HttpSession::setClientTlsConfigurator), set
/// once at the program's start; the session loads the authorities itself.
class CardClientTls final : public ClientTlsConfigurator {
public:
    bool configure(CURL* handle) override;
    bool configureContext(SSL_CTX* context) override { return tls_.prepareContext(context); }
    /// The card's key refused the handshake's signature (the card was pulled or replaced meanwhile).
    bool clientKeyFailed() override;
    /// The selected card: its key is fixed, so its serial names the identity of its connections.
    std::string connectionKey() override { return selectedCard(); }
    std::optional<PreparedIdentity> lastIdentity() const { return tls_.lastIdentity(); }

private:
    ClientTls tls_{ClientTlsOptions{}};
};

}  // namespace qel::vek
