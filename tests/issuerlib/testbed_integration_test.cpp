// Every card operation against the stand-in issuer library, on virtual cards served through pcscd
// and the virtual readers, loaded by path exactly as Kartello loads the issuer's library.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "common/hex.h"
#include "issuerlib/code_labels.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"
#include "issuerlib/pkcs11_slot.h"
#include "issuerlib/service_report.h"
#include "sim/card/profile.h"
#include "tests/support/log_capture.h"
#include "tests/support/testbed_client.h"

namespace qel {
namespace {

using namespace std::chrono_literals;

/// A private copy of one of the testbed's profiles with full PIN counters.
std::string freshProfile(const std::string& name) {
    static int counter = 0;
    std::string target = std::string(std::getenv("HOME")) + "/profiles/" + std::to_string(++counter) + "-" + name;
    std::filesystem::remove_all(target);
    std::filesystem::create_directories(target);
    std::filesystem::copy(testbed::runDir() + "/profiles/" + name, target, std::filesystem::copy_options::recursive);
    std::filesystem::remove(target + "/state.json");
    return target;
}

std::string displayDate(const std::string& isoDate) {  // "2024-01-15" -> "15/01/2024"
    return isoDate.substr(8, 2) + "/" + isoDate.substr(5, 2) + "/" + isoDate.substr(0, 4);
}

std::string label(const LabelTable& table, const std::string& code) { return lookupLabel(table, code).value_or("?"); }

class TestbedPkcs11Test : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!testbed::daemonRuns()) return;
        readers = std::make_unique<testbed::ReaderState>();
        recorder = std::make_unique<ServiceReportRecorder>();
        library = std::make_unique<Pkcs11Library>(configuredPkcs11LibraryPath(), recorder.get());
        ASSERT_TRUE(library->hasTransmitMessage());
        ASSERT_EQ(library->initialize(), CKR_OK);
    }
    static void TearDownTestSuite() {
        library.reset();
        recorder.reset();
        readers.reset();
    }
    void SetUp() override {
        if (!library) GTEST_SKIP() << "no card daemon in the testbed";
    }

    /// Puts a fresh copy of `profileName` in `reader` ("contact", "contactless") and waits until the
    /// library's slot for that reader shows it.
    std::optional<CK_SLOT_ID> insert(const std::string& profileName, const std::string& reader) {
        profileDir = freshProfile(profileName);
        profile = sim::loadProfile(profileDir);
        testbed::control("swap " + reader + " " + profileDir);
        const std::string& readerName = reader == "contact" ? testbed::kContactReader : testbed::kContactlessReader;
        std::string seen;
        for (auto deadline = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < deadline;) {
            std::vector<CK_SLOT_ID> slots;
            seen = "slots:";
            if (CK_RV rv = library->getSlotList(slots); rv != CKR_OK) seen += " C_GetSlotList " + std::to_string(rv);
            if (slots.empty()) {
                // The smart-card service restarted under the library (pcscd is shared by every
                // testbed on the machine): start the library again, as the main window does.
                library->finalize();
                library->initialize();
            }
            for (CK_SLOT_ID id : slots) {
                Pkcs11Slot slot(*library, id);
                CK_TOKEN_INFO info{};
                CK_RV rv = slot.refreshSlot();
                CK_RV tokenRv = library->getTokenInfo(id, info);
                seen += " [" + slot.name + "] present=" + std::to_string(slot.cardPresent) +
                        " rv=" + std::to_string(rv) + " token=" + std::to_string(tokenRv);
                // The library keeps the reader name's terminating NUL; names are compared without it.
                std::string name = slot.name;
                while (!name.empty() && static_cast<unsigned char>(name.back()) < 0x20) name.pop_back();
                if (rv == CKR_OK && name == readerName && slot.cardPresent && tokenRv == CKR_OK) return id;
            }
            std::this_thread::sleep_for(100ms);
        }
        ADD_FAILURE() << "no card seen in " << readerName << "; " << seen;
        return std::nullopt;
    }

    std::string profileDir;
    sim::Profile profile;
    static std::unique_ptr<testbed::ReaderState> readers;
    static std::unique_ptr<ServiceReportRecorder> recorder;
    static std::unique_ptr<Pkcs11Library> library;
};
std::unique_ptr<testbed::ReaderState> TestbedPkcs11Test::readers;
std::unique_ptr<ServiceReportRecorder> TestbedPkcs11Test::recorder;
std::unique_ptr<Pkcs11Library> TestbedPkcs11Test::library;

