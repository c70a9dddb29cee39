#pragma once
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "authservice/api_helper.h"
#include "http/client.h"

namespace qel::vek {

/// Environment variable naming a PEM file of extra authorities trusted for the service's server,
/// beside the system's.
inline constexpr const char* kVekExtraCaVariable = "QEL_VEK_CA_FILE";

/// Sets the card's identity on a transfer for TLS client authentication (see http::ClientIdentity).
/// A failure fails the request with an ErrorResponse (status -1).
using ClientTlsConfigurator = http::ClientIdentity;
using TransferProgress = http::TransferProgress;
using TransferControl = http::TransferControl;
using FormPart = http::FormPart;

/// One HTTP request, ready to go, with its time-out.
struct HttpRequest : http::Request {
    long timeoutMs = 60000;
};

/// What came back.
struct HttpExchange {
    std::optional<http::TransportError> failure;  ///< present when the transfer did not complete
    long statusCode = 0;                          ///< 0: no HTTP response
    std::string url;                              ///< the URL the request was sent to
    std::map<std::string, std::string> headers;   ///< the final response's fields
    std::string body;
};

/// The process-wide HTTP session of the authentication service: an HTTPS session (http::Session) that
/// shares cookies and keeps idle handles with their connections (and their TLS sessions) alive, apart
/// by client identity, plus a few worker threads for asynchronous requests. TLS server verification is
/// always on, with the system's authorities and the extra file of QEL_VEK_CA_FILE. Only HTTPS unless
/// plain HTTP is allowed (tests). Thread-safe.
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
