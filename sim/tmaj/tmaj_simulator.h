#pragma once
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "sim/services/server_thread.h"
#include "sim/tmaj/tmaj_authority.h"
#include "sim/tmaj/tmaj_scripts.h"

namespace httplib {
class SSLServer;
}

namespace qel::sim {

/// How one step misbehaves. Steps: "check", "initIasMajBean", "EstablishSM", "IASMAJ",
/// "initQelMajBean", "QELMAJSequence1", "QELMAJSequence2".
struct TmajFault {
    int status = 0;                ///< answer with this HTTP status instead
    bool wrongMime = false;        ///< the list served as text/html
    bool malformed = false;        ///< a body that is not JSON
    bool missingRespType = false;  ///< an element without "apduRespType"
    int delayMs = 0;               ///< wait before answering
    bool endInside = false;        ///< the end marker followed by another command
    // Hostile answers, each past one of the client's relay limits.
    bool oversize = false;     ///< a valid list whose body passes 1 MiB
    int commands = 0;          ///< a list of that many commands
    bool longCommand = false;  ///< one command longer than ISO 7816 allows
    bool endless = false;      ///< the repeated step never sends the end marker
};

/// Parses "STEP:KIND[=VALUE]" with KIND one of status=N, mime, malformed, no-resp-type, delay=MS,
/// end-inside, oversize, commands=N, long-command, endless. Nothing on a malformed text.
std::optional<std::pair<std::string, TmajFault>> parseTmajFault(const std::string& text);

/// The update service on loopback HTTPS: "/sc/check" and the session below "/telemaj/rest/swtmaj",
/// plus, for the tests, "/admin/fault" (POST a fault text), "/admin/clear" (POST) and "/admin/card"
/// (POST a profile folder to make known). Loopback only.
class TmajSimulator {
public:
    /// `authorityDir`: the test chain that issued the cards' certificates, which renews them.
    TmajSimulator(std::vector<SimCard> cards, const TmajCredentials& credentials, std::string authorityDir = {});
    ~TmajSimulator();

    /// Binds 127.0.0.1 on `port` (0: any free port) and serves on a thread of its own. Returns the
    /// port, or -1 when the port cannot be bound.
    int start(int port = 0);
    void stop();

    void setFault(const std::string& step, const TmajFault& fault);
    void clearFaults();
    TmajScripts& scripts() { return scripts_; }

private:
    void install();
    std::optional<TmajFault> fault(const std::string& step);

    TmajScripts scripts_;
    std::unique_ptr<httplib::SSLServer> server_;
    ServerThread serving_;
    std::mutex mutex_;
    std::map<std::string, TmajFault> faults_;
    /// Session cookie value → token serial of the card it was given for.
    std::map<std::string, std::string> cookies_;
};

}  // namespace qel::sim