TEST_F(TestbedPkcs11Test, ContactCardIdentityAndHolderData) {
    auto slot = insert("qel3-default", "contact");
    ASSERT_TRUE(slot.has_value());
    Pkcs11Card card(*library, *slot);
    EXPECT_TRUE(card.contactQEL);
    EXPECT_EQ(card.label, "QEL3-" + profile.cardNumber + profile.labelCharacter);
    EXPECT_EQ(card.serial, profile.cardNumber);
    EXPECT_EQ(card.cardNumber, profile.cardNumber);
    EXPECT_EQ(card.cardFullNumber, profile.cardSerial());

    HolderInfos holder = card.getHolderInfos();
    EXPECT_EQ(holder.civilite, label(civilityLabels(), profile.holder.civility));
    EXPECT_EQ(holder.nomPatronym, profile.holder.lastName);
    EXPECT_EQ(holder.prenoms, profile.holder.firstNames);
    EXPECT_EQ(holder.prenomUsuel, profile.holder.usualFirstName);
    EXPECT_EQ(holder.idEmeteur, profile.issuerId);
    EXPECT_EQ(holder.idCarte, profile.cardNumber);
    EXPECT_EQ(holder.isTestCard, profile.testCard);
    EXPECT_EQ(holder.debutValidite, displayDate(profile.validFrom));
    EXPECT_EQ(holder.finValidite, displayDate(profile.validUntil));
    EXPECT_EQ(holder.codeTypeCarte, profile.holder.cardType);
    EXPECT_EQ(holder.profession, label(professionLabels(), profile.holder.profession));
    EXPECT_EQ(holder.metier, label(professionLabels(), profile.holder.occupation));
    EXPECT_EQ(holder.identifiant, profile.holder.identifier());
    EXPECT_EQ(holder.nomExercice, profile.holder.practiceName);
}

TEST_F(TestbedPkcs11Test, ContactlessCardIsDetected) {
    auto slot = insert("qel3-default", "contactless");
    ASSERT_TRUE(slot.has_value());
    Pkcs11Card card(*library, *slot);
    EXPECT_FALSE(card.contactQEL);
    EXPECT_EQ(card.serial, "");
    HolderInfos holder = card.getHolderInfos();
    EXPECT_EQ(holder.nomPatronym, profile.holder.lastName);  // the technical certificate's name
    EXPECT_FALSE(holder.idEmeteur.empty());
    EXPECT_EQ(holder.idCarte, "");
}

TEST_F(TestbedPkcs11Test, LoginRightWrongAndBlockedWithTokenFlags) {
    auto slot = insert("qel3-default", "contact");
    ASSERT_TRUE(slot.has_value());
    Pkcs11Card card(*library, *slot);
    recorder->setEnabled(true);
    recorder->takeBuffer();
    EXPECT_EQ(card.login("0000", false), CKR_PIN_INCORRECT);
    EXPECT_FALSE(card.isUserLoggedIn());
    EXPECT_EQ(card.refreshTokenInfo(), CKR_OK);
    EXPECT_NE(card.tokenInfo.flags & CKF_USER_PIN_COUNT_LOW, 0u);
    EXPECT_NE(recorder->takeBuffer().find("C_Login:\t\t\t\t\u26D4\uFE0F CKR_PIN_INCORRECT"), std::string::npos);

    EXPECT_EQ(card.login(profile.pin.code, false), CKR_OK);
    EXPECT_TRUE(card.isUserLoggedIn());
    EXPECT_EQ(card.login(profile.pin.code, false), CKR_USER_ALREADY_LOGGED_IN);
    library->logout(card.session);

    for (int i = 0; i < profile.pin.maxTries - 1; ++i) EXPECT_EQ(card.login("0000", false), CKR_PIN_INCORRECT);
    CK_RV last = card.login("0000", false);
    EXPECT_TRUE(last == CKR_PIN_INCORRECT || last == CKR_PIN_LOCKED) << last;
    EXPECT_EQ(card.login(profile.pin.code, false), CKR_PIN_LOCKED);
    EXPECT_EQ(card.refreshTokenInfo(), CKR_OK);
    EXPECT_NE(card.tokenInfo.flags & CKF_USER_PIN_LOCKED, 0u);
    recorder->setEnabled(false);
}

TEST_F(TestbedPkcs11Test, PinChange) {
    auto slot = insert("qel3-default", "contact");
    ASSERT_TRUE(slot.has_value());
    Pkcs11Card card(*library, *slot);
    EXPECT_EQ(card.changePin(profile.pin.code, "4321"), CKR_GENERAL_ERROR);
    ASSERT_EQ(card.login(profile.pin.code, false), CKR_OK);
    EXPECT_EQ(card.changePin(profile.pin.code, "4321"), CKR_OK);
    library->logout(card.session);
    EXPECT_EQ(card.login(profile.pin.code, false), CKR_PIN_INCORRECT);
    EXPECT_EQ(card.login("4321", false), CKR_OK);
}

