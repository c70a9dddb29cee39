// The update service client against the simulator on loopback HTTPS: the check and its cookie, the
// session end to end on the virtual card in process (the renewal of its authentication key and
// certificate included), and the service's faults.
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <cstdio>
#include <filesystem>
#include <future>

#include "common/hex.h"
#include "sim/card/profile_generator.h"
#include "sim/card/qel_card_model.h"
#include "sim/card/rsa_key.h"
#include "sim/card/tlv_writer.h"
#include "sim/tmaj/tmaj_renewal.h"
#include "sim/tmaj/tmaj_simulator.h"
#include "tests/support/log_capture.h"
#include "update/tmaj_service.h"

namespace qel {
namespace {

using sim::TmajFault;
using sim::TmajScripts;

// Answers the simulator's scripts with the virtual card of a profile folder, in the state the
// wizard leaves it: PIN verified.
struct VirtualUpdateCard : UpdateCard {
    explicit VirtualUpdateCard(const std::string& dir)
        : model(sim::loadQelCardModel(dir, sim::ReaderKind::contact)), profile(model->profile()) {
        model->restoreFreshState();
        Bytes pin(profile.pin.code.begin(), profile.pin.code.end());
        if (profile.generation == sim::Generation::QEL3) pin.resize(8, 0xFF);
        Bytes verify{0x00, 0x20, 0x00, 0x01, static_cast<std::uint8_t>(pin.size())};
        verify.insert(verify.end(), pin.begin(), pin.end());
        EXPECT_EQ(toHex(model->processApdu(verify)), "9000");
    }
    std::optional<Bytes> transmit(const Bytes& apdu, bool) override {
        ++transmissions;
        if (pulledAfter >= 0 && transmissions > pulledAfter) return std::nullopt;
        return model->processApdu(apdu);
    }
    std::optional<std::string> chipSerial() override { return profile.cardNumber; }
    std::string tokenSerial() override { return profile.cardNumber + profile.checkCharacter; }
    std::unique_ptr<sim::QelCardModel> model;
    sim::Profile profile;
    int transmissions = 0;
    int pulledAfter = -1;
};

std::string builtProfiles() {
    const char* bin = std::getenv("QEL_BINARY_DIR");
    return std::string(bin ? bin : ".") + "/sim/profiles";
}

Bytes certificatePublicKeyDer(const Bytes& certificate) {
    const unsigned char* p = certificate.data();
    sim::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(certificate.size())));
    if (!cert) return {};
    unsigned char* der = nullptr;
    const int n = i2d_PUBKEY(X509_get0_pubkey(cert.get()), &der);
    Bytes out(der, der + std::max(n, 0));
    OPENSSL_free(der);
    return out;
}

class TmajClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new std::string(std::filesystem::temp_directory_path() / ("tmaj-test-" + std::to_string(getpid())));
        std::filesystem::create_directories(*dir_);
        credentials_ = new sim::TmajCredentials(sim::makeTmajCredentials(*dir_));
        // Private copies: the cards write their state into their folders.
        for (const char* name : {"qel3-default", "qel4-default"})
            std::filesystem::copy(builtProfiles() + "/" + name, *dir_ + "/" + name,
                                  std::filesystem::copy_options::recursive);
    }
    static void TearDownTestSuite() {
        std::filesystem::remove_all(*dir_);
        delete credentials_;
        delete dir_;
    }
    void SetUp() override {
        std::vector<sim::SimCard> cards;
        for (const char* name : {"qel3-default", "qel4-default"}) {
            const std::string dir = *dir_ + "/" + name;
            std::filesystem::remove(dir + "/state.json");
            cards.push_back({sim::loadProfile(dir), dir});
        }
        profile = cards.front().profile;
        simulator = std::make_unique<sim::TmajSimulator>(cards, *credentials_, builtProfiles() + "/ca");
        port = simulator->start();
        ASSERT_GT(port, 0);
        manager = std::make_unique<TmajManager>(
            TmajEndpoint{"https://127.0.0.1:" + std::to_string(port), credentials_->caFile});
        service = std::make_unique<TmajService>(*manager);
        service->finalPauseMs = 0;
    }
    std::string serial() const { return profile.cardNumber + profile.checkCharacter; }
    static std::string cardDir(const char* name) { return *dir_ + "/" + name; }

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
    EXPECT_EQ(manager->checkTmaj(serial()), TmajAvailability::updateAvailable);
    ASSERT_TRUE(manager->cookies());
    EXPECT_NE(manager->cookies()->front().find("TMAJSESSION"), std::string::npos);
    EXPECT_TRUE(log.contains("Vérification de télémise à jour disponible pour la QEL n°" + serial()));
    EXPECT_TRUE(
        log.contains("Envoi d'une requête CheckTMAJ à https://127.0.0.1:" + std::to_string(port) + "/sc/check"));
    EXPECT_TRUE(log.contains("Mise à jour QEL disponible"));

    VirtualUpdateCard card(cardDir("qel3-default"));
    ApduResult result = service->performUpdate(card, {});
    EXPECT_FALSE(result.isError) << result.resultMessage;
    EXPECT_EQ(card.model->state().files.at("3F000003D002"), TmajScripts::renewedNameRecord(profile));
    EXPECT_EQ(simulator->scripts().completedSessions(), 1);
    EXPECT_TRUE(
        log.contains("/telemaj/rest/swtmaj/initIasMajBean/8025000001" + profile.cardNumber + ":8025000001" + serial()));
    EXPECT_TRUE(log.contains("JSON decode OK !"));

    EXPECT_EQ(manager->checkTmaj(serial()), TmajAvailability::upToDate);
    EXPECT_TRUE(log.contains("QEL déjà à jour"));
}

