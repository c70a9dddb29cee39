// vigilo: the session's card agent. One instance per session (it owns its D-Bus name); a second
// start leaves at once.
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QIcon>

#include "agent/app_delegate.h"
#include "card/qel_card.h"
#include "platform/qt/qt_main_queue.h"
#include "agent/qt/desktop_services.h"
#include "agent/xdg_login_items.h"
#include "common/format.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_library.h"
#include "platform/pcsc/pcsc_api.h"
#include "platform/pcsc/token_watcher.h"
#include "update/tmaj_manager.h"

using namespace qel;

int main(int argc, char** argv) {
    SwiftLogger::configure("/Vigilo", "Vigilo");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vigilo"));
    QApplication::setDesktopFileName(QString::fromLatin1(agent::kAgentIdentifier));
    // The agent has no window: closing a menu must not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr) {
        logError("Vigilo : pas de bus de session, arrêt");
        return 1;
    }
    const auto claimed = bus.interface()->registerService(QString::fromLatin1(agent::kAgentIdentifier),
                                                          QDBusConnectionInterface::DontQueueService,
                                                          QDBusConnectionInterface::DontAllowReplacement);
    if (!claimed.isValid() || claimed.value() != QDBusConnectionInterface::ServiceRegistered) {
        logInfo("Vigilo tourne déjà dans cette session");
        return 0;
    }

    Pkcs11Library library(configuredPkcs11LibraryPath());
    qel::qt::QtMainQueue mainQueue;
    agent::AppDelegate* delegate = nullptr;
    agent::qt::DBusNotificationCenter notifications(bus, [&delegate](const std::string& action) {
        if (delegate) delegate->didReceiveResponse(action);
    });
    agent::qt::TrayStatusItem statusItem(
        QIcon(QStringLiteral(":/AppIcon.svg")),
        [&delegate] {
            if (delegate) delegate->onLaunchQELG();
        },
        [] { QApplication::quit(); });
    agent::qt::BusProgramLauncher launcher(bus);
    const QString lanzo = agent::qt::BusProgramLauncher::locate(agent::kLauncherIdentifier);
    agent::XdgLoginItems loginItems({{agent::kLauncherIdentifier, lanzo.toStdString()}});
    agent::qt::BusDistributedNotifications distributed(bus);
    TmajManager& tmaj = TmajManager::shared();

    agent::AppDelegate appDelegate(
        agent::AgentServices{library, mainQueue, notifications, statusItem, launcher, loginItems, distributed,
                             [&tmaj](const std::string& serial) { return tmaj.checkTmaj(serial); }});
    delegate = &appDelegate;

    pcsc::TokenWatcher watcher(pcsc::systemPcscApi(), [](SmartCard& card) { return readQelSerial(card); });
    watcher.setInsertionHandler([&appDelegate](const std::string& token) { appDelegate.onTokenInserted(token); });
    watcher.setServiceHandler([&mainQueue](pcsc::TokenWatcher::ServiceState state) {
        mainQueue.post([state] {
            if (state == pcsc::TokenWatcher::ServiceState::unavailable)
                logWarning("Service carte à puce indisponible");
            else
                logInfo("Service carte à puce disponible");
        });
    });

    agent::qt::BusLossWatcher busLoss(bus, [] {
        logInfo("Fin de la session : Vigilo s'arrête");
        QApplication::quit();
    });

    appDelegate.applicationDidFinishLaunching();
    watcher.start();
    logInfo("Vigilo démarré");
    const int status = app.exec();
    watcher.stop();
    delegate = nullptr;
    return status;
}
