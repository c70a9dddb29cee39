#pragma once
#include <optional>
#include <string>
#include <vector>

namespace qel::agent {

/// The reverse-domain prefix shared by the identifiers of the suite's programs and token driver.
inline constexpr const char* kProductPrefix = "org.oberlane.qel";
inline constexpr const char* kAgentIdentifier = "org.oberlane.qel.vigilo";
inline constexpr const char* kLauncherIdentifier = "org.oberlane.qel.lanzo";
inline constexpr const char* kApplicationIdentifier = "org.oberlane.qel.kartello";

/// The signal that tells the launcher to quit; its argument is the agent's identifier.
inline constexpr const char* kKillLauncher = "killLauncher";
/// Where the launcher's signals travel on the session bus (the launcher listens there).
inline constexpr const char* kLauncherSignalPath = "/org/oberlane/qel/lanzo";
inline constexpr const char* kLauncherSignalInterface = "org.oberlane.qel.lanzo";

/// One button of a notification.
struct NotificationAction {
    std::string identifier;
    std::string title;
};

/// A notification as the agent posts it.
struct NotificationContent {
    std::string identifier;  ///< fresh for every notification
    /// What the notice is about (the card): a notice with the same key replaces the one still shown,
    /// so that a card taken out and put back leaves one notice, not a stack.
    std::string replacesKey;
    std::string title;
    std::string body;
    std::string category;
    std::vector<NotificationAction> actions;
};

/// The desktop's notification service. Main thread only. Answers to a notification come back
/// through Agent::onNotificationAction on the main thread.
class Notifications {
public:
    virtual ~Notifications() = default;
    /// Makes contact with the service; the reason when it cannot be asked, nothing when it answers.
    virtual std::optional<std::string> checkServer() = 0;
    /// Whether notifications can carry buttons.
    virtual bool supportsActions() = 0;
    /// Shows the notification at once. Failures are not reported.
    virtual void add(const NotificationContent& content) = 0;
};

/// The agent's tray icon and its menu. Main thread only.
class TrayIcon {
public:
    virtual ~TrayIcon() = default;
    /// Shows the icon with the agent's menu; false when the desktop has no place for it.
    virtual bool show() = 0;
    /// Adds (or replaces) the menu entry that announces an update and starts the application; used
    /// where notifications cannot carry the button.
    virtual void showUpdateEntry(const std::string& text) = 0;
};

/// The suite's other programs, by identifier.
class ProgramLauncher {
public:
    virtual ~ProgramLauncher() = default;
    /// True when the program runs in the user's session.
    virtual bool isRunning(const std::string& identifier) = 0;
    /// Starts the program detached; false when it cannot be located or started.
    virtual bool launch(const std::string& identifier) = 0;
};

/// Programs started when the user logs in.
class Autostart {
public:
    virtual ~Autostart() = default;
    /// Registers (or removes) the program to start at login; false when that failed.
    virtual bool setEnabled(const std::string& identifier, bool enabled) = 0;
};

/// Signals to the suite's other programs on the session.
class SessionSignals {
public:
    virtual ~SessionSignals() = default;
    virtual void post(const std::string& name, const std::string& object) = 0;
};

}  // namespace qel::agent