// The renewal on both generations: the card's new authentication key, the certificate the card's
// authority issued for it in place of the old one (same file size, new serial), and the key
// identifier derived from the new key in both directories, the old one gone.
TEST_F(TmajClientTest, TheSessionRenewsTheAuthenticationKeyAndCertificate) {
    for (const char* name : {"qel3-default", "qel4-default"}) {
        VirtualUpdateCard card(cardDir(name));
        const sim::Profile& p = card.profile;
        const sim::KeyProfile& key = *p.key(sim::KeyProfile::Role::authentication);
        const std::string before = sim::readWholeFile(cardDir(name) + "/" + key.certificateFile);
        const Bytes previous(before.begin(), before.end());
        ASSERT_EQ(manager->checkTmaj(p.cardNumber + p.checkCharacter), TmajAvailability::updateAvailable) << name;
        ApduResult result = service->performUpdate(card, {});
        ASSERT_FALSE(result.isError) << name << " " << result.resultMessage;
        std::printf("[figures] in-process session on %s: %d APDUs\n", name, card.transmissions);

        const sim::CardState& state = card.model->state();
        ASSERT_EQ(state.generatedKeys.count(key.reference), 1u) << name;
        const sim::RsaKey generated = sim::RsaKey::fromPem(state.generatedKeys.at(key.reference));
        const sim::RenewalLayout layout = sim::renewalLayout(p);
        const Bytes renewed = state.files.at(sim::statePathHex(layout.certificateFile));
        EXPECT_EQ(renewed.size(), previous.size()) << name;
        unsigned char* der = nullptr;
        const int n = i2d_PUBKEY(generated.get(), &der);
        EXPECT_EQ(certificatePublicKeyDer(renewed), Bytes(der, der + n)) << name;
        OPENSSL_free(der);

        const unsigned char* at = renewed.data();
        sim::X509Ptr cert(d2i_X509(nullptr, &at, static_cast<long>(renewed.size())));
        ASSERT_TRUE(cert) << name;
        sim::Authority authority = sim::issuingAuthority(builtProfiles() + "/ca", previous);
        EXPECT_EQ(X509_verify(cert.get(), X509_get0_pubkey(authority.certificate.get())), 1) << name;
        at = previous.data();
        sim::X509Ptr old(d2i_X509(nullptr, &at, static_cast<long>(previous.size())));
        EXPECT_NE(sim::serialOf(cert.get()), sim::serialOf(old.get())) << name;

        const Bytes newId = sim::cardKeyId(generated.get(), key.reference);
        for (const Bytes& path : {layout.privateKeyDirectory, layout.certificateDirectory}) {
            const Bytes& directory = state.files.at(sim::statePathHex(path));
            EXPECT_TRUE(sim::keyIdOffset(directory, newId)) << name << " " << toHex(path);
            EXPECT_FALSE(sim::keyIdOffset(directory, key.keyId)) << name << " " << toHex(path);
        }
        EXPECT_EQ(manager->checkTmaj(p.cardNumber + p.checkCharacter), TmajAvailability::upToDate) << name;
    }
}

