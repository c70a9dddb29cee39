// qel run as support staff run it: the program itself, on the stand-in issuer library, pcscd with the
// virtual readers and the card daemon's cards. Every card command names the contact reader, so a real
// reader plugged in beside the virtual ones changes nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/pcsc/slot_manager.h"
#include "sim/card/profile.h"
#include "tests/support/testbed_slots.h"

extern char** environ;

namespace qel::test {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
namespace fs = std::filesystem;

const std::string kReader = "--reader=" + testbed::kContactReader;

std::string home() { return std::getenv("HOME"); }

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/// What one run of qel gave.
struct QelRun {
    int status = -1;
    std::string out;
    std::string err;
    /// Standard output as the JSON document `--json` promises (a failed test when it is not one).
    Json json() const {
        Json document = Json::parse(out, nullptr, false);
        EXPECT_FALSE(document.is_discarded()) << "not JSON: " << out;
        return document;
    }
};

/// Runs qel with `arguments` in a session of its own (no controlling terminal, as under cron or
/// ssh without a tty), standard input closed, `pinInput` readable on descriptor 3 when given, and
/// the environment changed by `environment` ("NAME=value").
QelRun qel(const std::vector<std::string>& arguments, const std::optional<std::string>& pinInput = std::nullopt,
           const std::vector<std::string>& environment = {}) {
    static int counter = 0;
    fs::create_directories(home() + "/runs");
    const std::string base = home() + "/runs/" + std::to_string(++counter);
    const std::string outPath = base + ".out", errPath = base + ".err";

    std::map<std::string, std::string> variables;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        variables[entry.substr(0, entry.find('='))] = entry;
    }
    for (const std::string& entry : environment) variables[entry.substr(0, entry.find('='))] = entry;
    std::vector<std::string> envText;
    for (const auto& [name, entry] : variables) envText.push_back(entry);
    std::vector<char*> envp;
    for (std::string& entry : envText) envp.push_back(entry.data());
    envp.push_back(nullptr);

    std::vector<std::string> argText{std::getenv("QEL_CLI")};
    argText.insert(argText.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : argText) argv.push_back(word.data());
    argv.push_back(nullptr);

    int pinPipe[2] = {-1, -1};
    if (pinInput) {
        EXPECT_EQ(::pipe(pinPipe), 0);
        // A PIN line fits the pipe's buffer: nothing waits for the reader.
        EXPECT_EQ(::write(pinPipe[1], pinInput->data(), pinInput->size()), static_cast<ssize_t>(pinInput->size()));
        ::close(pinPipe[1]);
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (pinPipe[0] >= 0) ::dup2(pinPipe[0], 3);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (pinPipe[0] >= 0) ::close(pinPipe[0]);
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    QelRun run;
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    run.out = readWhole(outPath);
    run.err = readWhole(errPath);
    return run;
}

/// A services test on the contact reader with the PIN given on descriptor 3.
QelRun servicesTest(const std::string& pin, bool json = false) {
    std::vector<std::string> arguments{kReader, "services-test", "--pin-fd", "3"};
    if (json) arguments.insert(arguments.begin(), "--json");
    return qel(arguments, pin + "\n");
}

/// The report from its holder section on: what does not depend on how many readers the machine has.
std::string fromHolderSection(const std::string& report) {
    const auto at = report.find("\n\nLecture des données porteur:\n");
    return at == std::string::npos ? std::string() : report.substr(at);
}

// Bad command lines are refused before any card or library is touched, with the usage status.
TEST(QelCommandLine, RefusesBadUsageAndDocumentsItsExitStatuses) {
    struct Case {
        std::vector<std::string> arguments;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{}, "no command given"},
        {{"frobnicate"}, "unknown command"},
        {{"cache", "empty"}, "unknown command"},
        {{"info", "extra"}, "wrong number of arguments"},
        {{"info", "--verbose"}, "unknown option --verbose"},
        // A code on the command line would be readable by every user of the machine.
        {{"services-test", "--pin", "1234"}, "never taken from the command line"},
        {{"services-test", "--pin=1234"}, "never taken from the command line"},
        {{"info", "--pin-fd", "3"}, "--pin-fd goes with services-test only"},
        {{"services-test", "--pin-fd", "three"}, "file descriptor number"},
        {{"services-test", "--pin-fd"}, "needs a value"},
        {{"info", "--yes"}, "--yes goes with trust install only"},
        {{"cache", "clear", "../../etc"}, "not a card serial"},
    };
    for (const Case& c : cases) {
        const QelRun human = qel(c.arguments);
        EXPECT_EQ(human.status, 2) << human.err;
        EXPECT_NE(human.err.find(c.says), std::string::npos) << human.err;
        EXPECT_EQ(human.err.find("1234"), std::string::npos) << "the code was repeated: " << human.err;
        std::vector<std::string> asJson = c.arguments;
        asJson.insert(asJson.begin(), "--json");
        const QelRun json = qel(asJson);
        EXPECT_EQ(json.status, 2);
        EXPECT_EQ(json.json()["status"], "usage");
        EXPECT_EQ(json.json()["exitCode"], 2);
        EXPECT_NE(json.json()["error"].get<std::string>().find(c.says), std::string::npos);
    }

