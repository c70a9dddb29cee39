#pragma once
// What integration tests need from the testbed: its run folder, the card daemon's readers, and a
// way to leave them as they were found.
#include <chrono>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "sim/vpcd/control_command.h"

namespace qel::testbed {

inline const std::string kContactReader = "Virtual PCD 00 00";
inline const std::string kContactlessReader = "Virtual PCD 00 01";

/// The testbed's run folder ($QELCARD_SIM_RUN_DIR), empty outside the fixture.
inline std::string runDir() {
    const char* dir = std::getenv("QELCARD_SIM_RUN_DIR");
    return dir ? dir : "";
}

/// Sends a request to the card daemon; throws with the daemon's answer when it is not "ok".
inline std::string control(const std::string& line) {
    std::string error;
    auto answer = sim::sendControlRequest(runDir(), line, std::chrono::seconds(15), error);
    if (!answer) throw std::runtime_error("card daemon: " + error);
    if (answer->rfind("ok", 0) != 0) throw std::runtime_error("card daemon refused '" + line + "': " + *answer);
    return *answer;
}

/// Whether a card daemon answers in the testbed.
inline bool daemonRuns() {
    std::string error;
    return !runDir().empty() && sim::sendControlRequest(runDir(), "status", std::chrono::seconds(5), error).has_value();
}

/// The number of commands the card in `reader` ("contact", "contactless") answered since it was
/// inserted, from the daemon's status.
inline long apduCount(const std::string& reader) {
    std::string status = control("status");
    auto line = status.find(reader + ": card ");
    if (line == std::string::npos) return -1;
    auto end = status.find(" APDUs)", line);
    auto start = status.rfind(", ", end);
    return std::stol(status.substr(start + 2, end - start - 2));
}

/// Notes the daemon's cards when made and puts them back when destroyed; `empty` takes them out.
class ReaderState {
public:
    ReaderState() {
        std::string error;
        auto status = sim::sendControlRequest(runDir(), "status", std::chrono::seconds(5), error);
        if (!status) return;
        for (const char* reader : {"contact", "contactless"}) {
            std::string head = std::string(reader) + ": card ";
            auto at = status->find(head);
            if (at == std::string::npos) continue;
            auto start = at + head.size();
            cards_.emplace_back(reader, status->substr(start, status->find(" (", start) - start));
        }
    }
    ~ReaderState() {
        std::string error;
        for (const char* reader : {"contact", "contactless"})
            sim::sendControlRequest(runDir(), std::string("remove ") + reader, std::chrono::seconds(10), error);
        for (const auto& [reader, profile] : cards_)
            sim::sendControlRequest(runDir(), "insert " + reader + " " + profile, std::chrono::seconds(10), error);
    }
    ReaderState(const ReaderState&) = delete;
    ReaderState& operator=(const ReaderState&) = delete;

    void empty() {
        std::string error;
        for (const auto& [reader, profile] : cards_)
            sim::sendControlRequest(runDir(), "remove " + reader, std::chrono::seconds(10), error);
    }

private:
    std::vector<std::pair<std::string, std::string>> cards_;
};

}  // namespace qel::testbed
