// The authentication service through the testbed: the virtual card behind Sigilla, registered with
// p11-kit, is the TLS client identity towards vek-sim. The client runs as an ordinary user with
// Sigilla in its own p11-kit registrations (p11-kit reads none for root), after Kartello's PIN step
// through the stand-in issuer library, exactly as Kartello's process would have it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "sim/card/profile.h"
#include "tests/issuerlib/softhsm_token.h"
#include "tests/support/testbed_client.h"
#include "tests/token/integration_support.h"

namespace qel::vektest {
namespace {

namespace fs = std::filesystem;
using sigillatest::freshProfile;
using sigillatest::putCard;
// A word for the shell (std::quoted would be found for std::string arguments otherwise).
std::string shellWord(const std::string& word) { return sigillatest::quoted(word); }

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string envOr(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

/// The probe's answer: its key=value lines; handshake_us may come several times.
struct Probe {
    int exitStatus = -1;
    std::string output;
    std::map<std::string, std::string> values;
    std::vector<long> handshakesUs;

    std::string operator[](const std::string& key) const {
        auto it = values.find(key);
        return it == values.end() ? std::string() : it->second;
    }
};

/// A plain HTTP call to the simulator's admin server, with curl.
std::string admin(const std::string& method, const std::string& path, const std::string& body = "") {
    const std::string port = fileText(testbed::runDir() + "/vek-sim.admin-port");
    const std::string out = sigillatest::scratch() + "/admin.out";
    const std::string line = "curl -s -X " + method + " --data-binary " + shellWord(body) +
                             " http://127.0.0.1:" + port.substr(0, port.find('\n')) + path + " > " + shellWord(out);
    if (std::system(line.c_str()) != 0) return "<admin unreachable>";
    return fileText(out);
}

class VekService : public ::testing::Test {
protected:
    // Files the probe reads as an ordinary user: keys, certificates and scripts.
    static void SetUpTestSuite() {
        char folder[] = "/tmp/vek-tls-files-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        files_ = folder;
        chmod(files_.c_str(), 0755);
        // A second registered module with pairs of its own, labelled as a card's are: the system
        // registers SoftHSM2, and the probe inherits SOFTHSM2_CONF, so its store is this one.
        if (test::SoftHsmStore::available()) {
            test::SoftHsmStore store(files_ + "/softhsm");
            store.initToken("Poste");
            store.writeCertificate("Poste", "Cle de Signature QEL", "c001", "Foreign Signature", true);
            store.writeCertificate("Poste", "Cle Authentification QEL", "c002", "Foreign Authentication", true);
            std::system(("chmod -R a+rwX " + shellWord(files_ + "/softhsm")).c_str());
        }
    }
    static void TearDownTestSuite() { fs::remove_all(files_); }

    void SetUp() override {
        ASSERT_TRUE(testbed::daemonRuns()) << "the card daemon of the testbed is not running";
        ASSERT_TRUE(fs::exists(testbed::runDir() + "/vek-sim.port")) << "vek-sim is not running in the testbed";
        ASSERT_EQ(admin("POST", "/admin/clear"), "ok");
    }

    static std::string serviceUrl(const std::string& path) {
        const std::string port = fileText(testbed::runDir() + "/vek-sim.port");
        return "https://127.0.0.1:" + port.substr(0, port.find('\n')) + "/api/ulmora-authentication" + path;
    }

    /// Runs the probe as an ordinary user; with a PIN, Kartello's PIN step comes first, and the lines
    /// of `script` follow the PIN on the probe's input.
    static Probe probe(const std::string& arguments, const std::string& pin = "", const std::string& script = "") {
        // An ordinary user in a private home with Sigilla registered: p11-kit reads no user
        // registration for root.
        const std::string asUser = "env QEL_VEK_CA_FILE=" + shellWord(testbed::runDir() + "/vek-ca.pem") +
                                   " ASAN_OPTIONS=detect_leaks=0 sh " +
                                   shellWord(envOr("QEL_SOURCE_DIR") + "/tests/support/as_ordinary_user.sh") + " " +
                                   shellWord(sigillatest::modulePath()) + " ";
        std::string line = asUser + shellWord(envOr("VEK_TLS_PROBE")) + " " + arguments;
        if (!pin.empty())
            line = "{ printf '%s\\n' " + shellWord(pin) + "; " +
                   (script.empty() ? "" : "cat " + shellWord(script) + "; ") + "} | " + line + " --issuer-library " +
                   shellWord(envOr("QEL_ISSUER_LIBRARY"));
        else
            line += " < " + (script.empty() ? std::string("/dev/null") : shellWord(script));
        const sigillatest::Outcome outcome = sigillatest::run("sh -c " + shellWord(line));
        Probe p;
        p.exitStatus = outcome.status;
        p.output = outcome.output;
        std::istringstream lines(outcome.output);
        for (std::string l; std::getline(lines, l);) {
            const std::size_t eq = l.find('=');
            if (eq == std::string::npos) continue;
            if (l.compare(0, eq, "handshake_us") == 0)
                p.handshakesUs.push_back(std::stol(l.substr(eq + 1)));
            else
                p.values[l.substr(0, eq)] = l.substr(eq + 1);
        }
        return p;
    }

    static std::string holderOf(const std::string& profileDir) {
        return sim::loadProfile(profileDir).holder.identifier();
    }

    static std::string pendingFor(const std::string& idNat, const std::string& token, const std::string& card) {
        return "--url " + shellWord(serviceUrl("/authentications/ciba/requests/pending")) + " --header " +
               shellWord("X-Authenticated-User: " + idNat) + " --issuer-token " + shellWord(token) + " --card " +
               shellWord(card);
    }

    testbed::ReaderState readers_;
    static std::string files_;
};

std::string VekService::files_;

// Each generation's card signs its own handshake: the third with PKCS#1 v1.5 in TLS 1.2 (it has no
// PSS), the fourth with PSS in TLS 1.3. The service knows the holder by the card's certificate.
TEST_F(VekService, TheCardSignsTheHandshakeWithWhatItsGenerationCan) {
    struct Case {
        const char* profile;
        const char* token;
        const char* protocol;
        const char* signature;
    };
    for (const Case& c :
         {Case{"qel3-default", "QEL3", "TLSv1.2", "RSA-PKCS1"}, Case{"qel4-default", "QEL4", "TLSv1.3", "RSA-PSS"}}) {
        SCOPED_TRACE(c.profile);
        const std::string profile = freshProfile(c.profile);
        putCard("contact", profile);
        const std::string idNat = holderOf(profile);
        const std::string notification = std::string("n-") + c.token;
        ASSERT_EQ(admin("POST", "/admin/request",
                        R"({"idNat":")" + idNat + R"(","notificationId":")" + notification +
                            R"(","serviceName":"Portail de test"})"),
                  "ok");
        const std::size_t logBefore = fileText(testbed::runDir() + "/vek-sim.log").size();

        const std::string serial = sigillatest::cardSerialOf(profile);
        Probe p = probe(pendingFor(idNat, c.token, serial) + " --repeat 3", "1234");
        std::cout << p.output;
        ASSERT_EQ(p["issuer_login"], "ok") << p.output;
        EXPECT_EQ(p["status"], "200") << p.output;
        EXPECT_NE(p["body"].find(notification), std::string::npos) << p.output;
        EXPECT_EQ(p["tls"], c.protocol) << p.output;
        EXPECT_EQ(p["signature"], c.signature) << p.output;
        EXPECT_EQ(p["identity"].rfind(c.token, 0), 0u) << p.output;
        EXPECT_NE(p["identity"].find("(libsigilla-pkcs11.so)"), std::string::npos) << p.output;
        // Sigilla only: no other registered module is loaded (nor touched, nor logged in).
        EXPECT_EQ(p["modules"], "libsigilla-pkcs11.so") << p.output;
        // Every new connection is a full handshake signed by the card, none resumed.
        EXPECT_EQ(p.handshakesUs.size(), 3u) << p.output;

        const std::string log = fileText(testbed::runDir() + "/vek-sim.log").substr(logBefore);
        const sim::Profile card = sim::loadProfile(profile);
        EXPECT_NE(log.find("serialNumber=" + idNat), std::string::npos) << log;
        EXPECT_NE(log.find(card.holder.usualFirstName + " " + card.holder.lastName), std::string::npos) << log;
        EXPECT_NE(log.find(std::string(c.protocol) + " client signature " + c.signature + "/SHA256"), std::string::npos)
            << log;

        // The certificate names the holder: another identifier in the header is refused.
        Probe other =
            probe("--url " + shellWord(serviceUrl("/authentications/ciba/requests/pending")) +
                      " --header 'X-Authenticated-User: 899999999999' --issuer-token " + c.token + " --card " + serial,
                  "1234");
        EXPECT_EQ(other["status"], "403") << other.output;
        EXPECT_NE(other["body"].find("BUSI-AUTHENT-7"), std::string::npos) << other.output;

        // The figure for the note: the same handshake with the same certificate's key in software.
        const std::string softCert = files_ + "/" + c.token + "-authentication.cer";
        const std::string softKey = files_ + "/" + c.token + "-authentication.pem";
        fs::copy_file(profile + "/certs/authentication.cer", softCert, fs::copy_options::overwrite_existing);
        fs::copy_file(profile + "/keys/authentication.pem", softKey, fs::copy_options::overwrite_existing);
        chmod(softKey.c_str(), 0644);
        Probe software = probe("--url " + shellWord(serviceUrl("/authentications/ciba/requests/pending")) +
                               " --header " + shellWord("X-Authenticated-User: " + idNat) + " --software-cert " +
                               shellWord(softCert) + " --software-key " + shellWord(softKey) + " --repeat 3");
        EXPECT_EQ(software["status"], "200") << software.output;
        std::cout << "[ " << c.profile << " handshake µs, card:";
        for (long us : p.handshakesUs) std::cout << " " << us;
        std::cout << "; software key:";
        for (long us : software.handshakesUs) std::cout << " " << us;
        std::cout << " ]\n" << software.output;
    }
}

// The six operations of the sign-in flow through Kartello's runtime, over one card-authenticated
// session: each succeeds against the service, and each fault of the service reaches the caller as an
// ErrorResponse with the status and the body as sent.
TEST_F(VekService, TheFlowOperationsSucceedAndReportEveryFaultOfTheService) {
    const std::string profile = freshProfile("qel4-default");
    putCard("contact", profile);
    const std::string idNat = holderOf(profile);
    // Each command line carries its case's notification id, so that every line is unique; the
    // operations without one take it as a word they ignore.
    const std::vector<std::pair<std::string, std::string>> operations = {
        {"pending", "op pending - N"},
        {"codeState", "op codeState - N"},
        {"challenges", "op challenges N"},
        {"verify", "op verify N 000"},
        {"cardResponse", "op cardResponse N SUCCEED"},
        {"logoutAll", "op logoutAll - N"},
    };
    std::string script =
        "request n1\nop pending\nop codeState\nop challenges n1\nop verify n1 000\n"
        "op verify-right n1\nop cardResponse n1 SUCCEED\nop logoutAll\n"
        "request n2\nop cardResponse n2 CANCELLED\n";
    const std::vector<std::string> faults = {"business=BUSI-AUTHENT-8", "not-json", "status=500", "empty-codes",
                                             "delay=300"};
    for (const std::string& fault : faults) {
        const std::string id = "n-" + fault.substr(0, fault.find('='));
        script += "request " + id + "\n";
        for (const auto& [step, command] : operations)
            script += "fault " + step + ":" + fault + "\n" + std::regex_replace(command, std::regex(" N"), " " + id) +
                      "\nclear-faults\n";
    }
    const std::string scriptFile = files_ + "/flow-script";
    std::ofstream(scriptFile) << script;
    const std::string port = fileText(testbed::runDir() + "/vek-sim.port");
    const std::string adminPort = fileText(testbed::runDir() + "/vek-sim.admin-port");
    const std::string arguments =
        "--service " + shellWord("https://127.0.0.1:" + port.substr(0, port.find('\n')) + "/") + " --admin " +
        shellWord("http://127.0.0.1:" + adminPort.substr(0, adminPort.find('\n'))) + " --holder " + idNat + " --card " +
        sigillatest::cardSerialOf(profile) + " --issuer-token QEL4";
    const Probe p = probe(arguments, "1234", scriptFile);
    std::cout << p.output;
    std::map<std::string, std::string> outcome;
    std::istringstream lines(p.output);
    for (std::string l; std::getline(lines, l);)
        if (const std::size_t at = l.find(" => "); at != std::string::npos) outcome[l.substr(0, at)] = l.substr(at + 4);

    // The flow as Kartello runs it, each step a success.
    EXPECT_EQ(outcome["op pending"], "ok value=n1,");
    EXPECT_EQ(outcome["op codeState"], "ok value=true");
    EXPECT_EQ(outcome["op challenges n1"], "ok value=3codes");
    EXPECT_EQ(outcome["op verify n1 000"], "ok value=invalid");
    EXPECT_EQ(outcome["op verify-right n1"], "ok value=valid");
    EXPECT_EQ(outcome["op cardResponse n1 SUCCEED"], "ok value=none");
    EXPECT_EQ(outcome["op logoutAll"], "ok value=none");
    EXPECT_EQ(outcome["op cardResponse n2 CANCELLED"], "ok value=none");
    const std::string received = admin("GET", "/admin/received");
    EXPECT_NE(received.find(R"("authStatus":"SUCCEED","code":")"), std::string::npos) << received;
    EXPECT_NE(received.find(R"("authStatus":"CANCELLED","code":"")"), std::string::npos) << received;
    EXPECT_NE(received.find(R"("loggedOut":[")" + idNat + "\""), std::string::npos) << received;

    for (const std::string& fault : faults) {
        const std::string id = "n-" + fault.substr(0, fault.find('='));
        for (const auto& [step, command] : operations) {
            const std::string line = std::regex_replace(command, std::regex(" N"), " " + id);
            const std::string& got = outcome[line];
            SCOPED_TRACE(fault + " on " + line + ": " + got);
            if (fault.rfind("business", 0) == 0) {
                EXPECT_EQ(got.rfind("error status=400 body={", 0), 0u);
                EXPECT_NE(got.find(R"("code":"BUSI-AUTHENT-8")"), std::string::npos);
            } else if (fault == "not-json") {
                EXPECT_EQ(got.rfind("error status=502 body=<html>", 0), 0u);
            } else if (fault == "status=500") {
                EXPECT_EQ(got.rfind("error status=500 body={", 0), 0u);
            } else if (fault == "empty-codes" && step == "challenges") {
                EXPECT_EQ(got, "ok value=0codes");
            } else {
                // A slow service is waited for; a switch meant for another step changes nothing.
                EXPECT_EQ(got.rfind("ok value=", 0), 0u);
            }
        }
    }
    EXPECT_EQ(p["identity"].rfind("QEL4", 0), 0u) << p.output;
}

// One process, one card after another in the same reader, as Kartello lives through them: each
// request travels under the card in the reader, never under a connection or a key session an
// earlier card opened; the first card, put back and verified again, is itself again; and with no
// card at all the request is refused before it leaves.
TEST_F(VekService, EachRequestTravelsUnderTheCardInTheReaderNeverAnEarlierOne) {
    const std::string first = freshProfile("qel3-default");
    const std::string second = freshProfile("qel4-default");
    putCard("contact", first);
    const std::string idFirst = holderOf(first), idSecond = holderOf(second);
    const std::string serialFirst = sigillatest::cardSerialOf(first), serialSecond = sigillatest::cardSerialOf(second);
    const std::string meeting = files_ + "/meeting";
    fs::create_directories(meeting);
    chmod(meeting.c_str(), 0777);
    const std::string script = files_ + "/card-after-card";
    std::ofstream(script) << "select " << serialFirst << "\nop pending - first\n"
                          << "mark " << meeting << "/second\n"
                          << "login QEL4 1234\nselect " << serialSecond << "\nholder " << idSecond
                          << "\nop pending - second\n"
                          << "mark " << meeting << "/again\n"
                          << "login QEL3 1234\nselect " << serialFirst << "\nholder " << idFirst
                          << "\nop pending - first again\n"
                          << "mark " << meeting << "/none\nselect none\nop pending - none\n";
    const std::string port = fileText(testbed::runDir() + "/vek-sim.port");
    const std::string arguments = "--service " +
                                  shellWord("https://127.0.0.1:" + port.substr(0, port.find('\n')) + "/") +
                                  " --admin http://127.0.0.1:1 --holder " + idFirst + " --issuer-token QEL3";
    const std::string log = testbed::runDir() + "/vek-sim.log";
    std::size_t logAt = fileText(log).size();
    std::vector<std::string> logs;  // what vek-sim saw in each phase

    // The cards change while the probe waits at its marks.
    Probe p;
    std::thread run([&] { p = probe(arguments, "1234", script); });
    auto reach = [&](const std::string& mark) {
        for (int i = 0; i < 3000 && !fs::exists(meeting + "/" + mark); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const std::string text = fileText(log);
        logs.push_back(text.substr(logAt));
        logAt = text.size();
        return fs::exists(meeting + "/" + mark);
    };
    const bool metSecond = reach("second");
    if (metSecond) putCard("contact", second);
    std::ofstream(meeting + "/second.go") << "go\n";
    const bool metAgain = reach("again");
    if (metAgain) putCard("contact", first);
    std::ofstream(meeting + "/again.go") << "go\n";
    const bool metNone = reach("none");
    if (metNone) {
        std::string error;
        sim::sendControlRequest(testbed::runDir(), "remove contact", std::chrono::seconds(10), error);
    }
    std::ofstream(meeting + "/none.go") << "go\n";
    run.join();
    logs.push_back(fileText(log).substr(logAt));
    std::cout << p.output;
    ASSERT_TRUE(metSecond && metAgain && metNone) << p.output;
    ASSERT_EQ(p["issuer_login"], "ok") << p.output;

    EXPECT_NE(p.output.find("op pending - first => ok value="), std::string::npos) << p.output;
    EXPECT_NE(logs[0].find("(" + idFirst + ")"), std::string::npos) << logs[0];
    // The second card signs its own handshake, never under the first card's.
    EXPECT_NE(p.output.find("login QEL4 1234 => ok"), std::string::npos) << p.output;
    EXPECT_NE(p.output.find("op pending - second => ok value="), std::string::npos) << p.output;
    EXPECT_NE(logs[1].find("(" + idSecond + ")"), std::string::npos) << logs[1];
    EXPECT_EQ(logs[1].find("(" + idFirst + ")"), std::string::npos) << logs[1];
    // The first card again, after its PIN step of the new insertion.
    EXPECT_NE(p.output.find("login QEL3 1234 => ok"), std::string::npos) << p.output;
    EXPECT_NE(p.output.find("op pending - first again => ok value="), std::string::npos) << p.output;
    EXPECT_NE(logs[2].find("(" + idFirst + ")"), std::string::npos) << logs[2];
    EXPECT_EQ(logs[2].find("(" + idSecond + ")"), std::string::npos) << logs[2];
    EXPECT_NE(p.output.find("op pending - none => error status=-1"), std::string::npos) << p.output;
    EXPECT_EQ(logs[3].find("holder"), std::string::npos) << logs[3];
}

// Without a verified card, or without a card, there is no identity: the request fails before its
// handshake, and the client reports a failed transfer (status -1) at once.
TEST_F(VekService, WithoutAVerifiedCardTheServerRefusesTheHandshake) {
    const std::string profile = freshProfile("qel3-default");
    putCard("contact", profile);
    const std::string serial = sigillatest::cardSerialOf(profile);
    Probe unverified = probe(pendingFor(holderOf(profile), "QEL3", serial));
    EXPECT_EQ(unverified["status"], "-1") << unverified.output;
    EXPECT_NE(unverified["curl"].rfind("0 ", 0), 0u) << unverified.output;
    EXPECT_EQ(unverified["identity"], "none") << unverified.output;
    // The same through the runtime: the operation's completion gets a transport ErrorResponse.
    const std::string script = files_ + "/unverified-script";
    std::ofstream(script) << "op pending\n";
    const std::string port = fileText(testbed::runDir() + "/vek-sim.port");
    Probe runtime = probe("--service " + shellWord("https://127.0.0.1:" + port.substr(0, port.find('\n')) + "/") +
                              " --admin http://127.0.0.1:1 --holder " + holderOf(profile) + " --card " + serial,
                          "", script);
    EXPECT_EQ(runtime.output.find("op pending => error status=-1 body=<none>"), 0u) << runtime.output;
    EXPECT_EQ(runtime["identity"], "none") << runtime.output;

    for (const char* reader : {"contact", "contactless"}) {
        std::string error;
        sim::sendControlRequest(testbed::runDir(), std::string("remove ") + reader, std::chrono::seconds(10), error);
    }
    Probe noCard = probe(pendingFor(holderOf(profile), "QEL3", serial));
    EXPECT_EQ(noCard["status"], "-1") << noCard.output;
    EXPECT_EQ(noCard["identity"], "none") << noCard.output;
}

}  // namespace
}  // namespace qel::vektest
