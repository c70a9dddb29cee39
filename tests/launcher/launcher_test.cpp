#include "launcher/launcher.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QEventLoop>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <optional>

namespace qel::launcher {
namespace {

namespace fs = std::filesystem;

void makeProgram(const fs::path& path, bool executable) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\n";
    fs::permissions(path, executable ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write);
}

TEST(AgentPathTest, TheSiblingComesFirstThenTheInstallFolder) {
    const fs::path root = fs::path(std::getenv("HOME")) / "paths";
    fs::remove_all(root);
    const QString sibling = QString::fromStdString((root / "build").string());
    const QString installed = QString::fromStdString((root / "prefix").string());
    EXPECT_EQ(agentPath(sibling, installed), QString());

    makeProgram(root / "prefix" / "vigilo", true);
    makeProgram(root / "build" / "vigilo", false);
    EXPECT_EQ(agentPath(sibling, installed), installed + "/vigilo");
    EXPECT_EQ(agentPath(QString(), installed), installed + "/vigilo");

    makeProgram(root / "build" / "vigilo", true);
    EXPECT_EQ(agentPath(sibling, installed), sibling + "/vigilo");
    // A folder of that name is no program.
    fs::remove(root / "build" / "vigilo");
    fs::create_directories(root / "build" / "vigilo");
    EXPECT_EQ(agentPath(sibling, installed), installed + "/vigilo");
}

class LauncherTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "launcher_test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
    }
    void SetUp() override {
        if (!bus().isConnected()) GTEST_SKIP() << "no session bus (run through dbus-run-session)";
    }
    void TearDown() override {
        bus().unregisterService(QString::fromLatin1(kLauncherIdentifier));
        bus().unregisterService(QString::fromLatin1(kAgentIdentifier));
    }
    static QDBusConnection bus() { return QDBusConnection::sessionBus(); }

    Launcher make(const QString& agent) {
        return Launcher(
            bus(), agent,
            [this](const QString& p) {
                started.push_back(p);
                return startSucceeds;
            },
            [this](const QString& text) { logged.push_back(text); });
    }

    static void killLauncher(const QString& object) {
        QDBusMessage signal =
            QDBusMessage::createSignal(QString::fromLatin1(kSignalPath), QString::fromLatin1(kSignalInterface),
                                       QString::fromLatin1(kKillLauncher));
        signal << object;
        bus().send(signal);
    }

    // Runs the event loop until the launcher finishes or the bus has delivered a ping sent after
    // everything before it (our own signals come back in order).
    static std::optional<int> finishedAfterPendingSignals(Launcher& launcher) {
        std::optional<int> status;
        QEventLoop loop;
        QObject::connect(&launcher, &Launcher::finished, &loop, [&](int s) {
            status = s;
            loop.quit();
        });
        QDBusMessage ping = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
        bus().callWithCallback(ping, &loop, SLOT(quit()));
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);  // a guard against a hang, not a measure
        loop.exec();
        if (!status) loop.processEvents();
        return status;
    }

    std::vector<QString> started;
    std::vector<QString> logged;
    bool startSucceeds = true;
};

TEST_F(LauncherTest, StartsTheAgentAndQuitsOnlyOnTheAgentsOwnSignal) {
    Launcher launcher = make(QStringLiteral("/opt/kartello/bin/vigilo"));
    ASSERT_EQ(launcher.start(), -1);
    EXPECT_EQ(started, std::vector<QString>{QStringLiteral("/opt/kartello/bin/vigilo")});
    EXPECT_EQ(logged, std::vector<QString>{QStringLiteral("Lancement de Vigilo depuis:\n/opt/kartello/bin/vigilo")});
    EXPECT_TRUE(bus().interface()->isServiceRegistered(QString::fromLatin1(kLauncherIdentifier)).value());

    killLauncher(QStringLiteral("org.oberlane.qel.other"));
    EXPECT_EQ(finishedAfterPendingSignals(launcher), std::nullopt);
    killLauncher(QString::fromLatin1(kAgentIdentifier));
    EXPECT_EQ(finishedAfterPendingSignals(launcher), 0);
}

TEST_F(LauncherTest, ARunningAgentMeansNothingToDo) {
    ASSERT_TRUE(bus().registerService(QString::fromLatin1(kAgentIdentifier)));
    Launcher launcher = make(QStringLiteral("/opt/kartello/bin/vigilo"));
    EXPECT_EQ(launcher.start(), 0);
    EXPECT_TRUE(started.empty());
    EXPECT_FALSE(bus().interface()->isServiceRegistered(QString::fromLatin1(kLauncherIdentifier)).value());
    // No observer was registered: the signal finds no one.
    killLauncher(QString::fromLatin1(kAgentIdentifier));
    EXPECT_EQ(finishedAfterPendingSignals(launcher), std::nullopt);
}

TEST_F(LauncherTest, EveryFailureEndsInAnOrderlyExit) {
    Launcher noAgent = make(QString());
    EXPECT_EQ(noAgent.start(), 1);
    EXPECT_TRUE(started.empty());
    TearDown();

    startSucceeds = false;
    Launcher failing = make(QStringLiteral("/opt/kartello/bin/vigilo"));
    EXPECT_EQ(failing.start(), 1);
    EXPECT_EQ(started.size(), 1u);

    QDBusConnection none(QStringLiteral("not-connected"));
    Launcher noBus(
        none, QStringLiteral("/opt/kartello/bin/vigilo"), [](const QString&) { return true; },
        [this](const QString& text) { logged.push_back(text); });
    EXPECT_EQ(noBus.start(), 1);
    EXPECT_EQ(logged.back(), QStringLiteral("Pas de bus de session : Vigilo n'est pas lancé"));
}

}  // namespace
}  // namespace qel::launcher
