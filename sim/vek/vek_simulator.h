#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/services/server_thread.h"
#include "sim/services/service_credentials.h"

namespace httplib {
class Server;
class SSLServer;
}  // namespace httplib

namespace qel::sim {

/// How the operations misbehave, switched by "STEP:KIND[=VALUE]" with STEP one of pending,
/// codeState, challenges, verify, cardResponse, logoutAll, or * for every one of them.
struct VekFault {
    std::string businessCode;  ///< business=CODE: 400 with an error body carrying that code
    bool notJson = false;      ///< not-json: 502 with an HTML body
    int status = 0;            ///< status=N: that status with a JSON error body
    bool emptyCodes = false;   ///< empty-codes: the code challenge answers an empty set
    int delayMs = 0;           ///< delay=MS: waits before answering
};

/// Parses "STEP:KIND[=VALUE]" (KIND: business=CODE, not-json, status=N, empty-codes, delay=MS);
/// nothing on a malformed text.
std::optional<std::pair<std::string, VekFault>> parseVekFault(const std::string& text);

/// One sign-in request waiting for a holder, as the service lists it.
struct VekPendingRequest {
    std::string idNat;  ///< the holder's national identifier
    std::string notificationId;
    std::string serviceName;
    std::string serviceMessage;
    std::vector<std::string> codes;  ///< the three codes, once challenged; the first is the right one
    std::string verifiedCode;        ///< the code the holder had verified
    /// The three codes the challenge answers, when the test chose them; drawn at random otherwise.
    std::vector<std::string> chosenCodes;
};

/// Three distinct codes of three digits each, as a test may choose them for a request.
bool validChosenCodes(const std::vector<std::string>& codes);

/// The authentication service on loopback HTTPS. Every connection must present a client
/// certificate of the configured authorities; the holder it names (subject serialNumber) must be
/// the "X-Authenticated-User" of the requests that carry one. Each request is logged with the
/// holder's certificate and the TLS parameters of the connection.
///
/// A second, plain HTTP loopback server is for the tests: POST /admin/request (JSON: idNat,
/// notificationId, serviceName, serviceMessage, optional codes: the three codes its challenge answers,
/// the right one first), POST /admin/fault (a fault text), POST
/// /admin/clear-faults, POST /admin/clear (faults and requests), POST /admin/code-state ("true"/"false"), GET
/// /admin/received (JSON: the card responses with their authStatus and verified code, the holders logged out, the
/// pending requests with their codes).
class VekSimulator {
public:
    /// `clientAuthorities`: PEM file of the authorities whose certificates may connect.
    VekSimulator(const ServiceCredentials& credentials, const std::string& clientAuthorities);
    ~VekSimulator();

    /// Serves on 127.0.0.1 (0: any free port). Returns {service port, admin port}, -1 when a port
    /// cannot be bound.
    std::pair<int, int> start(int port = 0, int adminPort = 0);
    void stop();

    void setFault(const std::string& step, const VekFault& fault);
    void clearFaults();
    void addRequest(const VekPendingRequest& request);

private:
    void installService();
    void installAdmin();
    std::optional<VekFault> fault(const std::string& step);

    std::unique_ptr<httplib::SSLServer> service_;
    std::unique_ptr<httplib::Server> admin_;
    ServerThread serviceThread_;
    ServerThread adminThread_;

    std::mutex mutex_;  // everything below
    std::map<std::string, VekFault> faults_;
    bool codeEnabled_ = true;
    std::vector<VekPendingRequest> pending_;
    std::vector<std::string> cardResponses_;  ///< JSON objects, in order received
    std::vector<std::string> loggedOut_;      ///< idNat of each logout-all
    unsigned challengeCount_ = 0;
};

/// Writes every certificate of `folder` (DER or PEM, *.cer, *.crt, *.pem) into one PEM file.
/// Throws std::runtime_error when none can be read.
void writeAuthorityBundle(const std::string& folder, const std::string& pemFile);

}  // namespace qel::sim
