#pragma once
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "update/apdu_command.h"

namespace qel {

namespace http {
class Session;
struct Exchange;
}  // namespace http

/// The issuer's update service.
inline constexpr const char* kDefaultTmajBaseAddress = "https://e-services.oberlane.org";
/// Overrides the base address (tests, staging): scheme and host, optionally a port, no trailing "/".
inline constexpr const char* kTmajBaseAddressVariable = "QEL_TMAJ_BASE_URL";
/// A PEM file of extra certificate authorities trusted for the update service, beside the system's.
inline constexpr const char* kTmajExtraCaVariable = "QEL_TMAJ_CA_FILE";

/// Where the update service is and which extra authorities vouch for it.
struct TmajEndpoint {
    std::string baseAddress = kDefaultTmajBaseAddress;
    std::string extraCaFile;  ///< empty: the system's authorities only
};

/// The default endpoint with the environment's overrides applied.
TmajEndpoint tmajEndpointFromEnvironment();

/// What the availability check found out.
enum class TmajAvailability {
    updateAvailable,
    upToDate,
    checkFailed,  ///< no answer, or not one that says either
};

/// The outcome of an availability check, with what went wrong when it failed.
struct TmajCheck {
    TmajAvailability availability = TmajAvailability::updateAvailable;
    /// For a failed check: the HTTP status the service answered (0 when no answer came) and the
    /// transport's or the answer's fault, as logged.
    long httpStatus = 0;
    std::string failure;
};

/// The update session's view of the service: the two blocking requests below the session root. A
/// stop request on `stop` ends the request under way at once, as a failure: the update wizard's
/// cancel need not wait for a slow service.
class TmajClient {
public:
    virtual ~TmajClient() = default;
    /// GET root + path + "/" + each argument. The decoded command list; empty on any failure (logged).
    virtual ApduList getRequest(const std::string& path, const std::vector<std::string>& arguments,
                                std::stop_token stop = {}) = 0;
    /// POST root + path with {inputParams, cardnum}. The decoded command list; empty on any failure.
    virtual ApduList postRequest(const std::string& path, const ApduList& inputParams, const std::string& cardnum,
                                 std::stop_token stop = {}) = 0;
};

/// The client of the update service: availability check and the session's requests, all over one
/// HTTPS client with one shared cookie store, so that the cookies set by the check go back with every
/// request of the session. TLS server verification is always on.
///
/// Every operation blocks its caller for at most `requestTimeoutMs` and may be called from any thread,
/// several at a time. Nothing throws.
class TmajManager final : public TmajClient {
public:
    static constexpr const char* kCheckPath = "/sc/check";
    static constexpr const char* kSessionRoot = "/telemaj/rest/swtmaj";

    explicit TmajManager(TmajEndpoint endpoint = tmajEndpointFromEnvironment());
    ~TmajManager() override;
    TmajManager(const TmajManager&) = delete;
    TmajManager& operator=(const TmajManager&) = delete;

    /// The program's instance, made on first use from the environment. Only programs' main files use
    /// it; everything else receives the instance.
    static TmajManager& shared();

    /// Whether an update waits for the card with that serial.
    TmajAvailability checkTmaj(const std::string& serial) { return check(serial).availability; }
    /// The same check, telling why it failed.
    TmajCheck check(const std::string& serial);

    ApduList getRequest(const std::string& path, const std::vector<std::string>& arguments,
                        std::stop_token stop = {}) override;
    ApduList postRequest(const std::string& path, const ApduList& inputParams, const std::string& cardnum,
                         std::stop_token stop = {}) override;

    /// Empties the shared cookie store: done at each check; a session that ends calls it too, so
    /// that its cookies never go with a later card's requests.
    void clearCookies();

    /// The cookie store's lines (Netscape format) taken at the last check that announced an update.
    std::optional<std::vector<std::string>> cookies() const;

    const TmajEndpoint& endpoint() const { return endpoint_; }

    long requestTimeoutMs = 10000;

private:
    http::Exchange exchange(const std::string& method, const std::string& url, const std::string* body,
                            bool jsonHeaders, const std::stop_token& stop);

    TmajEndpoint endpoint_;
    std::unique_ptr<http::Session> session_;
    mutable std::mutex cookiesMutex_;
    std::optional<std::vector<std::string>> cookies_;
};

}  // namespace qel
