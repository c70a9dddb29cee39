#pragma once
#include <QDBusConnection>
#include <QFile>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

namespace qel::sim {

/// A desktop notification server for tests: it answers org.freedesktop.Notifications, appends every
/// notification it receives to a record file (one JSON object per line: id, app_name, app_icon,
/// summary, body, actions, hint names, expire_timeout), and presses a button when told to.
class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    /// `withActions` false: a server that cannot show buttons.
    NotificationServer(const QString& recordPath, bool withActions);

    bool isRecording() const { return record_.isOpen(); }

public slots:
    QStringList GetCapabilities();
    uint Notify(const QString& appName, uint replacesId, const QString& appIcon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints, int expireTimeout);
    void CloseNotification(uint id);
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion);

signals:
    void NotificationClosed(uint id, uint reason);
    void ActionInvoked(uint id, const QString& actionKey);

public:
    /// What a user's click on the button does; false when no open notification has that button.
    bool invoke(uint id, const QString& actionKey);

private:
    QFile record_;
    bool withActions_;
    uint nextId_ = 1;
    QMap<uint, QStringList> open_;  // id → action keys
};

/// The test's hand: "InvokeAction(id, key)" on interface org.oberlane.qel.NotifyRecorder.
class RecorderControl : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.oberlane.qel.NotifyRecorder")
public:
    explicit RecorderControl(NotificationServer& server) : server_(server) {}

public slots:
    bool InvokeAction(uint id, const QString& actionKey) { return server_.invoke(id, actionKey); }

private:
    NotificationServer& server_;
};

}  // namespace qel::sim
