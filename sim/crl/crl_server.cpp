#include "sim/crl/crl_server.h"

#include <httplib.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

namespace qel::sim {

bool crlFaultFromName(const std::string& name, CrlFault& fault) {
    if (name == "none")
        fault = CrlFault::none;
    else if (name == "404")
        fault = CrlFault::notFound;
    else if (name == "delay")
        fault = CrlFault::delay;
    else if (name == "garbage")
        fault = CrlFault::garbage;
    else if (name == "badsig")
        fault = CrlFault::badSignature;
    else
        return false;
    return true;
}

void installCrlRoutes(httplib::Server& server, const CrlServerOptions& options, std::atomic<CrlFault>& fault) {
    // Authority names only: letters, digits, '-' and '_' (no path can be made of them).
    server.Get(R"(/crl/([A-Za-z0-9_-]+)\.crl)", [&options, &fault](const httplib::Request& request,
                                                                   httplib::Response& response) {
        const CrlFault now = fault.load();
        if (now == CrlFault::delay) std::this_thread::sleep_for(std::chrono::milliseconds(options.delayMs));
        if (now == CrlFault::notFound) {
            response.status = 404;
            response.set_content("<html><body>404 Not Found</body></html>", "text/html");
            return;
        }
        if (now == CrlFault::garbage) {
            response.set_content("this is not a revocation list\n\x30\x82\xFF\xFF\x02\x01", "application/pkix-crl");
            return;
        }
        std::ifstream in(options.authorityDir + "/crl/" + request.matches[1].str() + ".crl", std::ios::binary);
        if (!in) {
            response.status = 404;
            return;
        }
        std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // The signature is the list's last bytes: one bit changed leaves a well-formed list that its
        // authority never signed.
        if (now == CrlFault::badSignature && !body.empty()) body.back() = static_cast<char>(body.back() ^ 0x01);
        response.set_content(body, "application/pkix-crl");
    });
    server.Get(R"(/control/fault/([a-z0-9]+))", [&fault](const httplib::Request& request, httplib::Response& response) {
        CrlFault wanted;
        if (!crlFaultFromName(request.matches[1].str(), wanted)) {
            response.status = 400;
            response.set_content("unknown fault\n", "text/plain");
            return;
        }
        fault = wanted;
        response.set_content("ok " + request.matches[1].str() + "\n", "text/plain");
    });
}

}  // namespace qel::sim
