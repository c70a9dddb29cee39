// The binding against a real third-party PKCS#11 module (SoftHSM2) in a private token store.
#include <gtest/gtest.h>

#include <ctime>
#include <memory>

#include "common/format.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"
#include "issuerlib/pkcs11_slot.h"
#include "issuerlib/service_report.h"
#include "issuerlib/token_text.h"
#include "tests/issuerlib/softhsm_token.h"
#include "tests/support/card_records.h"
#include "tests/support/log_capture.h"

namespace qel {
namespace {

constexpr const char* kContactToken = "QEL3-1234567890Z";
constexpr const char* kContactlessToken = "QEL3CL-1234567890";
constexpr const char* kPinToken = "QEL3-5550001112A";

std::unique_ptr<test::SoftHsmStore> store;
std::unique_ptr<ServiceReportRecorder> recorder;
std::unique_ptr<Pkcs11Library> library;

std::string today(int plusDays = 0) {
    std::time_t now = std::time(nullptr) + plusDays * 86400;
    std::tm local{};
    localtime_r(&now, &local);
    return format("%02d/%02d/%04d", local.tm_mday, local.tm_mon + 1, local.tm_year + 1900);
}

class SoftHsmTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!test::SoftHsmStore::available()) return;
        const char* home = std::getenv("HOME");
        store = std::make_unique<test::SoftHsmStore>(std::string(home ? home : "/tmp") + "/softhsm");

        store->initToken(kContactToken);
        store->writeData(kContactToken, "QEL_ID_CARD", test::sampleIdCard(), false);
        store->writeData(kContactToken, "QEL_NAME_PS", test::sampleName(), false);
        store->writeData(kContactToken, "QEL_INFO_PS", test::sampleInfo(), false);
        store->writeData(kContactToken, "QEL_ACTIVITY_01_PS", test::sampleActivity(), true);
        store->writeData(kContactToken, "QEL_ACTIVITY_02_PS", test::sampleActivity(0x01, "3123", "SA33"), true);
        store->writeData(kContactToken, "QEL_SIT_FACT", test::billing({test::billingBlock(0x02)}), true);
        store->writeCertificate(kContactToken, kSignatureCertificateLabel, "01", "DUPONT JEAN", true);
        store->writeCertificate(kContactToken, "Certificat Authentification QEL", "02", "DUPONT JEAN", false);

        store->initToken(kContactlessToken);
        store->writeCertificate(kContactlessToken, kTechnicalCertificateLabel, "03", "MARTIN SOPHIE", false);

        store->initToken(kPinToken);
        store->writeData(kPinToken, "QEL_ID_CARD", test::sampleIdCard(), false);

        recorder = std::make_unique<ServiceReportRecorder>();
        library = std::make_unique<Pkcs11Library>(test::kSoftHsmModule, recorder.get());
        ASSERT_EQ(library->initialize(), CKR_OK);
    }

    static void TearDownTestSuite() {
        library.reset();
        recorder.reset();
        store.reset();
    }

    void SetUp() override {
        if (!library) GTEST_SKIP() << "SoftHSM2 or its tools are not installed";
        recorder->setEnabled(false);
        recorder->takeBuffer();
    }

    static CK_SLOT_ID slotOf(const std::string& tokenLabel) {
        std::vector<CK_SLOT_ID> slots;
        EXPECT_EQ(library->getSlotList(slots), CKR_OK);
        for (CK_SLOT_ID slot : slots) {
            CK_TOKEN_INFO info{};
            if (library->getTokenInfo(slot, info) == CKR_OK && decodePaddedText(info.label) == tokenLabel) return slot;
        }
        ADD_FAILURE() << "no token " << tokenLabel;
        return 0;
    }

    // Login state belongs to the token, not to one session: start each test logged out.
    static std::unique_ptr<Pkcs11Card> openCard(const std::string& tokenLabel) {
        auto card = std::make_unique<Pkcs11Card>(*library, slotOf(tokenLabel));
        library->logout(card->session);
        return card;
    }
};

TEST_F(SoftHsmTest, SlotsListTheTokens) {
    std::vector<CK_SLOT_ID> slots;
    ASSERT_EQ(library->getSlotList(slots), CKR_OK);
    ASSERT_EQ(slots.size(), 4u);  // three tokens and the free slot
    for (CK_SLOT_ID id : slots) {
        Pkcs11Slot slot(*library, id);
        EXPECT_EQ(slot.refreshSlot(), CKR_OK);
        EXPECT_EQ(slot.name.rfind("SoftHSM slot ID", 0), 0u) << slot.name;
        EXPECT_TRUE(slot.cardPresent);
    }
}

