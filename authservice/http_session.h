#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "authservice/api_helper.h"

// The transfer library's and the TLS library's handles, as their own headers declare them.
typedef void CURL;
typedef struct ssl_ctx_st SSL_CTX;

namespace qel::vek {

/// Environment variable naming a PEM file of extra authorities trusted for the service's server,
/// beside the system's.
inline constexpr const char* kVekExtraCaVariable = "QEL_VEK_CA_FILE";

/// Sets the card's identity on a transfer for TLS client authentication. Called on the transfer's
/// thread: configure() on every handle before it is performed, configureContext() on each TLS context
/// the handle creates (after the trusted authorities are loaded). Returning false stops the request,
/// which then fails with an ErrorResponse (status -1). Every option configure() sets is cleared after
/// the transfer. libcurl cannot see what configureContext() puts in the context, and would reuse a
/// kept connection for any request: the session keeps connections apart by connectionKey().
class ClientTlsConfigurator {
public:
    virtual ~ClientTlsConfigurator() = default;
    virtual bool configure(CURL* handle) = 0;
    virtual bool configureContext(SSL_CTX* context) { return true; }
    /// The identity the next connection would carry (the card and its key), read before each
    /// request: a connection is reused only by requests of the same identity, since the server
    /// knows the client by the certificate of the connection's handshake, not of the request.
    virtual std::string connectionKey() { return {}; }
    /// Read after a failed transfer, on its thread: whether the client's key failed to sign the
    /// handshake (a card pulled or replaced during it). The request then fails as a client
    /// certificate problem (CURLE_SSL_CERTPROBLEM), as it does when there is no identity at all.
    virtual bool clientKeyFailed() { return false; }
};

/// How far a transfer has come; updated on the transfer's thread, readable from any.
struct TransferProgress {
    std::atomic<std::int64_t> bytesSent{0};
    std::atomic<std::int64_t> totalToSend{0};
    std::atomic<std::int64_t> bytesReceived{0};
    std::atomic<std::int64_t> totalToReceive{0};
};

/// One part of a multipart form body.
struct FormPart {
    std::string name;
    std::string data;
    std::optional<std::string> fileName;  ///< present for a file part
    std::string contentType;              ///< file parts only; "application/octet-stream" when empty
};

/// One HTTP request, ready to go.
struct HttpRequest {
    std::string method;
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;  ///< in the order they are sent
    std::optional<std::string> body;
    std::vector<FormPart> formParts;  ///< a multipart body instead of `body` when not empty
    long timeoutMs = 60000;
};

/// What came back.
struct HttpExchange {
    int curlCode = 0;                            ///< CURLE_OK when the transfer completed
    std::string errorText;                       ///< the transfer's error, when it failed
    long statusCode = 0;                         ///< 0: no HTTP response
    std::string url;                             ///< the URL the request was sent to
    std::map<std::string, std::string> headers;  ///< the final response's fields
    std::string body;
};

/// Shared between a request's owner and its transfer: cancellation and progress.
struct TransferControl {
    std::atomic<bool> cancelled{false};
    std::shared_ptr<TransferProgress> progress = std::make_shared<TransferProgress>();
};

/// The process-wide HTTP session of the authentication service: one libcurl share (cookies, DNS) and a
/// pool of transfer handles that keep their connections (and their TLS sessions) alive, one pool per
/// client identity, plus a few worker threads for asynchronous requests. TLS server verification is always on, with the
/// system's authorities and the extra file of QEL_VEK_CA_FILE. Only HTTPS unless plain HTTP is allowed (tests).
/// Thread-safe.
class HttpSession {
public:
    static HttpSession& shared();

    /// Sends the request on the calling thread and waits for the answer. Never throws.
    HttpExchange perform(const HttpRequest& request, const std::shared_ptr<TransferControl>& control);

    /// Runs the job on one of the session's worker threads; dropped once the session has shut down.
    void submit(std::function<void()> job);

    /// Aborts the transfers under way and returns once the workers have ended, so that no completion
    /// reaches a main queue the program is about to destroy. Requests sent later fail at once.
    void shutdown();

    /// The card's identity for TLS client authentication; null removes it.
    void setClientTlsConfigurator(std::shared_ptr<ClientTlsConfigurator> configurator);
    /// The same with a function called on each handle.
    void setClientTlsConfigurator(std::function<bool(CURL*)> configure);

    /// Ends every kept connection and TLS session and forgets every cookie: the card changed. A
    /// transfer under way finishes, and its connection is closed afterwards.
    void dropConnections();

    /// Extra authorities (PEM file) beside the system's; empty: the system's only. Starts as
    /// $QEL_VEK_CA_FILE.
    void setExtraCaFile(const std::string& path);
    std::string extraCaFile() const;

    /// Tests: allows plain HTTP URLs (loopback servers without TLS).
    void setAllowPlainHttp(bool allow);

    /// Bodies larger than this fail the request (transfer error).
    static constexpr std::size_t kMaxBodyBytes = 16u << 20;

    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

private:
    HttpSession();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qel::vek