// A card that fails the key generation (its answer spoiled after the key was made): the service
// refuses the next step, the session ends with its message, and the card still needs its update even
// though its name record was renewed.
TEST_F(TmajClientTest, AFailedKeyGenerationLeavesTheUpdateAvailable) {
    VirtualUpdateCard card(cardDir("qel3-default"));
    card.model->setHostileRules(sim::hostileRulesFromJson(R"([{"ins": "47", "action": "status", "sw": "6581"}])"));
    ASSERT_EQ(manager->checkTmaj(serial()), TmajAvailability::updateAvailable);
    test::LogCapture log;
    ApduResult result = service->performUpdate(card, {});
    EXPECT_TRUE(result.isError);
    EXPECT_EQ(result.resultMessage, tmaj_messages::sequenceFailed);
    EXPECT_TRUE(log.contains("code 422 reçu")) << log.text();
    EXPECT_EQ(card.model->state().files.at("3F000003D002"), TmajScripts::renewedNameRecord(profile));
    EXPECT_EQ(manager->checkTmaj(serial()), TmajAvailability::updateAvailable);
}

// What the service makes of card answers that are not what its scripts expect: it refuses rather
// than read past them.
TEST(TmajRenewal, MalformedCardAnswersAreRefused) {
    const Bytes modulus(256, 0xC5);
    const Bytes good = *fromHex("7F4982010981820100" + toHex(modulus) + "8203010001");
    auto key = sim::parsePublicKey(good);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->modulus, modulus);
    EXPECT_EQ(toHex(key->exponent), "010001");
    const char* bad[] = {
        "",                      // nothing
        "7F49",                  // no length
        "7F4905810100820101AA",  // a byte past the template
        "7F490A818201",          // shorter than its length
        "7F4906810101820201",    // exponent cut short
        "7F4903810101",          // no exponent
        "7F4A0681010182010300",  // another tag
        "7F49838000000081",      // a length form the card never uses
    };
    for (const char* text : bad) {
        auto bytes = fromHex(text);
        EXPECT_FALSE(bytes && sim::parsePublicKey(*bytes)) << text;
    }
    EXPECT_FALSE(sim::successData("6982"));
    EXPECT_FALSE(sim::successData("900"));
    EXPECT_EQ(toHex(*sim::successData("01029000")), "0102");

    const Bytes id = *fromHex("0102030405060708");
    const Bytes once = *fromHex("300A04080102030405060708");
    EXPECT_EQ(sim::keyIdOffset(once, id), 4u);
    EXPECT_FALSE(sim::keyIdOffset(sim::cat({once, once}), id));  // twice: which one is the key's?
    EXPECT_FALSE(sim::keyIdOffset(Bytes(once.begin(), once.end() - 1), id));
    EXPECT_FALSE(sim::keyIdOffset(once, Bytes{}));
}