TEST_F(TestbedPkcs11Test, PukUnlock) {
    auto slot = insert("qel3-default", "contact");
    ASSERT_TRUE(slot.has_value());
    Pkcs11Card card(*library, *slot);
    for (int i = 0; i < profile.pin.maxTries; ++i) card.login("0000", false);
    ASSERT_EQ(card.login(profile.pin.code, false), CKR_PIN_LOCKED);

    test::LogCapture log;
    EXPECT_EQ(card.unlockPin("00000000", "4321"), CKR_PIN_INCORRECT);
    EXPECT_TRUE(log.contains("Mauvais code PUK !"));
    ASSERT_NE(card.session, 0u);
    EXPECT_EQ(card.getSessionInfo().value().flags & CKF_RW_SESSION, 0u);
    EXPECT_FALSE(card.isUserLoggedIn());

    EXPECT_EQ(card.unlockPin(profile.puk.code, "4321"), CKR_OK);
    EXPECT_TRUE(card.isUserLoggedIn());
    EXPECT_EQ(card.getSessionInfo().value().flags & CKF_RW_SESSION, 0u);
    EXPECT_EQ(card.refreshTokenInfo(), CKR_OK);
    EXPECT_EQ(card.tokenInfo.flags & CKF_USER_PIN_LOCKED, 0u);
    EXPECT_FALSE(log.contains(profile.puk.code));
}

TEST_F(TestbedPkcs11Test, SituationsWithBilling) {
    auto slot = insert("qel3-default", "contact");
    ASSERT_TRUE(slot.has_value());
    Pkcs11Card card(*library, *slot);
    ASSERT_EQ(card.login(profile.pin.code, false), CKR_OK);
    SituFactuInfos situations = card.getSituations();
    ASSERT_EQ(situations.situFactuList.size(), profile.situations.size());
    ASSERT_FALSE(profile.situations.empty());
    for (std::size_t i = 0; i < profile.situations.size(); ++i) {
        SCOPED_TRACE(i);
        const sim::SituationProfile& expected = profile.situations[i];
        const SituFactuStruct& got = situations.situFactuList[i];
        EXPECT_EQ(got.modeExercice, label(practiceModeLabels(), expected.practiceMode));
        EXPECT_EQ(got.raisonSociale, expected.companyName);
        EXPECT_EQ(got.identifiantSitu, label(structureIdTypeLabels(), expected.structureId.substr(0, 1)) + " " +
                                           expected.structureId.substr(1));
        EXPECT_EQ(got.secteurActivite, label(activitySectorLabels(), expected.sector));
        ASSERT_EQ(got.hasFactu, expected.billing.has_value());
        if (!expected.billing) continue;
        EXPECT_EQ(got.identifiantFactu.rfind(expected.billing->billingId, 0), 0u) << got.identifiantFactu;
        EXPECT_EQ(got.specialite, label(specialityLabels(), expected.billing->specialty));
        EXPECT_EQ(got.zoneTarifaire, label(tariffZoneLabels(), expected.billing->tariffZone));
        EXPECT_EQ(got.agrement, agreementText(expected.billing->agreements));
        EXPECT_EQ(got.permissionFSE, expected.billing->permissionFse);
        EXPECT_EQ(got.permissionLot, expected.billing->permissionLot);
    }
}

TEST_F(TestbedPkcs11Test, CertificatesAndSignatureSelfTest) {
    auto slot = insert("qel3-default", "contact");
    ASSERT_TRUE(slot.has_value());
    Pkcs11Card card(*library, *slot);
    card.loadCertificates();
    ASSERT_TRUE(card.x509Certs.has_value());
    // The contact interface shows the signature and authentication certificates.
    EXPECT_EQ(card.x509Certs->size(), 2u);
    for (const sim::KeyProfile& key : profile.keys) {
        if (key.role == sim::KeyProfile::Role::technical) continue;
        SCOPED_TRACE(key.certLabel);
        auto it = std::find_if(card.x509Certs->begin(), card.x509Certs->end(),
                               [&](const auto& c) { return c->certName == key.certLabel; });
        ASSERT_NE(it, card.x509Certs->end());
        EXPECT_EQ((*it)->certId, key.keyId);
        EXPECT_NE((*it)->x509(), nullptr);
        EXPECT_EQ((*it)->authCert, key.certLabel.find("Authentification") != std::string::npos);
    }

    ASSERT_EQ(card.login(profile.pin.code, false), CKR_OK);
    test::LogCapture log;
    EXPECT_EQ(card.signatureSelfTest({'K', 'a', 'r', 't', 'e', 'l', 'l', 'o'}), CKR_OK);
    EXPECT_TRUE(log.contains("Signature vérifiée"));
}

TEST_F(TestbedPkcs11Test, ChipSerialAndRawExchange) {
    auto slot = insert("qel3-default", "contact");
    ASSERT_TRUE(slot.has_value());
    Pkcs11Card card(*library, *slot);
    auto [serial, shortSerial] = card.readChipSerial();
    ASSERT_EQ(serial.size(), 18u);
    EXPECT_EQ(shortSerial, serial.substr(8));

    auto answer = card.transmit(*fromHex("00A4000C023F00"), false);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(toHex(*answer), "9000");
    answer = card.transmit(*fromHex("00A4000C02DEAD"), false);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(toHex(*answer), "6A82");
}

}  // namespace
}  // namespace qel
