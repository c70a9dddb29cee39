// vek-sim: the authentication service simulator.
//   vek-sim --run-dir DIR --clients AUTHORITY-DIR [--port N] [--admin-port N] [--fault STEP:KIND[=V]]...
// Writes its authority (vek-ca.pem, what clients trust), its server identity and the client
// authorities' bundle into DIR, then the bound ports into DIR/vek-sim.port and DIR/vek-sim.admin-port
// once it accepts connections; stops on SIGTERM or SIGINT.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/card/profile.h"
#include "sim/services/stop_signals.h"
#include "sim/vek/vek_simulator.h"

int main(int argc, char** argv) {
    using namespace qel::sim;
    std::string runDir, clients;
    int port = 0, adminPort = 0;
    std::vector<std::pair<std::string, VekFault>> faults;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            const bool hasValue = i + 1 < argc;
            if (arg == "--run-dir" && hasValue)
                runDir = argv[++i];
            else if (arg == "--clients" && hasValue)
                clients = argv[++i];
            else if (arg == "--port" && hasValue)
                port = std::stoi(argv[++i]);
            else if (arg == "--admin-port" && hasValue)
                adminPort = std::stoi(argv[++i]);
            else if (arg == "--fault" && hasValue) {
                auto fault = parseVekFault(argv[++i]);
                if (!fault) {
                    std::fprintf(stderr, "vek-sim: bad fault %s\n", argv[i]);
                    return 2;
                }
                faults.push_back(*fault);
            } else {
                std::fprintf(stderr,
                             "usage: vek-sim --run-dir DIR --clients AUTHORITY-DIR [--port N] [--admin-port N] "
                             "[--fault STEP:KIND[=V]]...\n");
                return 2;
            }
        }
        if (runDir.empty() || clients.empty()) {
            std::fprintf(stderr, "vek-sim: --run-dir and --clients are required\n");
            return 2;
        }
        const StopSignals stopSignals;

        const std::string bundle = runDir + "/vek-clients-ca.pem";
        writeAuthorityBundle(clients, bundle);
        VekSimulator simulator(makeServiceCredentials(runDir, "vek", "Oberlane Test Authentication Service Authority"),
                               bundle);
        for (const auto& [step, fault] : faults) simulator.setFault(step, fault);
        const auto [bound, admin] = simulator.start(port, adminPort);
        if (bound < 0 || admin < 0) {
            std::fprintf(stderr, "vek-sim: cannot listen on 127.0.0.1:%d (admin %d)\n", port, adminPort);
            return 1;
        }
        writeFileAtomically(runDir + "/vek-sim.admin-port", std::to_string(admin) + "\n");
        writeFileAtomically(runDir + "/vek-sim.port", std::to_string(bound) + "\n");
        std::printf("vek-sim: listening on https://127.0.0.1:%d (admin http://127.0.0.1:%d)\n", bound, admin);
        std::fflush(stdout);
        const int signal = stopSignals.wait();
        simulator.stop();
        std::printf("vek-sim: stopped (signal %d)\n", signal);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vek-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
