#pragma once
// The suite's one HTTPS client, over libcurl: the update service's, the sign-in service's and the
// revocation lists' clients all send their requests through a Session. It owns what they must not
// each get right on their own: TLS server verification (always on, with the system's authorities
// and an optional extra file), the protocols and redirects allowed, the time-out, the size cap of an
// answer (enforced while it downloads), cancellation, the cookie store, and one error type for a
// transfer that failed. Each client maps that error to its own outcome and log lines.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The transfer library's and the TLS library's handles, as their own headers declare them.
typedef void CURL;
typedef struct ssl_ctx_st SSL_CTX;

namespace qel::http {

/// What a transfer is allowed to do.
struct Policy {
    /// The whole transfer, connection included.
    long timeoutMs = 60000;
    /// The largest answer body; past it the transfer stops and nothing of the body is kept.
    std::size_t maxBodyBytes = 16u << 20;
    /// Redirects followed; 0: a redirect is the answer.
    long maxRedirects = 0;
    /// http:// besides https:// (also after a redirect): revocation lists, loopback test servers.
    bool allowPlainHttp = false;
    /// A PEM file of authorities trusted beside the system's; empty: the system's only.
    std::string extraCaFile;
};

/// Why a transfer ended without a whole answer.
enum class Failure {
    setup,            ///< no transfer handle, or the request could not be set on it
    badAddress,       ///< the URL is malformed or its scheme is not allowed
    unreachable,      ///< the name did not resolve or the connection was refused
    serverUntrusted,  ///< the server's certificate did not verify against the trusted authorities
    authorityFile,    ///< the extra authority file could not be read
    clientIdentity,   ///< the client's TLS identity is missing, or its key did not sign the handshake
    timedOut,
    cancelled,  ///< by the request's owner, or the session was stopped
    tooLarge,   ///< the answer passed Policy::maxBodyBytes
    redirects,  ///< more redirects than allowed
    transfer,   ///< any other fault of the connection or of the server's answer
};

/// A transfer that failed: its kind, libcurl's code, and one line for the log.
struct TransportError {
    Failure kind = Failure::transfer;
    int curlCode = 0;  ///< a CURLcode
    std::string message;
    bool operator==(const TransportError&) const = default;
};

/// One part of a multipart form body.
struct FormPart {
    std::string name;
    std::string data;
    std::optional<std::string> fileName;  ///< present for a file part
    std::string contentType;              ///< file parts only; "application/octet-stream" when empty
};

/// One request. A body goes without Content-Type unless a header names one.
struct Request {
    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;  ///< in the order they are sent
    std::optional<std::string> body;
    std::vector<FormPart> formParts;  ///< a multipart body instead of `body` when not empty
};

/// The answer, as far as it came.
struct Response {
    long status = 0;                             ///< 0: no HTTP response
    std::string url;                             ///< the URL the request was sent to
    std::map<std::string, std::string> headers;  ///< the final response's fields, names as sent
    std::string body;                            ///< empty after a tooLarge failure
};

/// The Content-Type's media type, lower case, without its parameters; empty when there is none.
std::string mediaType(const Response& response);

/// A transfer's outcome: the response as far as it came, and the failure when it did not complete.
struct Exchange {
    Response response;
    std::optional<TransportError> failure;
    bool completed() const { return !failure; }
};

/// How far a transfer has come; updated on the transfer's thread, readable from any.
struct TransferProgress {
    std::atomic<std::int64_t> bytesSent{0};
    std::atomic<std::int64_t> totalToSend{0};
    std::atomic<std::int64_t> bytesReceived{0};
    std::atomic<std::int64_t> totalToReceive{0};
};

/// Shared between a request's owner and its transfer: setting `cancelled` stops the transfer within
/// about a second (Failure::cancelled).
struct TransferControl {
    std::atomic<bool> cancelled{false};
    std::shared_ptr<TransferProgress> progress = std::make_shared<TransferProgress>();
};

/// The client's identity for TLS client authentication, set on a transfer. Called on the transfer's
/// thread: configure() on the handle before it is performed, configureContext() on each TLS context
/// the handle creates (after the trusted authorities are loaded). Returning false stops the request
/// (Failure::clientIdentity). Every option configure() sets is cleared after the transfer. libcurl
/// cannot see what configureContext() puts in the context and would reuse a kept connection for any
/// request: the session keeps connections apart by connectionKey().
class ClientIdentity {
public:
    virtual ~ClientIdentity() = default;
    virtual bool configure(CURL* handle) = 0;
    virtual bool configureContext(SSL_CTX*) { return true; }
    /// The identity the next connection would carry, read before each request: a connection is
    /// reused only by requests of the same identity, since the server knows the client by the
    /// certificate of the connection's handshake, not of the request.
    virtual std::string connectionKey() { return {}; }
    /// Read after a failed transfer, on its thread: whether the client's key failed to sign the
    /// handshake (a card pulled or replaced during it). The request then fails as Failure::clientIdentity.
    virtual bool clientKeyFailed() { return false; }
};

/// Transfers that share one cookie store and name cache, and keep up to `idleHandles` handles (and
/// so their connections and TLS sessions) between transfers, apart by client identity. Thread-safe;
/// nothing throws.
class Session {
public:
    explicit Session(std::size_t idleHandles = 0);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    /// Sends the request on the calling thread and waits for the answer.
    Exchange perform(const Request& request, const Policy& policy, TransferControl* control = nullptr,
                     ClientIdentity* identity = nullptr);

    /// The cookie store's lines (Netscape format).
    std::vector<std::string> cookies();
    /// Forgets every cookie.
    void clearCookies();
    /// Closes every kept connection and forgets every cookie: a transfer under way finishes, and its
    /// connection is closed afterwards.
    void dropConnections();
    /// Stops the transfers under way (Failure::cancelled); later ones fail at once.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// One request on a session of its own, with nothing kept afterwards.
Exchange fetch(const Request& request, const Policy& policy, TransferControl* control = nullptr);

}  // namespace qel::http
