#pragma once
// TLS of the authentication service's requests: the server is always verified, and the client
// authenticates with the card's key, which never leaves the card: OpenSSL signs the handshake
// through PKCS#11 (the pkcs11 engine over the p11-kit proxy, so over the same registered modules
// that the identities come from).
#include <mutex>
#include <optional>
#include <string>

#include "authservice/tls/client_identity.h"

typedef void CURL;

namespace qel::vek {

/// Where the service's server certificate may come from besides the system's trust store.
struct ClientTlsOptions {
    /// A PEM file of extra authorities (the test service's); empty for none.
    std::string authorityFile;

    /// The options of this process: the authority file in $QEL_VEK_CA_FILE, when set.
    static ClientTlsOptions fromEnvironment();
};

/// What the last handshake prepared by a ClientTls used, for the logs and the tests.
struct PreparedIdentity {
    std::string module;
    std::string tokenLabel;
    Bytes id;
    bool tls13Allowed = false;
};

/// Prepares libcurl handles for the service: verification of the server by the system's trust store
/// plus the configured authorities, and, for every new connection, the card identity chosen from
/// the registered modules (none: the handshake goes on without a certificate and the server
/// decides). Never asks for a PIN and keeps none. Safe to use from several threads; the object must
/// outlive the handles it prepared.
class ClientTls {
public:
    explicit ClientTls(ClientTlsOptions options = ClientTlsOptions::fromEnvironment());

    /// Sets the handle's TLS options. False (and logged) when libcurl refuses one of them.
    bool configure(CURL* curl);

    /// The identity of the latest connection this object prepared; none when it had none.
    std::optional<PreparedIdentity> lastIdentity() const;

    /// Called by libcurl with the connection's SSL_CTX: the authorities, then the identity.
    /// Returns a CURLcode.
    int prepareContext(void* sslContext);

private:
    ClientTlsOptions options_;
    mutable std::mutex mutex_;  // last_
    std::optional<PreparedIdentity> last_;
};

}  // namespace qel::vek
