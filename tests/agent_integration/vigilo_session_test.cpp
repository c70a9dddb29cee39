// Vigilo and Lanzo in a session of their own: a private session bus (the test runs under
// dbus-run-session), the notification recorder as the desktop's notification server, the testbed's
// virtual cards in pcscd's readers and tmaj-sim as the update service. The tests run in order and
// share the one agent that Lanzo starts.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "sim/card/profile.h"
#include "tests/support/testbed_client.h"

namespace qel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const QString kAgent = QStringLiteral("org.oberlane.qel.vigilo");

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Waits for `done` while the event loop runs; the deadline only guards against a hang.
bool waitFor(const std::function<bool()>& done, std::chrono::seconds guard = 90s) {
    const auto deadline = std::chrono::steady_clock::now() + guard;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

QDBusConnection bus() { return QDBusConnection::sessionBus(); }

bool owned(const QString& name) { return bus().interface()->isServiceRegistered(name).value(); }

uint ownerPid(const QString& name) {
    QDBusReply<uint> pid = bus().interface()->servicePid(name);
    return pid.isValid() ? pid.value() : 0;
}

class VigiloSessionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "vigilo_session_test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);

        const std::string port = readAll(testbed::runDir() + "/tmaj-sim.port");
        if (!bus().isConnected() || !testbed::daemonRuns() || port.empty()) return;
        home = env("HOME");
        fs::remove_all(home);
        fs::create_directories(home);
        setenv("QEL_TMAJ_BASE_URL", ("https://127.0.0.1:" + port.substr(0, port.find('\n'))).c_str(), 1);
        setenv("QEL_TMAJ_CA_FILE", (testbed::runDir() + "/tmaj-ca.pem").c_str(), 1);
        // Kartello's stand-in notes that it was started.
        const fs::path stub = fs::path(home) / "kartello-stub";
        std::ofstream(stub) << "#!/bin/sh\ntouch \"$HOME/kartello-started\"\n";
        fs::permissions(stub, fs::perms::owner_all);
        setenv("QEL_KARTELLO_PROGRAM", stub.c_str(), 1);

        admin = std::make_unique<httplib::SSLClient>("127.0.0.1", std::stoi(port));
        admin->set_ca_cert_path((testbed::runDir() + "/tmaj-ca.pem").c_str());
        admin->enable_server_certificate_verification(true);

        // Empty readers: the agent would otherwise announce the testbed's own cards at start.
        readers = std::make_unique<testbed::ReaderState>();
        readers->empty();

        recorder = std::make_unique<QProcess>();
        recorder->setProgram(QString::fromStdString(env("NOTIFY_RECORDER")));
        recorder->setArguments({QStringLiteral("--record"), QString::fromStdString(recordPath())});
        recorder->setStandardOutputFile(QString::fromStdString(home + "/recorder.out"));
        recorder->setStandardErrorFile(QString::fromStdString(home + "/recorder.out"));
        recorder->start();
        ready = waitFor([] { return owned(QStringLiteral("org.freedesktop.Notifications")); });
    }

    static void TearDownTestSuite() {
        // The agent was started by Lanzo, not by us: end it by the pid that owns its name.
        if (agentPid > 0) {
            kill(static_cast<pid_t>(agentPid), SIGTERM);
            waitFor([] { return !owned(kAgent); }, 30s);
        }
        if (recorder) {
            recorder->terminate();
            recorder->waitForFinished(10000);
        }
        recorder.reset();
        readers.reset();
        admin.reset();
    }

    void SetUp() override {
        if (!ready) GTEST_SKIP() << "no session bus, card daemon, update simulator or notification recorder";
    }

    /// Waits until the agent has finished `count` card scans (it logs the end of each).
    static bool waitForScans(int count) {
        return waitFor([count] { return logCount("Examen des cartes terminé") >= count; });
    }
    /// How many times the agent's logs carry `line`.
    static int logCount(const std::string& line) {
        int found = 0;
        const fs::path logs = env("XDG_STATE_HOME") + "/kartello/Logs";
        std::error_code ec;
        for (const auto& file : fs::directory_iterator(logs, ec)) {
            if (file.path().filename().string().rfind("Vigilo", 0) != 0) continue;
            const std::string text = readAll(file.path());
            for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++found;
        }
        return found;
    }

    static std::string recordPath() { return home + "/notifications.jsonl"; }

    static std::vector<QJsonObject> notifications() {
        std::vector<QJsonObject> list;
        std::istringstream lines(readAll(recordPath()));
        for (std::string line; std::getline(lines, line);)
            if (!line.empty()) list.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(line)).object());
        return list;
    }

    /// A fresh copy of the default third-generation card, made known to tmaj-sim (so an update
    /// waits for it), put into the contact reader. Returns its serial.
    static std::string insertFreshCard() {
        static int counter = 0;
        const fs::path dir = fs::path(home) / "profiles" / std::to_string(++counter);
        fs::create_directories(dir.parent_path());
        fs::copy(testbed::runDir() + "/profiles/qel3-default", dir, fs::copy_options::recursive);
        fs::remove(dir / "state.json");
        auto res = admin->Post("/admin/card", dir.string(), "text/plain");
        EXPECT_TRUE(res && res->status == 200);
        testbed::control("swap contact " + dir.string());
        lastCardDir = dir.string();
        return sim::loadProfile(dir.string()).cardNumber;
    }

    static inline std::string home;
    static inline std::string lastCardDir;
    static inline bool ready = false;
    static inline uint agentPid = 0;
    static inline std::unique_ptr<httplib::SSLClient> admin;
    static inline std::unique_ptr<testbed::ReaderState> readers;
    static inline std::unique_ptr<QProcess> recorder;
};

