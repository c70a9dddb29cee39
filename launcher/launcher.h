#pragma once
#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <functional>

namespace qel::launcher {

inline constexpr const char* kAgentIdentifier = "org.oberlane.qel.vigilo";
inline constexpr const char* kLauncherIdentifier = "org.oberlane.qel.lanzo";
/// The agent's signal that ends the launcher, with the agent's identifier as its one argument.
inline constexpr const char* kKillLauncher = "killLauncher";
inline constexpr const char* kSignalPath = "/org/oberlane/qel/lanzo";
inline constexpr const char* kSignalInterface = "org.oberlane.qel.lanzo";
/// The agent's executable.
inline constexpr const char* kAgentProgram = "vigilo";

/// "Lancement de Vigilo depuis:\n" + path.
QString launchMessage(const QString& agentPath);

/// The agent's executable: beside `launcherDir` when it is there, else in `installDir`; empty when
/// neither holds an executable file.
QString agentPath(const QString& launcherDir, const QString& installDir);

/// Lanzo: starts the agent unless it already runs, then waits for the agent's killLauncher.
class Launcher : public QObject {
    Q_OBJECT
public:
    using Log = std::function<void(const QString&)>;
    using Start = std::function<bool(const QString& program)>;

    /// `start` starts a program detached; `log` writes the launcher's messages.
    Launcher(QDBusConnection bus, QString agent, Start start, Log log);

    /// Runs the start sequence. Returns the exit status when the launcher is done at once (0: the
    /// agent already runs; 1: no agent to start, no bus, or the start failed), -1 when it must wait
    /// for killLauncher; `finished` is then emitted with 0.
    int start();

signals:
    void finished(int status);

private slots:
    void onKillLauncher(const QString& object);

private:
    QDBusConnection bus_;
    QString agent_;
    Start start_;
    Log log_;
};

}  // namespace qel::launcher
