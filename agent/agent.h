#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent/agent_services.h"
#include "common/main_queue.h"
#include "update/tmaj_manager.h"

namespace qel {
class Pkcs11Library;
class Pkcs11Slot;
}  // namespace qel

namespace qel::agent {

/// Pause between a token's insertion and the scan, so that the issuer library sees the card.
inline constexpr int kScanDelayMs = 10000;

inline constexpr const char* kNotificationCategory = "TMAJ_NOTIF";
inline constexpr const char* kLaunchAction = "LAUNCH";
inline constexpr const char* kLaunchActionTitle = "Lancer\nKartello";
inline constexpr const char* kNotificationTitle = "Kartello";

/// Whether the token identifier names the card with that number: its instance identifier (the text
/// after the last ':') is the card's full number, "8025000001" + `cardNumber`.
bool tokenNamesCard(const std::string& tokenID, const std::string& cardNumber);

/// "Une mise à jour pour la QEL n°<serial> est disponible".
std::string updateNotificationBody(const std::string& serial);

/// What the agent works with, all owned by the program's edge.
struct AgentServices {
    Pkcs11Library& library;
    MainQueue& mainQueue;
    Notifications& notifications;
    TrayIcon& trayIcon;
    ProgramLauncher& launcher;
    Autostart& autostart;
    SessionSignals& sessionSignals;
    /// The update availability check. Blocks.
    std::function<TmajAvailability(const std::string& serial)> checkTmaj;
};

/// Vigilo's behaviour: start-up, the scan of an inserted card, the update notice and its answer.
/// Main thread only, except onTokenInserted.
class Agent {
public:
    explicit Agent(AgentServices services);
    ~Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    /// Start-up: notification service, autostart entry, stopping a running launcher, tray icon.
    void start();

    /// The token watcher's insertion handler; any thread. Schedules one scan per product token,
    /// `kScanDelayMs` later on the main queue.
    void onTokenInserted(const std::string& tokenID);

    /// Reads every card through the issuer library and runs the availability check for the one
    /// whose number the token identifier carries.
    void scanCard(const std::string& tokenID);

    /// Posts the update notice for the card with that serial.
    void postUpdateNotification(const std::string& serial);

    /// The answer to a notification: "LAUNCH" starts the application, anything else does nothing.
    void onNotificationAction(const std::string& actionIdentifier);

    /// The menu entry that starts the application.
    void onLaunchKartello();

    /// The slots found by the last scan, in the library's order.
    std::vector<std::unique_ptr<Pkcs11Slot>> p11Slots;

private:
    void launchApplication();

    AgentServices services_;
    bool hasTray_ = false;
};

}  // namespace qel::agent
