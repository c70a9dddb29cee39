// lanzo: the login item that starts the agent.
#include <syslog.h>

#include <QCoreApplication>

#include "launcher/launcher.h"
#include "platform/qt/program_launch.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // The journal (or syslog) keeps the launcher's few lines; a copy goes to standard error.
    openlog("org.oberlane.qel.lanzo", LOG_PID | LOG_PERROR, LOG_USER);
    auto log = [](const QString& text) { syslog(LOG_DEBUG, "[Support] 💬 %s", text.toUtf8().constData()); };
    // The agent lives for the whole session: it must not hold our standard streams.
    auto start = [](const QString& program) { return qel::qt::startDetachedQuietly(program); };
    const QString agent =
        qel::launcher::agentPath(QCoreApplication::applicationDirPath(), QStringLiteral(QEL_INSTALL_BINDIR));
    qel::launcher::Launcher launcher(QDBusConnection::sessionBus(), agent, start, log);
    QObject::connect(&launcher, &qel::launcher::Launcher::finished, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    const int status = launcher.start();
    const int exitStatus = status >= 0 ? status : app.exec();
    closelog();
    return exitStatus;
}
