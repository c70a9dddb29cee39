// crl-sim: serves the test authorities' revocation lists on loopback.
//   crl-sim --ca DIR [--port 8081] [--delay-ms 7000]
// GET /crl/<authority>.crl answers <DIR>/crl/<authority>.crl; GET /control/fault/<none|404|delay|
// garbage|badsig> changes what the next answers are. Ends on SIGTERM or SIGINT.
#include <httplib.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "sim/services/stop_signals.h"
#include "sim/crl/crl_server.h"

int main(int argc, char** argv) {
    qel::sim::CrlServerOptions options;
    int port = 8081;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--ca")
            options.authorityDir = argv[i + 1];
        else if (key == "--port")
            port = std::atoi(argv[i + 1]);
        else if (key == "--delay-ms")
            options.delayMs = std::atoi(argv[i + 1]);
        else {
            std::fprintf(stderr, "crl-sim: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    if (options.authorityDir.empty() || port <= 0 || port > 65535) {
        std::fputs("usage: crl-sim --ca DIR [--port 8081] [--delay-ms 7000]\n", stderr);
        return 2;
    }

    // The signals are taken by one thread that stops the server.
    const qel::sim::StopSignals signals;

    httplib::Server server;
    std::atomic<qel::sim::CrlFault> fault{qel::sim::CrlFault::none};
    qel::sim::installCrlRoutes(server, options, fault);
    if (!server.bind_to_port("127.0.0.1", port)) {
        std::fprintf(stderr, "crl-sim: cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    std::thread stopper([&server, &signals] {
        signals.wait();
        server.stop();
    });
    std::printf("crl-sim: serving %s/crl on http://127.0.0.1:%d/crl\n", options.authorityDir.c_str(), port);
    std::fflush(stdout);
    server.listen_after_bind();
    // listen_after_bind also returns when the server fails; wake the stopper then.
    if (stopper.joinable()) {
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
    }
    return 0;
}
