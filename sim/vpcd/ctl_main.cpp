// qelcard-ctl: tells the card daemon to insert, remove, swap or reset cards, and waits for pcscd.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "platform/pcsc/slot_manager.h"
#include "sim/vpcd/control_command.h"

namespace {

const char* kUsage =
    "usage: qelcard-ctl [--run-dir DIR] COMMAND\n"
    "  insert READER PROFILE_DIR | remove READER | swap READER PROFILE_DIR | reset READER\n"
    "  status | hostile READER on|off | quit            READER = contact | contactless | pinpad\n"
    "  pinpad ENTRY [MS]   the next entry on the keypad reader, typed in MS milliseconds:\n"
    "                      DIGITS (PIN; for a change OLD,NEW[,CONFIRM]), cancel (6401) or timeout (6400);\n"
    "                      digits out of the reader's length range give 6403\n"
    "  pcsc-wait [SECONDS] [READER_NAME...]   wait until pcscd answers and shows the readers\n"
    "The run folder defaults to $QELCARD_SIM_RUN_DIR.\n"
    "Exit status: 0 ok, 1 refused by the daemon, 2 usage, 3 no daemon (or pcscd) answering.\n";

std::string absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) return path;
    return std::string(cwd) + "/" + path;
}

// Waits, without holding a context open in between, until pcscd lists every named reader.
int pcscWait(int seconds, const std::vector<std::string>& wanted) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::string last;
    for (;;) {
        try {
            qel::pcsc::SlotManager slots;
            auto names = slots.slotNames();
            bool all = true;
            for (const auto& w : wanted) all = all && std::find(names.begin(), names.end(), w) != names.end();
            if (all) {
                for (const auto& n : names) std::cout << n << "\n";
                return 0;
            }
            last = "readers not there yet";
        } catch (const std::exception& e) {
            last = e.what();
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            std::cerr << "qelcard-ctl: pcscd not ready: " << last << "\n";
            return 3;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string runDir = std::getenv("QELCARD_SIM_RUN_DIR") ? std::getenv("QELCARD_SIM_RUN_DIR") : "";
    int i = 1;
    if (i + 1 < argc && std::string(argv[i]) == "--run-dir") {
        runDir = argv[i + 1];
        i += 2;
    }
    if (i >= argc) {
        std::cerr << kUsage;
        return 2;
    }
    std::string verb = argv[i];
    if (verb == "--help" || verb == "-h") {
        std::cout << kUsage;
        return 0;
    }
    if (verb == "pcsc-wait") {
        int seconds = 10;
        std::vector<std::string> readers;
        if (i + 1 < argc) seconds = std::atoi(argv[++i]);
        while (++i < argc) readers.emplace_back(argv[i]);
        return pcscWait(seconds > 0 ? seconds : 10, readers);
    }
    if (runDir.empty()) {
        std::cerr << "qelcard-ctl: no run folder (--run-dir or QELCARD_SIM_RUN_DIR)\n";
        return 2;
    }
    std::string line = verb;
    for (int k = i + 1; k < argc; ++k) {
        std::string arg = argv[k];
        // Profile folders are passed on absolute: the daemon runs elsewhere.
        if ((verb == "insert" || verb == "swap") && k == i + 2) arg = absolute(arg);
        line += " " + arg;
    }
    if (auto parsed = qel::sim::parseControlCommand(line); std::holds_alternative<std::string>(parsed)) {
        std::cerr << "qelcard-ctl: " << std::get<std::string>(parsed) << "\n" << kUsage;
        return 2;
    }
    std::string error;
    auto answer = qel::sim::sendControlRequest(runDir, line, std::chrono::seconds(15), error);
    if (!answer) {
        std::cerr << "qelcard-ctl: " << error << "\n";
        return 3;
    }
    std::cout << *answer;
    return answer->rfind("ok", 0) == 0 ? 0 : 1;
}
