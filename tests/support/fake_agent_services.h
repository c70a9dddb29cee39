#pragma once
// The agent's desktop services as recording fakes.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "agent/agent_services.h"

namespace qel::test {

struct FakeNotifications : agent::Notifications {
    std::optional<std::string> checkServer() override {
        ++serverChecks;
        return serverError;
    }
    bool supportsActions() override { return actions; }
    void add(const agent::NotificationContent& content) override { posted.push_back(content); }

    std::optional<std::string> serverError;
    bool actions = true;
    int serverChecks = 0;
    std::vector<agent::NotificationContent> posted;
};

struct FakeTrayIcon : agent::TrayIcon {
    bool show() override {
        ++shown;
        return trayAvailable;
    }
    void showUpdateEntry(const std::string& text) override { updateEntries.push_back(text); }

    bool trayAvailable = true;
    int shown = 0;
    std::vector<std::string> updateEntries;
};

struct FakeProgramLauncher : agent::ProgramLauncher {
    bool isRunning(const std::string& identifier) override {
        for (const auto& r : running)
            if (r == identifier) return true;
        return false;
    }
    bool launch(const std::string& identifier) override {
        launched.push_back(identifier);
        return launchSucceeds;
    }

    std::vector<std::string> running;
    std::vector<std::string> launched;
    bool launchSucceeds = true;
};

struct FakeAutostart : agent::Autostart {
    bool setEnabled(const std::string& identifier, bool enabled) override {
        calls.emplace_back(identifier, enabled);
        return true;
    }
    std::vector<std::pair<std::string, bool>> calls;
};

struct FakeSessionSignals : agent::SessionSignals {
    void post(const std::string& name, const std::string& object) override { posted.emplace_back(name, object); }
    std::vector<std::pair<std::string, std::string>> posted;
};

}  // namespace qel::test
