#pragma once
#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "agent/agent_services.h"

class QAction;
class QMenu;
class QSystemTrayIcon;

namespace qel::agent::qt {

/// Notifications through the desktop's notification server (org.freedesktop.Notifications on the
/// session bus). The server's capabilities are asked again before every notification, so that a
/// server replaced during the session is followed. A notice replaces the one still shown for the
/// same key (`replaces_id`). Answers count only when they come from the server: the sender of
/// ActionInvoked and NotificationClosed must own org.freedesktop.Notifications, since any client of
/// the session bus can send a signal with that interface.
class DBusNotifications : public QObject, public Notifications {
    Q_OBJECT
public:
    using ResponseHandler = std::function<void(const std::string& actionIdentifier)>;

    /// `onResponse` receives the action key of a button pressed on one of our notifications, on the
    /// thread of the event loop.
    DBusNotifications(QDBusConnection bus, ResponseHandler onResponse);

    std::optional<std::string> checkServer() override;
    bool supportsActions() override;
    void add(const NotificationContent& content) override;

private slots:
    void onActionInvoked(uint id, const QString& actionKey, const QDBusMessage& message);
    void onNotificationClosed(uint id, uint reason, const QDBusMessage& message);

private:
    std::optional<QStringList> capabilities(QString* error = nullptr);
    /// Whether the signal's sender is the notification server of the moment.
    bool fromServer(const QDBusMessage& message, const char* signal);

    QDBusConnection bus_;
    ResponseHandler onResponse_;
    QSet<uint> ours_;                // notifications we posted and the server has not closed
    QHash<QString, uint> shownFor_;  // replaces key -> the notice shown for it
};

/// The tray icon (QSystemTrayIcon) with the agent's menu: start Kartello, quit.
class QtTrayIcon : public TrayIcon {
public:
    QtTrayIcon(QIcon icon, std::function<void()> onLaunch, std::function<void()> onQuit);
    ~QtTrayIcon() override;
    bool show() override;
    void showUpdateEntry(const std::string& text) override;

private:
    QIcon icon_;
    std::function<void()> onLaunch_;
    std::function<void()> onQuit_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    QAction* updateEntry_ = nullptr;
};

/// The suite's programs: running = owns its D-Bus name; started from the executable named after the
/// identifier's last component, looked for beside this program, then in the installation's program
/// folder, then on the PATH. `overrides` maps an identifier to an environment variable that, when
/// set, names the program to run instead.
class BusProgramLauncher : public ProgramLauncher {
public:
    explicit BusProgramLauncher(QDBusConnection bus) : bus_(std::move(bus)) {}
    bool isRunning(const std::string& identifier) override;
    bool launch(const std::string& identifier) override;

    /// Where `launch` would start the program from; empty when it cannot be found.
    static QString locate(const std::string& identifier);

private:
    QDBusConnection bus_;
};

/// killLauncher and its kind as D-Bus signals: interface "org.oberlane.qel.lanzo", member = the name,
/// one text argument = the object.
class BusSessionSignals : public SessionSignals {
public:
    explicit BusSessionSignals(QDBusConnection bus) : bus_(std::move(bus)) {}
    void post(const std::string& name, const std::string& object) override;

private:
    QDBusConnection bus_;
};

/// Calls `onLost` when the session bus goes away: the session has ended.
class BusLossWatcher : public QObject {
    Q_OBJECT
public:
    BusLossWatcher(QDBusConnection bus, std::function<void()> onLost);

private slots:
    void onDisconnected();

private:
    std::function<void()> onLost_;
};

}  // namespace qel::agent::qt