TEST_F(TmajClientTest, CheckFailures) {
    {
        test::LogCapture log;
        EXPECT_EQ(manager->checkTmaj("0000000000X"), TmajAvailability::checkFailed);
        EXPECT_TRUE(log.contains("Check TMAJ - statusCode devrait être 2xx, mais code 404 reçu"));
    }
    {
        // Verification stays on: without the simulator's authority the handshake fails.
        test::LogCapture log;
        TmajManager untrusting(TmajEndpoint{"https://127.0.0.1:" + std::to_string(port), ""});
        EXPECT_EQ(untrusting.checkTmaj(serial()), TmajAvailability::checkFailed);
        EXPECT_TRUE(log.contains("Check TMAJ - une erreur est survenue: "));
    }
    {
        simulator->setFault("check", TmajFault{.status = 500});
        EXPECT_EQ(manager->checkTmaj(serial()), TmajAvailability::checkFailed);
        EXPECT_FALSE(manager->cookies());
    }
    simulator->stop();
    EXPECT_EQ(manager->checkTmaj(serial()), TmajAvailability::checkFailed);
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
         "Commande APDU refusée (9 caractères) : ENDQELMAJ",
         tmaj_messages::invalidCommand},
        // A hostile service, past each limit of the relay.
        {"initQelMajBean",
         {.oversize = true},
         "HTTP GET Request - une erreur est survenue: réponse de plus de 1 Mio refusée",
         tmaj_messages::nullResult},
        {"QELMAJSequence1",
         {.commands = 257},
         "Liste de 257 commandes reçue du service, au-delà de la limite de 256",
         tmaj_messages::tooManyCommands},
        {"initIasMajBean",
         {.longCommand = true},
         "Commande APDU refusée (600 caractères)",
         tmaj_messages::commandTooLong},
        {"IASMAJ", {.delayMs = 8000}, "HTTP GET Request - une erreur est survenue: ", tmaj_messages::nullResult},
    };
    for (const Case& c : cases) {
        simulator->clearFaults();
        simulator->setFault(c.step, c.fault);
        // The delayed service waits longer than the client: the client's own timeout ends the request.
        // Both leave a slow (sanitizer, loaded) build room for the requests that should succeed.
        manager->requestTimeoutMs = c.fault.delayMs > 0 ? 4000 : 10000;
        test::LogCapture log;
        ASSERT_EQ(manager->checkTmaj(serial()), TmajAvailability::updateAvailable) << c.step;
        VirtualUpdateCard card(cardDir("qel3-default"));
        ApduResult result = service->performUpdate(card, {});
        EXPECT_TRUE(result.isError) << c.step;
        EXPECT_EQ(result.resultMessage, c.message) << c.step;
        EXPECT_TRUE(log.contains(c.logLine)) << c.step << "\n" << log.text();
    }
}

// The wizard's cancel reaches the request under way: it ends as a failed request, long before the
// slow service would have answered.
TEST_F(TmajClientTest, AStopRequestEndsTheRequestUnderWay) {
    ASSERT_EQ(manager->checkTmaj(serial()), TmajAvailability::updateAvailable);
    simulator->setFault("initIasMajBean", TmajFault{.delayMs = 8000});
    manager->requestTimeoutMs = 60000;
    const std::string id = TmajService::cardIdentifier(profile.cardNumber, serial());
    std::stop_source stop;
    test::LogCapture log;
    auto answer =
        std::async(std::launch::async, [&] { return manager->getRequest("/initIasMajBean", {id}, stop.get_token()); });
    stop.request_stop();
    EXPECT_TRUE(answer.get().empty());
    EXPECT_TRUE(log.contains("HTTP GET Request - une erreur est survenue: requête annulée")) << log.text();
}

TEST_F(TmajClientTest, TheSessionNeedsTheCheckCookieAndPlainArguments) {
    test::LogCapture log;
    const std::string id = TmajService::cardIdentifier(profile.cardNumber, serial());
    EXPECT_TRUE(manager->getRequest("/initIasMajBean", {id}).empty());
    EXPECT_TRUE(log.contains("code 403 reçu"));
    ASSERT_EQ(manager->checkTmaj(serial()), TmajAvailability::updateAvailable);
    EXPECT_FALSE(manager->getRequest("/initIasMajBean", {id}).empty());
    // A finished session's cookies go with nothing else; the next check sets its own.
    manager->clearCookies();
    EXPECT_TRUE(manager->getRequest("/initIasMajBean", {id}).empty());
    ASSERT_EQ(manager->checkTmaj(serial()), TmajAvailability::updateAvailable);
    EXPECT_FALSE(manager->getRequest("/initIasMajBean", {id}).empty());
    // An argument that would change the address is refused before any request.
    EXPECT_TRUE(manager->getRequest("/IASMAJ", {"../../sc/check", id}).empty());
    EXPECT_TRUE(log.contains("argument de chemin refusé"));

    // A card pulled mid-session: the failures go to the service, which refuses to go on.
    VirtualUpdateCard card(cardDir("qel3-default"));
    card.pulledAfter = 5;
    ApduResult result = service->performUpdate(card, {});
    EXPECT_TRUE(result.isError);
    EXPECT_TRUE(result.resultMessage == tmaj_messages::nullResult ||
                result.resultMessage == tmaj_messages::sequenceFailed)
        << result.resultMessage;
    EXPECT_TRUE(log.contains(tmaj_messages::transmissionFailed));
}

}  // namespace
}  // namespace qel