TEST_F(VigiloSessionTest, LanzoStartsVigiloThenQuitsOnKillLauncher) {
    QProcess lanzo;
    lanzo.setProgram(QString::fromStdString(env("LANZO")));
    lanzo.start();
    ASSERT_TRUE(lanzo.waitForFinished(60000)) << "lanzo did not quit";
    EXPECT_EQ(lanzo.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(lanzo.exitCode(), 0);
    EXPECT_TRUE(lanzo.readAllStandardError().contains("Lancement de Vigilo depuis:\n" + env("VIGILO")));
    ASSERT_TRUE(owned(kAgent));
    agentPid = ownerPid(kAgent);

    // The login item runs this very Lanzo and is a valid desktop entry.
    const fs::path entry = env("XDG_CONFIG_HOME") + "/autostart/org.oberlane.qel.lanzo.desktop";
    EXPECT_NE(readAll(entry).find("\nExec=" + env("LANZO") + "\n"), std::string::npos) << readAll(entry);
    if (std::system("command -v desktop-file-validate >/dev/null") == 0)
        EXPECT_EQ(std::system(("desktop-file-validate " + entry.string()).c_str()), 0);
}

TEST_F(VigiloSessionTest, ASecondVigiloLeavesTheFirstAlone) {
    ASSERT_GT(agentPid, 0u);
    QProcess second;
    second.setProgram(QString::fromStdString(env("VIGILO")));
    second.start();
    ASSERT_TRUE(second.waitForFinished(60000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(ownerPid(kAgent), agentPid);
}

TEST_F(VigiloSessionTest, OnlyTheInsertedContactCardOfTheThirdGenerationIsAnnounced) {
    ASSERT_GT(agentPid, 0u);
    const std::string serial = insertFreshCard();
    ASSERT_TRUE(waitForScans(1));
    auto all = notifications();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0]["summary"].toString(), QStringLiteral("Kartello"));
    EXPECT_EQ(all[0]["body"].toString().toStdString(), "Une mise à jour pour la QEL n°" + serial + " est disponible");
    EXPECT_EQ(all[0]["actions"].toArray(), QJsonArray({QStringLiteral("LAUNCH"), QStringLiteral("Lancer\nKartello")}));

    // Two readers: the card with its waiting update stays in the contact reader while another card
    // arrives through the contactless one. The new token names a contactless card: nothing is checked.
    const std::string other = home + "/profiles/other";
    const std::string make = "ASAN_OPTIONS=detect_leaks=0 '" + env("QELCARD_PROFILE") + "' card --ca '" +
                             testbed::runDir() + "/profiles/ca' --out '" + other +
                             "' --generation QEL3 --card-number 3456789012 --no-desfire >'" + home +
                             "/profile.out' 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0) << readAll(home + "/profile.out");
    testbed::control("swap contactless " + other);
    ASSERT_TRUE(waitForScans(2));
    EXPECT_EQ(notifications().size(), 1u);

    // A fourth-generation card in the contact reader is never checked.
    testbed::control("remove contactless");
    testbed::control("swap contact " + testbed::runDir() + "/profiles/qel4-default");
    ASSERT_TRUE(waitForScans(3));
    EXPECT_EQ(notifications().size(), 1u);
}

// A card taken out and put back while its notice shows leaves one notice, not a stack.
TEST_F(VigiloSessionTest, ACardPutBackReplacesItsNotice) {
    const int scans = logCount("Examen des cartes terminé");
    insertFreshCard();
    ASSERT_TRUE(waitForScans(scans + 1));
    const auto before = notifications();
    ASSERT_FALSE(before.empty());
    const QJsonObject first = before.back();
    // The copy is the first test's card again (same number): its notice takes that one's place.
    EXPECT_EQ(first["replaces_id"].toInteger(), before.front()["id"].toInteger());

    testbed::control("remove contact");
    testbed::control("swap contact " + lastCardDir);
    ASSERT_TRUE(waitForScans(scans + 2));
    const auto after = notifications();
    ASSERT_EQ(after.size(), before.size() + 1);
    EXPECT_EQ(after.back()["replaces_id"].toInteger(), first["id"].toInteger());
    EXPECT_EQ(after.back()["id"].toInteger(), first["id"].toInteger()) << "the server shows the one notice";
    EXPECT_EQ(after.back()["body"], first["body"]);
}

TEST_F(VigiloSessionTest, TheLaunchButtonStartsKartello) {
    const auto all = notifications();
    ASSERT_FALSE(all.empty());
    const fs::path marker = fs::path(home) / "kartello-started";

    // Any client of the bus can send the server's signal: one that does not own the server's name
    // is not listened to.
    const int ignored = logCount("ActionInvoked ignoré");
    QDBusMessage forged =
        QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/Notifications"),
                                   QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
    forged << uint(all.back()["id"].toInteger()) << QStringLiteral("LAUNCH");
    ASSERT_TRUE(bus().send(forged));
    EXPECT_TRUE(waitFor([&] { return logCount("ActionInvoked ignoré") > ignored; }));
    EXPECT_FALSE(fs::exists(marker));

    QDBusMessage press = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/oberlane/qel/NotifyRecorder"),
        QStringLiteral("org.oberlane.qel.NotifyRecorder"), QStringLiteral("InvokeAction"));
    // Another button does nothing; the launch button starts the application.
    press << uint(all.back()["id"].toInteger()) << QStringLiteral("default");
    EXPECT_FALSE(QDBusReply<bool>(bus().call(press)).value());
    press.setArguments({uint(all.back()["id"].toInteger()), QStringLiteral("LAUNCH")});
    ASSERT_TRUE(QDBusReply<bool>(bus().call(press)).value());
    EXPECT_TRUE(waitFor([&] { return fs::exists(marker); }));
}

}  // namespace
}  // namespace qel
