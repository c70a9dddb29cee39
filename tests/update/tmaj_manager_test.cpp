// The update service client against the simulator on loopback HTTPS: the check and its cookie, the
// session end to end on a card that answers like the virtual one, and the service's faults.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/hex.h"
#include "sim/tmaj/tmaj_simulator.h"
#include "tests/support/log_capture.h"
#include "update/tmaj_service.h"

namespace qel {
namespace {

using sim::TmajFault;
using sim::TmajScripts;

// Answers the simulator's scripts as a card would: serial, challenge, holder record kept in memory.
struct ScriptCard : UpdateCard {
    explicit ScriptCard(const sim::Profile& p) : record(TmajScripts::currentNameRecord(p)), profile(p) {}
    std::optional<Bytes> transmit(const Bytes& apdu, bool) override {
        ++transmissions;
        if (pulledAfter >= 0 && transmissions > pulledAfter) return std::nullopt;
        const std::string c = toHex(apdu);
        if (c == "00B000000C") return *fromHex("040A8025000001" + profile.cardNumber + "9000");
        if (c.substr(2) == "84000008") return *fromHex("11223344556677889000");
        if (c == "00A4000002D003") return *fromHex("6104");
        if (c == "00C0000004") return *fromHex("620280009000");
        if (c.rfind("00B00000", 0) == 0 && c.size() == 10) {
            Bytes out = record;
            out.push_back(0x90);
            out.push_back(0x00);
            return out;
        }
        if (c.rfind("00D60000", 0) == 0) {
            record = *fromHex(c.substr(10));
            return *fromHex("9000");
        }
        return *fromHex("9000");
    }
    std::string chipSerial() override { return profile.cardNumber; }
    std::string tokenSerial() override { return profile.cardNumber + profile.checkCharacter; }
    Bytes record;
    sim::Profile profile;
    int transmissions = 0;
    int pulledAfter = -1;
};

class TmajClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new std::string(std::filesystem::temp_directory_path() / ("tmaj-test-" + std::to_string(getpid())));
        std::filesystem::create_directories(*dir_);
        credentials_ = new sim::TmajCredentials(sim::makeTmajCredentials(*dir_));
    }
    static void TearDownTestSuite() {
        std::filesystem::remove_all(*dir_);
        delete credentials_;
        delete dir_;
    }
    void SetUp() override {
        simulator = std::make_unique<sim::TmajSimulator>(std::vector<sim::SimCard>{{profile, ""}}, *credentials_);
        port = simulator->start();
        ASSERT_GT(port, 0);
        manager = std::make_unique<TmajManager>(
            TmajEndpoint{"https://127.0.0.1:" + std::to_string(port), credentials_->caFile});
        service = std::make_unique<TmajService>(*manager);
        service->finalPauseMs = 0;
    }
    std::string serial() const { return profile.cardNumber + profile.checkCharacter; }

    static std::string* dir_;
    static sim::TmajCredentials* credentials_;
    sim::Profile profile;
    std::unique_ptr<sim::TmajSimulator> simulator;
    int port = 0;
    std::unique_ptr<TmajManager> manager;
    std::unique_ptr<TmajService> service;
};
std::string* TmajClientTest::dir_ = nullptr;
sim::TmajCredentials* TmajClientTest::credentials_ = nullptr;

TEST_F(TmajClientTest, CheckThenSessionThenUpToDate) {
    test::LogCapture log;
    EXPECT_EQ(manager->checkTmaj(serial()), TmajManager::kUpdateAvailable);
    ASSERT_TRUE(manager->cookies());
    EXPECT_NE(manager->cookies()->front().find("TMAJSESSION"), std::string::npos);
    EXPECT_TRUE(log.contains("Vérification de télémise à jour disponible pour la QEL n°" + serial()));
    EXPECT_TRUE(
        log.contains("Envoi d'une requête CheckTMAJ à https://127.0.0.1:" + std::to_string(port) + "/sc/check"));
    EXPECT_TRUE(log.contains("Mise à jour QEL disponible"));

    ScriptCard card(profile);
    ApduResult result = service->performUpdate(card, {});
    EXPECT_FALSE(result.isError) << result.resultMessage;
    EXPECT_EQ(card.record, TmajScripts::renewedNameRecord(profile));
    EXPECT_EQ(simulator->scripts().completedSessions(), 1);
    EXPECT_TRUE(
        log.contains("/telemaj/rest/swtmaj/initIasMajBean/8025000001" + profile.cardNumber + ":8025000001" + serial()));
    EXPECT_TRUE(log.contains("JSON decode OK !"));

    EXPECT_EQ(manager->checkTmaj(serial()), TmajManager::kUpToDate);
    EXPECT_TRUE(log.contains("QEL déjà à jour"));
}