TEST_F(SoftHsmTest, ContactCardIdentity) {
    auto card = openCard(kContactToken);
    EXPECT_TRUE(card->contactQEL);
    EXPECT_NE(card->session, 0u);
    EXPECT_EQ(card->label, kContactToken);
    EXPECT_EQ(card->serial, "1234567890");
    EXPECT_EQ(card->manufacturer, "SoftHSM project");
    EXPECT_EQ(card->model, "SoftHSM v2");
    std::string tokenSerial = decodePaddedText(card->tokenInfo.serialNumber);
    ASSERT_EQ(tokenSerial.size(), 16u);
    EXPECT_EQ(card->cardNumber, tokenSerial.substr(0, 15));
    EXPECT_EQ(card->cardFullNumber, "8025000001" + card->cardNumber);
    EXPECT_EQ(card->refreshTokenInfo(), CKR_OK);
    EXPECT_EQ(card->tokenInfo.flags & CKF_USER_PIN_LOCKED, 0u);
}

TEST_F(SoftHsmTest, LoginRightAndWrongWithTraceAndNoPinInTheLog) {
    auto card = openCard(kContactToken);
    recorder->setEnabled(true);
    test::LogCapture log;
    EXPECT_EQ(card->login("0000", false), CKR_PIN_INCORRECT);
    EXPECT_FALSE(card->isUserLoggedIn());
    EXPECT_EQ(card->login(test::kUserPin, false), CKR_OK);
    EXPECT_TRUE(card->isUserLoggedIn());
    EXPECT_EQ(card->login(test::kUserPin, false), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(card->login("12", false), CKR_PIN_LEN_RANGE);

    std::string report = recorder->takeBuffer();
    EXPECT_NE(report.find("C_Login:\t\t\t\t\u26D4\uFE0F CKR_PIN_INCORRECT\n"), std::string::npos) << report;
    EXPECT_NE(report.find("C_Login:\t\t\t\t✅ CKR_OK\n"), std::string::npos) << report;
    EXPECT_NE(report.find("C_GetSessionInfo:\t\t✅ CKR_OK"), std::string::npos) << report;
    EXPECT_NE(report.find("CKR_USER_ALREADY_LOGGED_IN"), std::string::npos) << report;
    EXPECT_TRUE(log.contains("Mauvais code PIN !"));
    EXPECT_TRUE(log.contains("Utilisateur authentifié !"));
    EXPECT_FALSE(log.contains(test::kUserPin)) << log.text();
}

TEST_F(SoftHsmTest, HolderDataEndToEnd) {
    auto card = openCard(kContactToken);
    HolderInfos holder = card->getHolderInfos();
    EXPECT_EQ(holder.civilite, "Monsieur");
    EXPECT_EQ(holder.nomPatronym, "DUPONT");
    EXPECT_EQ(holder.prenoms, (std::vector<std::string>{"JEAN", "PAUL"}));
    EXPECT_EQ(holder.idCarte, "1234567890");
    EXPECT_TRUE(holder.isTestCard);
    EXPECT_EQ(holder.finValidite, "31/12/2024");
    EXPECT_EQ(holder.profession, "Médecin");
    EXPECT_EQ(holder.metier, "Pharmacien");
    EXPECT_EQ(holder.nomExercice, "DR DUPONT");
}

TEST_F(SoftHsmTest, SituationsAreReadAfterLogin) {
    auto card = openCard(kContactToken);
    EXPECT_TRUE(card->getSituations().situFactuList.empty());

    ASSERT_EQ(card->login(test::kUserPin, false), CKR_OK);
    SituFactuInfos situations = card->getSituations();
    ASSERT_EQ(situations.situFactuList.size(), 2u);
    EXPECT_FALSE(situations.situFactuList[0].hasFactu);
    EXPECT_EQ(situations.situFactuList[0].identifiantSitu, "FINESS 123456789");
    const auto& billed = situations.situFactuList[1];
    EXPECT_EQ(billed.modeExercice, "Salarié");
    EXPECT_EQ(billed.identifiantSitu, "SIRET 123");
    EXPECT_EQ(billed.secteurActivite, "Pharmacie d'officine");
    EXPECT_TRUE(billed.hasFactu);
    EXPECT_EQ(billed.agrement, "A, B, C, E, F, G, H, J, K");
    EXPECT_EQ(billed.zoneTarifaire, "Zone A");
}

TEST_F(SoftHsmTest, CertificatesWithTheirIdentifiers) {
    auto card = openCard(kContactToken);
    EXPECT_FALSE(card->x509Certs.has_value());
    card->loadCertificates();
    ASSERT_TRUE(card->x509Certs.has_value());
    ASSERT_EQ(card->x509Certs->size(), 2u);
    std::shared_ptr<Pkcs11X509> signature, authentication;
    for (const auto& cert : *card->x509Certs) {
        (cert->certName == kSignatureCertificateLabel ? signature : authentication) = cert;
    }
    ASSERT_TRUE(signature && authentication);
    EXPECT_EQ(*signature->certId, Bytes{0x01});
    EXPECT_FALSE(signature->authCert);
    EXPECT_TRUE(authentication->authCert);
    ASSERT_NE(signature->x509(), nullptr);
    EXPECT_EQ(signature->subjectCommonName(), "DUPONT JEAN");
    EXPECT_EQ(signature->issuerCommonName(), "AC TEST QEL");
    EXPECT_EQ(signature->notAfterText(), today(10));
}

TEST_F(SoftHsmTest, SignatureSelfTest) {
    auto card = openCard(kContactToken);
    test::LogCapture refused;
    // The private key is a private object: without a login it is not found.
    EXPECT_EQ(card->signatureSelfTest(test::bytesOf("Kartello")), CKR_KEY_HANDLE_INVALID);
    EXPECT_TRUE(refused.contains("Erreur lors de la signature de la donnée..."));

    ASSERT_EQ(card->login(test::kUserPin, false), CKR_OK);
    recorder->setEnabled(true);
    for (CK_MECHANISM_TYPE mechanism : {CKM_RSA_PKCS, CKM_SHA1_RSA_PKCS, CKM_SHA256_RSA_PKCS}) {
        test::LogCapture log;
        EXPECT_EQ(card->signatureSelfTest(test::bytesOf("Kartello"), mechanism), CKR_OK) << mechanism;
        EXPECT_TRUE(log.contains("Signature vérifiée"));
    }
    std::string report = recorder->takeBuffer();
    EXPECT_NE(report.find("C_SignInit:\t\t\t✅ CKR_OK"), std::string::npos) << report;
    EXPECT_NE(report.find("C_VerifyInit:\t\t\t✅ CKR_OK"), std::string::npos) << report;
}

TEST_F(SoftHsmTest, ModuleWithoutPassThroughStillServesEverythingElse) {
    EXPECT_FALSE(library->hasTransmitMessage());
    auto card = openCard(kContactToken);
    test::LogCapture log;
    EXPECT_EQ(card->transmit({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, false), std::nullopt);
    EXPECT_EQ(card->readChipSerial(), (std::pair<std::string, std::string>{}));
    EXPECT_TRUE(log.contains("C_TransmitMessage non disponible"));
    EXPECT_EQ(card->getHolderInfos().nomPatronym, "DUPONT");
}

TEST_F(SoftHsmTest, ContactlessCardTakesItsHolderFromTheTechnicalCertificate) {
    auto card = openCard(kContactlessToken);
    EXPECT_FALSE(card->contactQEL);
    EXPECT_EQ(card->serial, "");
    EXPECT_EQ(card->label, kContactlessToken);
    HolderInfos holder = card->getHolderInfos();
    EXPECT_EQ(holder.nomPatronym, "MARTIN SOPHIE");
    EXPECT_EQ(holder.idEmeteur, "AC TEST QEL");
    EXPECT_EQ(holder.debutValidite, today());
    EXPECT_EQ(holder.finValidite, today(10));
    EXPECT_TRUE(holder.prenoms.empty());

    auto contact = openCard(kContactToken);
    contact->contactQEL = false;  // a contactless card without a technical certificate
    test::LogCapture log;
    EXPECT_EQ(contact->getHolderInfos().nomPatronym, "");
    EXPECT_TRUE(log.contains("Pas d'infos d'identification trouvées..."));
}

TEST_F(SoftHsmTest, PinChangeAndUnlock) {
    auto card = openCard(kPinToken);
    EXPECT_EQ(card->changePin(test::kUserPin, "1111"), CKR_GENERAL_ERROR);

    ASSERT_EQ(card->login(test::kUserPin, false), CKR_OK);
    EXPECT_EQ(card->changePin(test::kUserPin, "1111"), CKR_OK);
    library->logout(card->session);
    EXPECT_EQ(card->login(test::kUserPin, false), CKR_PIN_INCORRECT);
    EXPECT_EQ(card->login("1111", false), CKR_OK);
    library->logout(card->session);

    EXPECT_EQ(card->unlockPin("1357246", test::kUserPin), CKR_PIN_LEN_RANGE);
    test::LogCapture log;
    EXPECT_EQ(card->unlockPin("00000000", test::kUserPin), CKR_PIN_INCORRECT);
    EXPECT_TRUE(log.contains("Mauvais code PUK !"));
    ASSERT_NE(card->session, 0u);
    CK_SESSION_INFO info = card->getSessionInfo().value();
    EXPECT_EQ(info.flags & CKF_RW_SESSION, 0u);
    EXPECT_FALSE(card->isUserLoggedIn());

    EXPECT_EQ(card->unlockPin(test::kSoPin, test::kUserPin), CKR_OK);
    EXPECT_TRUE(card->isUserLoggedIn());
    info = card->getSessionInfo().value();
    EXPECT_EQ(info.flags & CKF_RW_SESSION, 0u);
    library->logout(card->session);
    EXPECT_EQ(card->login("1111", false), CKR_PIN_INCORRECT);
    EXPECT_EQ(card->login(test::kUserPin, false), CKR_OK);
    EXPECT_FALSE(log.contains(test::kSoPin));
}

TEST_F(SoftHsmTest, CardSurvivesALibraryRestart) {
    auto card = openCard(kContactToken);
    ASSERT_EQ(library->finalize(), CKR_OK);
    ASSERT_EQ(library->initialize(), CKR_OK);
    EXPECT_FALSE(card->getSessionInfo());
    EXPECT_EQ(card->getHolderInfos().nomPatronym, "DUPONT");
    EXPECT_NE(card->session, 0u);
    EXPECT_TRUE(card->getSessionInfo());
}

}  // namespace
}  // namespace qel
