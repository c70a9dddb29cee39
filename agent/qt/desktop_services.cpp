#include "agent/qt/desktop_services.h"

#include "platform/qt/program_launch.h"

#include <QAction>
#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QFileInfo>
#include <QMenu>
#include <QProcess>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QVariantMap>

#include "common/format.h"
#include "common/logger.h"

namespace qel::agent::qt {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// A notification server that does not answer within this time is taken as absent.
constexpr int kCallTimeoutMs = 5000;

QString q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

DBusNotifications::DBusNotifications(QDBusConnection bus, ResponseHandler onResponse)
    : bus_(std::move(bus)), onResponse_(std::move(onResponse)) {
    bus_.connect(QString(), kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                 SLOT(onActionInvoked(uint, QString, QDBusMessage)));
    bus_.connect(QString(), kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                 SLOT(onNotificationClosed(uint, uint, QDBusMessage)));
}

std::optional<QStringList> DBusNotifications::capabilities(QString* error) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetCapabilities"));
    QDBusReply<QStringList> reply = bus_.call(call, QDBus::Block, kCallTimeoutMs);
    if (!reply.isValid()) {
        if (error) *error = reply.error().message();
        return std::nullopt;
    }
    return reply.value();
}

std::optional<std::string> DBusNotifications::checkServer() {
    QString error;
    if (!capabilities(&error)) return error.toStdString();
    return std::nullopt;
}

bool DBusNotifications::supportsActions() {
    auto caps = capabilities();
    return caps && caps->contains(QStringLiteral("actions"));
}

void DBusNotifications::add(const NotificationContent& content) {
    QStringList actions;
    for (const auto& action : content.actions) actions << q(action.identifier) << q(action.title);
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(kAgentIdentifier));
    hints.insert(QStringLiteral("sound-name"), QStringLiteral("message-new-instant"));
    hints.insert(QStringLiteral("x-oberlane-category"), q(content.category));
    hints.insert(QStringLiteral("x-oberlane-identifier"), q(content.identifier));
    const QString key = q(content.replacesKey);
    uint replaces = 0;
    if (!key.isEmpty() && ours_.contains(shownFor_.value(key, 0))) replaces = shownFor_.value(key);
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    call << QStringLiteral("Vigilo") << replaces << QString::fromLatin1(kAgentIdentifier) << q(content.title)
         << q(content.body) << actions << hints << int(-1);
    QDBusReply<uint> reply = bus_.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.isValid()) {
        ours_.insert(reply.value());
        if (!key.isEmpty()) shownFor_.insert(key, reply.value());
    } else {
        logError(format("Notification non affichée : %s", reply.error().message().toUtf8().constData()));
    }
}

bool DBusNotifications::fromServer(const QDBusMessage& message, const char* signal) {
    // Asked each time: a signal is rare, and the server may have been replaced since the last one.
    QDBusReply<QString> owner = bus_.interface()->serviceOwner(kService);
    if (owner.isValid() && owner.value() == message.service()) return true;
    logWarning(format("%s ignoré : l'émetteur %s n'est pas le serveur de notifications", signal,
                      message.service().toUtf8().constData()));
    return false;
}

void DBusNotifications::onActionInvoked(uint id, const QString& actionKey, const QDBusMessage& message) {
    // The server tells every client of every action: only ours matter.
    if (!ours_.contains(id) || !fromServer(message, "ActionInvoked")) return;
    if (onResponse_) onResponse_(actionKey.toStdString());
}

void DBusNotifications::onNotificationClosed(uint id, uint, const QDBusMessage& message) {
    if (!ours_.contains(id) || !fromServer(message, "NotificationClosed")) return;
    ours_.remove(id);
    for (auto it = shownFor_.begin(); it != shownFor_.end();) it = it.value() == id ? shownFor_.erase(it) : ++it;
}

QtTrayIcon::QtTrayIcon(QIcon icon, std::function<void()> onLaunch, std::function<void()> onQuit)
    : icon_(std::move(icon)), onLaunch_(std::move(onLaunch)), onQuit_(std::move(onQuit)) {}

QtTrayIcon::~QtTrayIcon() = default;

bool QtTrayIcon::show() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
    menu_ = std::make_unique<QMenu>();
    // Read out by the screen reader when the menu opens; the letters let the keyboard choose.
    menu_->setTitle(QStringLiteral("Vigilo"));
    menu_->setAccessibleName(QStringLiteral("Menu de Vigilo"));
    QObject::connect(menu_->addAction(QStringLiteral("&Lancer Kartello")), &QAction::triggered,
                     [this] { onLaunch_(); });
    menu_->addSeparator();
    QObject::connect(menu_->addAction(QStringLiteral("&Quitter Vigilo")), &QAction::triggered, [this] { onQuit_(); });
    tray_ = std::make_unique<QSystemTrayIcon>(icon_);
    tray_->setToolTip(QStringLiteral("Vigilo, surveillance de la carte QEL"));
    tray_->setContextMenu(menu_.get());
    tray_->show();
    return true;
}

void QtTrayIcon::showUpdateEntry(const std::string& text) {
    if (!menu_) return;
    if (!updateEntry_) {
        updateEntry_ = new QAction(menu_.get());
        QObject::connect(updateEntry_, &QAction::triggered, [this] { onLaunch_(); });
        menu_->insertAction(menu_->actions().value(0), updateEntry_);
    }
    // Its first letter chooses it from the keyboard; an "&" of the text is shown as it is.
    QString title = q(text);
    title.replace(QLatin1Char('&'), QStringLiteral("&&"));
    updateEntry_->setText(QLatin1Char('&') + title);
}

bool BusProgramLauncher::isRunning(const std::string& identifier) {
    if (!bus_.isConnected() || bus_.interface() == nullptr) return false;
    return bus_.interface()->isServiceRegistered(q(identifier)).value();
}

QString BusProgramLauncher::locate(const std::string& identifier) {
    if (identifier == kApplicationIdentifier) {
        const QString forced = qEnvironmentVariable("QEL_KARTELLO_PROGRAM");
        if (!forced.isEmpty()) return forced;
    }
    return ::qel::qt::locateProgram(identifier);
}

bool BusProgramLauncher::launch(const std::string& identifier) {
    return ::qel::qt::startDetachedQuietly(locate(identifier));
}

void BusSessionSignals::post(const std::string& name, const std::string& object) {
    QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(kLauncherSignalPath),
                                                     QString::fromLatin1(kLauncherSignalInterface), q(name));
    signal << q(object);
    bus_.send(signal);
}

BusLossWatcher::BusLossWatcher(QDBusConnection bus, std::function<void()> onLost) : onLost_(std::move(onLost)) {
    // The library's own signal for a connection that closed under us.
    bus.connect(QString(), QStringLiteral("/org/freedesktop/DBus/Local"), QStringLiteral("org.freedesktop.DBus.Local"),
                QStringLiteral("Disconnected"), this, SLOT(onDisconnected()));
}

void BusLossWatcher::onDisconnected() {
    if (onLost_) onLost_();
}

}  // namespace qel::agent::qt
