#include "launcher/launcher.h"

#include <QDBusConnectionInterface>
#include <QFileInfo>

namespace qel::launcher {

QString launchMessage(const QString& agentPath) { return QStringLiteral("Lancement de Vigilo depuis:\n") + agentPath; }

QString agentPath(const QString& launcherDir, const QString& installDir) {
    for (const QString& folder : {launcherDir, installDir}) {
        if (folder.isEmpty()) continue;
        const QFileInfo candidate(folder + QLatin1Char('/') + QLatin1String(kAgentProgram));
        if (candidate.isFile() && candidate.isExecutable()) return candidate.absoluteFilePath();
    }
    return {};
}

Launcher::Launcher(QDBusConnection bus, QString agent, Start start, Log log)
    : bus_(std::move(bus)), agent_(std::move(agent)), start_(std::move(start)), log_(std::move(log)) {}

int Launcher::start() {
    if (!bus_.isConnected() || bus_.interface() == nullptr) {
        log_(QStringLiteral("Pas de bus de session : Vigilo n'est pas lancé"));
        return 1;
    }
    QDBusConnectionInterface* names = bus_.interface();
    if (names->isServiceRegistered(QString::fromLatin1(kAgentIdentifier)).value()) return 0;

    // Owning our name lets the agent see that we run and tell us to go; a second launcher leaves.
    const auto claimed =
        names->registerService(QString::fromLatin1(kLauncherIdentifier), QDBusConnectionInterface::DontQueueService,
                               QDBusConnectionInterface::DontAllowReplacement);
    if (!claimed.isValid() || claimed.value() != QDBusConnectionInterface::ServiceRegistered) return 0;

    // Listen before starting the agent: it signals as soon as it is up.
    bus_.connect(QString(), QString::fromLatin1(kSignalPath), QString::fromLatin1(kSignalInterface),
                 QString::fromLatin1(kKillLauncher), this, SLOT(onKillLauncher(QString)));
    if (agent_.isEmpty()) {
        log_(QStringLiteral("Vigilo introuvable : rien n'est lancé"));
        return 1;
    }
    log_(launchMessage(agent_));
    if (!start_(agent_)) {
        log_(QStringLiteral("Vigilo n'a pas pu être lancé"));
        return 1;
    }
    return -1;
}

void Launcher::onKillLauncher(const QString& object) {
    if (object == QLatin1String(kAgentIdentifier)) emit finished(0);
}

}  // namespace qel::launcher