    // --help and the man page list the same statuses, each once.
    const QelRun help = qel({"--help"});
    ASSERT_EQ(help.status, 0);
    for (const char* command : {"info", "pin-status", "services-test", "diag", "cache clear", "trust install",
                                "update check", "--pin-fd", "--json", "--reader"})
        EXPECT_NE(help.out.find(command), std::string::npos) << command;
    std::set<int> helpStatuses, manStatuses;
    const std::regex helpLine(R"(\n  ([0-9])  )"), manLine(R"(\n\.TP\n\.B ([0-9])\n)");
    for (std::sregex_iterator i(help.out.begin(), help.out.end(), helpLine), end; i != end; ++i)
        EXPECT_TRUE(helpStatuses.insert(std::stoi((*i)[1])).second);
    const std::string man = readWhole(std::string(std::getenv("QEL_SOURCE_DIR")) + "/cli/qel.1");
    for (std::sregex_iterator i(man.begin(), man.end(), manLine), end; i != end; ++i)
        EXPECT_TRUE(manStatuses.insert(std::stoi((*i)[1])).second);
    EXPECT_EQ(helpStatuses, (std::set<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(manStatuses, helpStatuses);
}

class QelCliTest : public ::testing::Test {
public:
    static void SetUpTestSuite() { savedReaders = std::make_unique<testbed::ReaderState>(); }
    static void TearDownTestSuite() { savedReaders.reset(); }

    void SetUp() override {
        if (!testbed::daemonRuns()) GTEST_SKIP() << "no card daemon in the testbed";
        remove();
    }

    /// A private copy of a testbed profile with full PIN counters, in the contact reader; `pin`
    /// replaces its PIN.
    sim::Profile insert(const std::string& name, const std::string& pin = "", const std::string& reader = "contact") {
        static int counter = 0;
        const std::string dir = home() + "/cli-profiles/" + std::to_string(++counter) + "-" + name;
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::copy(testbed::runDir() + "/profiles/" + name, dir, fs::copy_options::recursive);
        fs::remove(dir + "/state.json");
        if (!pin.empty()) {
            Json description = Json::parse(readWhole(dir + "/profile.json"));
            description["pin"]["code"] = pin;
            std::ofstream(dir + "/profile.json", std::ios::trunc) << description.dump(2);
        }
        remove(reader);
        EXPECT_TRUE(testbed::insertCard(slots, reader, dir)) << "no card in the " << reader << " reader";
        return sim::loadProfile(dir);
    }
    void remove(const std::string& reader = "contact") { testbed::removeCard(slots, reader); }
    static std::string readerName(const std::string& reader) { return testbed::readerName(reader); }

    static std::unique_ptr<testbed::ReaderState> savedReaders;
    pcsc::SlotManager slots;
};
std::unique_ptr<testbed::ReaderState> QelCliTest::savedReaders;

TEST_F(QelCliTest, InfoShowsTheReadersTheHolderAndTheValidity) {
    const sim::Profile profile = insert("qel3-default");
    const std::string name = profile.holder.lastName + " " + profile.holder.usualFirstName;

    const QelRun human = qel({"info", kReader});
    ASSERT_EQ(human.status, 0) << human.err;
    EXPECT_NE(human.out.find("  * " + testbed::kContactReader + " (card)\n"), std::string::npos) << human.out;
    EXPECT_NE(human.out.find("Holder:      " + name + "\n"), std::string::npos) << human.out;
    EXPECT_NE(human.out.find("Card number: " + profile.cardNumber + "\n"), std::string::npos);
    EXPECT_NE(human.out.find("Serial:      " + profile.cardSerial() + "\n"), std::string::npos);
    EXPECT_NE(human.out.find(" (valid)\n"), std::string::npos);
    EXPECT_NE(human.out.find("PIN:         usable\n"), std::string::npos);
    // OpenSSH's first choice, rsa-sha2-512, is one the card cannot sign: the hint names the setting.
    EXPECT_NE(human.out.find("ssh -o PubkeyAcceptedAlgorithms=rsa-sha2-256 HOST\n"), std::string::npos) << human.out;
    EXPECT_TRUE(human.err.empty()) << human.err;

    const QelRun json = qel({"--json", "info", kReader});
    ASSERT_EQ(json.status, 0);
    const Json info = json.json();
    EXPECT_EQ(info["status"], "ok");
    EXPECT_EQ(info["reader"], testbed::kContactReader);
    EXPECT_EQ(info["holder"]["name"], name);
    EXPECT_EQ(info["holder"]["cardNumber"], profile.cardNumber);
    EXPECT_EQ(info["card"]["cardFullNumber"], profile.cardSerial());
    EXPECT_EQ(info["card"]["contact"], true);
    EXPECT_EQ(info["holder"]["valid"], true);
    EXPECT_EQ(info["holder"]["testCard"], profile.testCard);
    EXPECT_EQ(info["pin"]["state"], "ok");
    bool listed = false;
    for (const Json& reader : info["readers"])
        listed = listed || (reader["name"] == testbed::kContactReader && reader["card"] == true);
    EXPECT_TRUE(listed) << info["readers"].dump();

    // A card past its expiry is read all the same, and said to be expired.
    insert("qel3-expired");
    const QelRun expired = qel({"info", kReader});
    ASSERT_EQ(expired.status, 0) << expired.err;
    EXPECT_NE(expired.out.find(" (EXPIRED)\n"), std::string::npos) << expired.out;
    EXPECT_EQ(qel({"--json", "info", kReader}).json()["holder"]["valid"], false);

    // A QEL4 held to the contactless reader answers the smart-card service only: its contactless
    // identity is shown, as the main window does.
    const sim::Profile qel4 = insert("qel4-default", "", "contactless");
    const std::string contactless = "--reader=" + testbed::kContactlessReader;
    const QelRun held = qel({"info", contactless});
    ASSERT_EQ(held.status, 0) << held.err;
    EXPECT_NE(held.out.find("seen through its contactless application only"), std::string::npos) << held.out;
    const Json heldJson = qel({"--json", "info", contactless}).json();
    EXPECT_EQ(heldJson["contactless"]["cardNumber"], qel4.cardNumber);
    EXPECT_EQ(heldJson["reader"], testbed::kContactlessReader);
    remove("contactless");
    const QelRun empty = qel({"--json", "info", contactless});
    EXPECT_EQ(empty.status, 4);
    EXPECT_EQ(empty.json()["status"], "no-card");
}

// The services test gives the window's report; wrong PINs spend the tries down to a blocked card,
// each outcome with its own status, and the PIN never reaches a log.
TEST_F(QelCliTest, ServicesTestAndPinStatusFromAHealthyCardToABlockedOne) {
    // Codes that occur nowhere in the card's data, so that finding one in a log means it leaked.
    const std::string pin = "7319", wrong = "8642";
    const sim::Profile profile = insert("qel3-default", pin);
    ASSERT_EQ(profile.pin.code, pin);

    // Bad PIN input is refused before the card sees anything.
    for (const std::string& input :
         {std::string("12a4"), std::string("123"), std::string("12345"), std::string(100, '1')}) {
        const QelRun refused = servicesTest(input);
        EXPECT_EQ(refused.status, 2) << input;
        EXPECT_NE(refused.err.find("the PIN must be 4 digits"), std::string::npos) << refused.err;
    }
    const QelRun noTerminal = qel({kReader, "services-test"});
    EXPECT_EQ(noTerminal.status, 2);
    EXPECT_NE(noTerminal.err.find("no terminal to read the PIN from"), std::string::npos) << noTerminal.err;
    EXPECT_EQ(qel({"--json", "pin-status", kReader}).json()["pin"]["state"], "ok");

    const QelRun healthy = servicesTest(pin);
    ASSERT_EQ(healthy.status, 0) << healthy.err;
    EXPECT_EQ(healthy.out.rfind("Kartello ", 0), 0u) << healthy.out;
    EXPECT_NE(healthy.out.find("\nTest des services du "), std::string::npos);
    // The same report as the window's, for the same card.
    const std::string windowReport =
        readWhole(std::string(std::getenv("QEL_SOURCE_DIR")) + "/tests/app_integration/services_report_healthy.txt");
    EXPECT_EQ(fromHolderSection(healthy.out), fromHolderSection(windowReport) + "\n");
    const Json healthyJson = servicesTest(pin, true).json();
    EXPECT_EQ(healthyJson["status"], "ok");
    EXPECT_EQ(healthyJson["login"], "CKR_OK");
    EXPECT_TRUE(healthyJson["failedCalls"].empty());
    EXPECT_EQ(fromHolderSection(healthyJson["report"]), fromHolderSection(windowReport));

    const QelRun first = servicesTest(wrong);
    EXPECT_EQ(first.status, 5);
    EXPECT_NE(first.err.find("the card refused the PIN"), std::string::npos) << first.err;
    EXPECT_NE(first.out.find("C_Login:\t\t\t\t⛔️ CKR_PIN_INCORRECT"), std::string::npos);
    // No situations without a login; the later steps still run.
    EXPECT_NE(first.out.find("C_GenerateRandom:\t✅ CKR_OK"), std::string::npos);
    const Json second = servicesTest(wrong, true).json();
    EXPECT_EQ(second["status"], "wrong-pin");
    EXPECT_EQ(second["exitCode"], 5);
    EXPECT_EQ(second["failedCalls"], Json::array({"C_Login"}));
    EXPECT_NE(second["error"].get<std::string>().find("last try"), std::string::npos) << second["error"];

    const QelRun lastTry = qel({"pin-status", kReader});
    EXPECT_EQ(lastTry.status, 0);
    EXPECT_NE(lastTry.out.find("PIN: usable, last try before the card blocks"), std::string::npos) << lastTry.out;
    EXPECT_EQ(qel({"--json", "pin-status", kReader}).json()["pin"]["state"], "last-try");

    EXPECT_EQ(servicesTest(wrong).status, 6);
    // Blocked: even the right PIN is refused now.
    const QelRun blocked = servicesTest(pin);
    EXPECT_EQ(blocked.status, 6);
    EXPECT_NE(blocked.err.find("the card is blocked"), std::string::npos) << blocked.err;
    const QelRun status = qel({"pin-status", kReader});
    EXPECT_EQ(status.status, 6);
    EXPECT_NE(status.out.find("PIN: blocked"), std::string::npos) << status.out;
    const Json statusJson = qel({"--json", "pin-status", kReader}).json();
    EXPECT_EQ(statusJson["status"], "card-blocked");
    EXPECT_EQ(statusJson["pin"]["blocked"], true);
    EXPECT_EQ(statusJson["pin"]["definitivelyBlocked"], false);
    // The card is still shown, blocked.
    const QelRun info = qel({"info", kReader});
    EXPECT_EQ(info.status, 0);
    EXPECT_NE(info.out.find("PIN:         blocked"), std::string::npos) << info.out;

    // Neither the PIN nor the wrong one, as text or as the bytes of a VERIFY, is in any log.
    for (const auto& file : fs::recursive_directory_iterator(std::string(std::getenv("XDG_STATE_HOME")))) {
        if (!file.is_regular_file()) continue;
        const std::string text = readWhole(file.path());
        for (const std::string& code : {pin, wrong}) {
            std::string asHex;
            for (char c : code) asHex += std::to_string(30 + (c - '0'));
            EXPECT_EQ(text.find(asHex), std::string::npos) << file.path();
            std::istringstream lines(text);
            for (std::string line; std::getline(lines, line);)
                if (line.find("PIN") != std::string::npos || line.find("Login") != std::string::npos)
                    EXPECT_EQ(line.find(code), std::string::npos) << file.path() << ": " << line;
        }
    }
}

TEST_F(QelCliTest, NoReaderNoCardAndNoLibraryEachHaveTheirStatus) {
    // No card in the reader named, for every command that reads the card.
    const std::vector<std::vector<std::string>> cardCommands = {
        {"info"}, {"pin-status"}, {"services-test", "--pin-fd", "3"}, {"trust", "install"}, {"update", "check"}};
    for (std::vector<std::string> command : cardCommands) {
        command.insert(command.begin(), kReader);
        const QelRun human = qel(command, std::string("1234\n"));
        EXPECT_EQ(human.status, 4) << command[1] << ": " << human.err;
        EXPECT_NE(human.err.find("no card in the reader \"" + testbed::kContactReader + "\""), std::string::npos)
            << human.err;
        command.insert(command.begin(), "--json");
        const Json json = qel(command, std::string("1234\n")).json();
        EXPECT_EQ(json["status"], "no-card") << command[2];
        EXPECT_EQ(json["exitCode"], 4);
    }

    // A reader that does not exist.
    const QelRun unknown = qel({"pin-status", "--reader", "No Such Reader 99"});
    EXPECT_EQ(unknown.status, 3);
    EXPECT_NE(unknown.err.find("no reader named \"No Such Reader 99\""), std::string::npos) << unknown.err;
    EXPECT_NE(unknown.err.find(testbed::kContactReader), std::string::npos) << "the readers are listed";

    // No smart-card service at all: no reader, whatever the command.
    const std::vector<std::string> noService = {"PCSCLITE_CSOCK_NAME=" + home() + "/no-pcscd/pcscd.comm"};
    for (const char* command : {"info", "pin-status"}) {
        const QelRun gone = qel({command}, std::nullopt, noService);
        EXPECT_EQ(gone.status, 3) << command << ": " << gone.err;
        EXPECT_NE(gone.err.find("no card reader found"), std::string::npos) << gone.err;
        EXPECT_EQ(qel({"--json", command}, std::nullopt, noService).json()["status"], "no-reader");
    }

    // The issuer library missing.
    const QelRun noLibrary =
        qel({"info"}, std::nullopt, {"QEL_PKCS11_LIBRARY=" + home() + "/missing/libqel3_pkcs11.so"});
    EXPECT_EQ(noLibrary.status, 8);
    EXPECT_NE(noLibrary.err.find("cannot load the issuer PKCS#11 library"), std::string::npos) << noLibrary.err;
}

TEST_F(QelCliTest, SupportCommandsCacheDiagnosticsTrustAndUpdate) {
    const sim::Profile profile = insert("qel3-default");

    // The card file cache: one card's folder, then every card's.
    const std::string root = std::string(std::getenv("XDG_CACHE_HOME")) + "/sigilla/OLMA";
    auto makeCache = [&](const std::string& serial) {
        fs::create_directories(root + "/" + serial);
        fs::permissions(std::string(std::getenv("XDG_CACHE_HOME")) + "/sigilla", fs::perms::owner_all);
        fs::permissions(root, fs::perms::owner_all);
        fs::permissions(root + "/" + serial, fs::perms::owner_all);
        std::ofstream(root + "/" + serial + "/3F0000017002") << "x";
    };
    makeCache(profile.cardSerial());
    makeCache("80250000019999999999");
    const Json one = qel({"--json", "cache", "clear", profile.cardSerial()}).json();
    EXPECT_EQ(one["status"], "ok");
    EXPECT_EQ(one["cardsCleared"], 1);
    EXPECT_FALSE(fs::exists(root + "/" + profile.cardSerial()));
    EXPECT_TRUE(fs::exists(root + "/80250000019999999999"));
    const QelRun again = qel({"cache", "clear", profile.cardSerial()});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, "No cache for card " + profile.cardSerial() + "\n");
    const QelRun all = qel({"cache", "clear"});
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(all.out, "Cache cleared (1 card)\n");
    EXPECT_FALSE(fs::exists(root + "/80250000019999999999"));

    // The diagnostics archive, in the download folder named by the user's settings, holds qel's log.
    const std::string downloads = home() + "/Téléchargements";
    const std::vector<std::string> downloadDir = {"XDG_DOWNLOAD_DIR=" + downloads};
    const QelRun diag = qel({"diag"}, std::nullopt, downloadDir);
    ASSERT_EQ(diag.status, 0) << diag.err;
    EXPECT_EQ(diag.out.rfind("Diagnostics archive written: " + downloads + "/KartelloStoreTraces-", 0), 0u) << diag.out;
    const Json diagJson = qel({"--json", "diag"}, std::nullopt, downloadDir).json();
    const std::string archive = diagJson["archive"];
    EXPECT_EQ(archive.substr(archive.size() - 4), ".zip");
    ASSERT_TRUE(fs::exists(archive));
    const QelRun listing = qel({"--json", "diag"}, std::nullopt, {"XDG_DOWNLOAD_DIR=/proc/no-downloads-here"});
    EXPECT_EQ(listing.status, 1);
    EXPECT_EQ(listing.json()["status"], "failure");

    // The issuer chain, in a new database: refused without a terminal to agree on, then installed
    // with --yes, then there.
    const std::string data = home() + "/trust-data";
    fs::remove_all(data);
    fs::create_directories(data + "/pki/nssdb");
    const std::vector<std::string> nss = {"XDG_DATA_HOME=" + data};
    const QelRun refused = qel({"--json", kReader, "trust", "install"}, std::nullopt, nss);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.json()["error"].get<std::string>().find("--yes"), std::string::npos);
    EXPECT_TRUE(refused.json()["added"].empty());
    EXPECT_FALSE(refused.json()["chain"].empty());
    EXPECT_EQ(refused.json()["database"], data + "/pki/nssdb");
    const QelRun installed = qel({kReader, "--yes", "trust", "install"}, std::nullopt, nss);
    ASSERT_EQ(installed.status, 0) << installed.err;
    EXPECT_NE(installed.out.find(": added, now a trusted authority\n"), std::string::npos) << installed.out;
    const Json present = qel({"--json", kReader, "--yes", "trust", "install"}, std::nullopt, nss).json();
    EXPECT_EQ(present["status"], "ok");
    EXPECT_TRUE(present["added"].empty());
    EXPECT_EQ(present["trustedRoot"], "");
    EXPECT_EQ(present["chain"], refused.json()["chain"]);