TEST_F(TmajClientTest, CheckFailures) {
    {
        test::LogCapture log;
        EXPECT_EQ(manager->checkTmaj("0000000000X"), TmajManager::kCheckFailed);
        EXPECT_TRUE(log.contains("Check TMAJ - statusCode devrait être 2xx, mais code 404 reçu"));
    }
    {
        // Verification stays on: without the simulator's authority the handshake fails.
        test::LogCapture log;
        TmajManager untrusting(TmajEndpoint{"https://127.0.0.1:" + std::to_string(port), ""});
        EXPECT_EQ(untrusting.checkTmaj(serial()), TmajManager::kCheckFailed);
        EXPECT_TRUE(log.contains("Check TMAJ - une erreur est survenue: "));
    }
    {
        simulator->setFault("check", TmajFault{.status = 500});
        EXPECT_EQ(manager->checkTmaj(serial()), TmajManager::kCheckFailed);
        EXPECT_FALSE(manager->cookies());
    }
    simulator->stop();
    EXPECT_EQ(manager->checkTmaj(serial()), TmajManager::kCheckFailed);
}

TEST_F(TmajClientTest, SessionStepFaultsEndInAnErrorOutcome) {
    struct Case {
        const char* step;
        TmajFault fault;
        const char* logLine;
        const char* message;
    };
    const Case cases[] = {
        {"initIasMajBean",
         {.status = 500},
         "HTTP GET Request - statusCode devrait être 2xx, mais code 500 reçu",
         tmaj_messages::nullResult},
        {"EstablishSM", {.wrongMime = true}, "HTTP POST Request: Mauvais type MIME !", tmaj_messages::nullResult},
        {"initQelMajBean", {.malformed = true}, "JSON erreur: ", tmaj_messages::nullResult},
        {"QELMAJSequence1", {.missingRespType = true}, "JSON erreur: ", tmaj_messages::nullResult},
        {"QELMAJSequence2",
         {.status = 503},
         "HTTP POST Request - statusCode devrait être 2xx, mais code 503 reçu",
         tmaj_messages::sequenceFailed},
        {"QELMAJSequence2",
         {.endInside = true},
         "Commande APDU invalide reçue du service: ENDQELMAJ",
         tmaj_messages::invalidCommand},
        {"IASMAJ", {.delayMs = 8000}, "HTTP GET Request - une erreur est survenue: ", tmaj_messages::nullResult},
    };
    for (const Case& c : cases) {
        simulator->clearFaults();
        simulator->setFault(c.step, c.fault);
        // The delayed service waits longer than the client: the client's own timeout ends the request.
        // Both leave a slow (sanitizer, loaded) build room for the requests that should succeed.
        manager->requestTimeoutMs = c.fault.delayMs > 0 ? 4000 : 10000;
        test::LogCapture log;
        ASSERT_EQ(manager->checkTmaj(serial()), TmajManager::kUpdateAvailable) << c.step;
        ScriptCard card(profile);
        ApduResult result = service->performUpdate(card, {});
        EXPECT_TRUE(result.isError) << c.step;
        EXPECT_EQ(result.resultMessage, c.message) << c.step;
        EXPECT_TRUE(log.contains(c.logLine)) << c.step << "\n" << log.text();
    }
}

TEST_F(TmajClientTest, TheSessionNeedsTheCheckCookieAndPlainArguments) {
    test::LogCapture log;
    const std::string id = TmajService::cardIdentifier(profile.cardNumber, serial());
    EXPECT_TRUE(manager->getRequest("/initIasMajBean", {id}).empty());
    EXPECT_TRUE(log.contains("code 403 reçu"));
    ASSERT_EQ(manager->checkTmaj(serial()), TmajManager::kUpdateAvailable);
    EXPECT_FALSE(manager->getRequest("/initIasMajBean", {id}).empty());
    // An argument that would change the address is refused before any request.
    EXPECT_TRUE(manager->getRequest("/IASMAJ", {"../../sc/check", id}).empty());
    EXPECT_TRUE(log.contains("argument de chemin refusé"));

    // A card pulled mid-session: the answers stop and the session ends with its message.
    ScriptCard card(profile);
    card.pulledAfter = 5;
    ApduResult result = service->performUpdate(card, {});
    EXPECT_TRUE(result.isError);
    EXPECT_EQ(result.resultMessage, tmaj_messages::cardGone);
}

}  // namespace
}  // namespace qel
