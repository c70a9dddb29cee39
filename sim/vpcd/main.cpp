// qelcard-sim: the virtual QEL cards in pcscd's virtual readers, driven by qelcard-ctl.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "common/logger.h"
#include "sim/vpcd/sim_daemon.h"

namespace {

qel::sim::SimDaemon* g_daemon = nullptr;

void onSignal(int) {
    if (g_daemon) g_daemon->requestStop();
}

const char* kUsage =
    "usage: qelcard-sim --run-dir DIR [--contact PROFILE] [--contactless PROFILE]\n"
    "                   [--host ADDRESS] [--contact-port N] [--contactless-port N]\n"
    "                   [--contact-reader NAME] [--contactless-reader NAME] [--no-confirm]\n"
    "                   [--lock-dir DIR]\n"
    "Connects virtual cards to pcscd's virtual readers; control it with qelcard-ctl.\n";

bool parsePort(const char* text, std::uint16_t& port) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (!*text || *end || value <= 0 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

std::string absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

}  // namespace

int main(int argc, char** argv) {
    qel::sim::SimDaemonOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::cerr << "qelcard-sim: " << arg << " needs a value\n" << kUsage;
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--run-dir")
            options.runDir = absolute(value());
        else if (arg == "--contact")
            options.contactProfile = absolute(value());
        else if (arg == "--contactless")
            options.contactlessProfile = absolute(value());
        else if (arg == "--host")
            options.host = value();
        else if (arg == "--contact-reader")
            options.contactReader = value();
        else if (arg == "--contactless-reader")
            options.contactlessReader = value();
        else if (arg == "--lock-dir")
            options.lockDir = absolute(value());
        else if (arg == "--no-confirm")
            options.confirmTimeout = std::chrono::milliseconds(0);
        else if (arg == "--contact-port" || arg == "--contactless-port") {
            std::uint16_t& port = arg == "--contact-port" ? options.contactPort : options.contactlessPort;
            if (!parsePort(value(), port)) {
                std::cerr << "qelcard-sim: bad port for " << arg << "\n";
                return 2;
            }
        } else if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else {
            std::cerr << "qelcard-sim: unknown argument " << arg << "\n" << kUsage;
            return 2;
        }
    }
    if (options.runDir.empty()) {
        std::cerr << kUsage;
        return 2;
    }

    // The card model logs through the suite's logger: keep its lines in the run folder too.
    qel::Logger::setDirectory(options.runDir);
    qel::Logger::configure("/qelcard-sim-card", "QelcardSim");

    try {
        qel::sim::SimDaemon daemon(options, [](const std::string& dir, qel::sim::ReaderKind kind) {
            return qel::sim::loadCardModel(dir, kind);
        });
        // From here on nothing goes to the streams we were given: whoever started us may be
        // waiting for them to close.
        int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        int logFd =
            ::open((options.runDir + "/qelcard-sim.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (null >= 0) ::dup2(null, STDIN_FILENO);
        if (logFd >= 0) {
            ::dup2(logFd, STDOUT_FILENO);
            ::dup2(logFd, STDERR_FILENO);
        }
        struct sigaction action {};
        action.sa_handler = onSignal;
        ::sigaction(SIGTERM, &action, nullptr);
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGHUP, &action, nullptr);
        ::signal(SIGPIPE, SIG_IGN);
        g_daemon = &daemon;
        daemon.run();
        g_daemon = nullptr;
    } catch (const std::exception& e) {
        std::cerr << "qelcard-sim: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