    // The update check, against the testbed's update service when it runs.
    const std::string port = readWhole(testbed::runDir() + "/tmaj-sim.port");
    const std::string ca = testbed::runDir() + "/tmaj-ca.pem";
    if (port.empty()) GTEST_SKIP() << "no update service in the testbed";
    const std::vector<std::string> service = {"QEL_TMAJ_BASE_URL=https://127.0.0.1:" + port.substr(0, port.find('\n')),
                                              "QEL_TMAJ_CA_FILE=" + ca};
    const Json check = qel({"--json", kReader, "update", "check"}, std::nullopt, service).json();
    EXPECT_EQ(check["status"], "ok") << check.dump();
    const std::string serial = qel({"--json", "info", kReader}).json()["card"]["serial"];
    EXPECT_EQ(check["serial"], serial);
    // Whether an update waits depends on what the service did with this card before.
    ASSERT_TRUE(check["updateAvailable"].is_boolean()) << check.dump();
    const QelRun bySerial = qel({"update", "check", serial}, std::nullopt, service);
    EXPECT_EQ(bySerial.status, 0) << bySerial.err;
    EXPECT_EQ(bySerial.out,
              "Card " + serial + ": " +
                  (check["updateAvailable"] == true ? "an update is available (run it from Kartello)" : "up to date") +
                  "\n");
    const QelRun unreachable = qel({kReader, "update", "check"}, std::nullopt,
                                   {"QEL_TMAJ_BASE_URL=https://127.0.0.1:1", "QEL_TMAJ_CA_FILE=" + ca});
    EXPECT_EQ(unreachable.status, 7);
    EXPECT_NE(unreachable.err.find("did not answer"), std::string::npos) << unreachable.err;
}

}  // namespace
}  // namespace qel::test
