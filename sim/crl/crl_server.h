#pragma once
#include <atomic>
#include <string>

namespace httplib {
class Server;
}

namespace qel::sim {

/// What the server does to the next answers, switched at run time by GET /control/fault/<name>.
enum class CrlFault { none, notFound, delay, garbage, badSignature };

/// The fault of a switch name ("none", "404", "delay", "garbage", "badsig"); false for another name.
bool crlFaultFromName(const std::string& name, CrlFault& fault);

/// Serves <authorityDir>/crl/<name>.crl as GET /crl/<name>.crl.
struct CrlServerOptions {
    std::string authorityDir;
    /// How long a "delay" answer waits: longer than the client's time-out.
    int delayMs = 7000;
};

/// Installs the routes on `server`. `fault` is read on every request.
void installCrlRoutes(httplib::Server& server, const CrlServerOptions& options, std::atomic<CrlFault>& fault);

}  // namespace qel::sim
