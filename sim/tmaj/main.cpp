// tmaj-sim: the update service simulator.
//   tmaj-sim --run-dir DIR [--port N] [--ca DIR] [--profile DIR]... [--fault STEP:KIND[=VALUE]]...
// Writes its authority (tmaj-ca.pem) and server identity into DIR, then the bound port into
// DIR/tmaj-sim.port once it accepts connections; stops on SIGTERM or SIGINT. --ca names the test
// chain that issued the cards' certificates and renews them; by default the "ca" folder beside the
// first profile, as the profile tool lays out a set.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/card/profile.h"
#include "sim/services/stop_signals.h"
#include "sim/tmaj/tmaj_simulator.h"

int main(int argc, char** argv) {
    using namespace qel::sim;
    std::string runDir, authorityDir;
    int port = 0;
    std::vector<SimCard> cards;
    std::vector<std::pair<std::string, TmajFault>> faults;
    try {
        for (int i = 1; i < argc; ++i) {
            const std::string arg = argv[i];
            const bool hasValue = i + 1 < argc;
            if (arg == "--run-dir" && hasValue)
                runDir = argv[++i];
            else if (arg == "--port" && hasValue)
                port = std::stoi(argv[++i]);
            else if (arg == "--ca" && hasValue)
                authorityDir = argv[++i];
            else if (arg == "--profile" && hasValue) {
                const std::string dir = argv[++i];
                cards.push_back({loadProfile(dir), dir});
            } else if (arg == "--fault" && hasValue) {
                auto fault = parseTmajFault(argv[++i]);
                if (!fault) {
                    std::fprintf(stderr, "tmaj-sim: bad fault %s\n", argv[i]);
                    return 2;
                }
                faults.push_back(*fault);
            } else {
                std::fprintf(stderr,
                             "usage: tmaj-sim --run-dir DIR [--port N] [--ca DIR] [--profile DIR]... [--fault "
                             "STEP:KIND[=V]]...\n");
                return 2;
            }
        }
        if (runDir.empty()) {
            std::fprintf(stderr, "tmaj-sim: --run-dir is required\n");
            return 2;
        }
        if (authorityDir.empty() && !cards.empty()) {
            const auto beside = std::filesystem::path(cards.front().dir).parent_path() / "ca";
            if (std::filesystem::is_directory(beside)) authorityDir = beside.string();
        }
        if (authorityDir.empty()) std::fprintf(stderr, "tmaj-sim: no authority folder, cards cannot be renewed\n");
        const StopSignals stopSignals;

        TmajSimulator simulator(std::move(cards), makeTmajCredentials(runDir), authorityDir);
        for (const auto& [step, fault] : faults) simulator.setFault(step, fault);
        const int bound = simulator.start(port);
        if (bound < 0) {
            std::fprintf(stderr, "tmaj-sim: cannot listen on 127.0.0.1:%d\n", port);
            return 1;
        }
        writeFileAtomically(runDir + "/tmaj-sim.port", std::to_string(bound) + "\n");
        std::printf("tmaj-sim: listening on https://127.0.0.1:%d\n", bound);
        std::fflush(stdout);
        const int signal = stopSignals.wait();
        simulator.stop();
        std::printf("tmaj-sim: stopped (signal %d)\n", signal);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tmaj-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
