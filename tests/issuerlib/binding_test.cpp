#include <gtest/gtest.h>

#include "common/format.h"
#include "common/hex.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"
#include "issuerlib/pkcs11_slot.h"
#include "issuerlib/token_text.h"
#include "tests/support/card_records.h"
#include "tests/support/fake_issuer_module.h"
#include "tests/support/log_capture.h"

namespace qel {
namespace {

class BindingTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake.addSlot(1, "Lecteur virtuel", true);
        token().objects["QEL_ID_CARD"] = test::sampleIdCard();
        ASSERT_EQ(library.initialize(), CKR_OK);
    }
    test::FakeToken& token() { return fake.slot(1).token; }

    test::FakeIssuerModule fake;
    Pkcs11Library library{fake.functions(), &test::FakeIssuerModule::transmit};
};

TEST_F(BindingTest, SlotListKeepsTheFirstTenReaders) {
    fake.slotList.clear();
    for (CK_SLOT_ID id = 100; id < 112; ++id) fake.addSlot(id, "Lecteur virtuel", true);
    std::vector<CK_SLOT_ID> slots;
    EXPECT_EQ(library.getSlotList(slots), CKR_OK);
    ASSERT_EQ(slots.size(), 10u);
    EXPECT_EQ(slots.front(), 100u);
    EXPECT_EQ(slots.back(), 109u);

    fake.slotList.clear();
    for (CK_SLOT_ID id : {7, 8}) fake.addSlot(id, "Lecteur virtuel", true);
    EXPECT_EQ(library.getSlotList(slots), CKR_OK);
    EXPECT_EQ(slots, (std::vector<CK_SLOT_ID>{7, 8}));
}

TEST_F(BindingTest, SlotNameKeepsInnerCharactersAndDropsTrailingBlanks) {
    fake.slot(1).description = std::string("Lecteur \x8E", 9) + std::string(1, '\0') + "  ";
    Pkcs11Slot slot(library, 1);
    EXPECT_EQ(slot.refreshSlot(), CKR_OK);
    EXPECT_EQ(slot.name, std::string("Lecteur é") + std::string(1, '\0'));
    EXPECT_TRUE(slot.cardPresent);

    Pkcs11Slot unknown(library, 99);
    unknown.name = "avant";
    EXPECT_EQ(unknown.refreshSlot(), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(unknown.name, "avant");
}

TEST_F(BindingTest, ContactCardIdentityTexts) {
    token().label = "XXXX-abc123Z";
    token().serial = "1234567890ABCDEF";
    Pkcs11Card card(library, 1);
    EXPECT_TRUE(card.contactQEL);
    EXPECT_NE(card.session, 0u);
    EXPECT_EQ(card.label, "XXXX-abc123Z");
    EXPECT_EQ(card.serial, "ABC123");
    EXPECT_EQ(card.cardNumber, "1234567890ABCDE");
    EXPECT_EQ(card.cardFullNumber, "80250000011234567890ABCDE");
    EXPECT_EQ(card.manufacturer, "Oberlane");
    EXPECT_EQ(card.model, "QEL3");
}

TEST(TokenText, TheLastCharacterGoesWholeAndNoSequenceIsLeftBroken) {
    const std::pair<std::string, std::string> serials[] = {
        {"1234567890ABCDEF", "1234567890ABCDE"},
        {"1234567890ABCDE\xC3\xA9", "1234567890ABCDE"},  // é: two bytes
        {"12345\xE2\x82\xAC", "12345"},                  // €: three bytes
        {"1\xF0\x9F\x98\x80", "1"},                      // four bytes
        {"\xC3\xA9", ""},
        {"", ""},
        {"AB\xC3", "AB"},                // a sequence cut short is one character
        {"A\xC3\xA9\xA9", "A\xC3\xA9"},  // so is a stray continuation byte
        {"A\xED\xA0\x80", "A\xED\xA0"},  // a surrogate is no character
    };
    for (const auto& [serial, expected] : serials) EXPECT_EQ(cardNumberFromTokenSerial(serial), expected) << serial;

    EXPECT_EQ(serialFromTokenLabel("QEL3-abc123\xC3\xA9"), "ABC123");
    EXPECT_EQ(serialFromTokenLabel("QEL3-\xC3\xA9Z"), "\xC3\xA9");
    EXPECT_EQ(serialFromTokenLabel("QEL3-\xC3\xA9"), "");
    EXPECT_EQ(serialFromTokenLabel("QEL3\xE2\x82\xAC-"), "");
    EXPECT_EQ(serialFromTokenLabel("QEL3"), "");
}

TEST_F(BindingTest, CardWithoutIdentityObjectIsContactless) {
    token().objects.clear();
    test::LogCapture log;
    Pkcs11Card card(library, 1);
    EXPECT_FALSE(card.contactQEL);
    EXPECT_EQ(card.serial, "");
    EXPECT_EQ(card.cardNumber, "1234567890");
    EXPECT_TRUE(log.contains("QEL sans contact détectée"));

    Pkcs11Card skipped(library, 1, true);
    EXPECT_TRUE(skipped.contactQEL);
    EXPECT_EQ(skipped.serial, "1234567890");
}

TEST_F(BindingTest, CodesOfTheWrongLengthNeverReachTheLibrary) {
    Pkcs11Card card(library, 1);
    for (const char* pin : {"", "123", "12345"}) EXPECT_EQ(card.login(pin, false), CKR_PIN_LEN_RANGE) << pin;
    for (const char* puk : {"1234567", "123456789", "1234"}) EXPECT_EQ(card.login(puk, true), CKR_PIN_LEN_RANGE) << puk;
    EXPECT_EQ(fake.count("C_Login"), 0);
    // Characters, not bytes.
    EXPECT_EQ(card.login("12é4", false), CKR_PIN_INCORRECT);
    EXPECT_EQ(fake.count("C_Login"), 1);
}

TEST_F(BindingTest, LockedPinIsReportedAsAWrongCode) {
    fake.failOn("C_Login", CKR_PIN_LOCKED);
    Pkcs11Card card(library, 1);
    test::LogCapture log;
    EXPECT_EQ(card.login("1234", false), CKR_PIN_LOCKED);
    EXPECT_TRUE(log.contains("Mauvais code PIN !"));
    EXPECT_FALSE(log.contains("1234"));

    // A wrong PUK is no wrong PIN.
    fake.failOn("C_Login", CKR_PIN_INCORRECT);
    test::LogCapture pukLog;
    EXPECT_EQ(card.unlockPin("12345678", "4321"), CKR_PIN_INCORRECT);
    EXPECT_TRUE(pukLog.contains("Mauvais code PUK !"));
    EXPECT_FALSE(pukLog.contains("Mauvais code PIN !"));
}

TEST_F(BindingTest, PinChangeNeedsALoggedInUser) {
    Pkcs11Card card(library, 1);
    EXPECT_EQ(card.changePin("1234", "5678"), CKR_GENERAL_ERROR);
    EXPECT_EQ(fake.count("C_SetPIN"), 0);
    ASSERT_EQ(card.login("1234", false), CKR_OK);
    EXPECT_EQ(card.changePin("1234", "5678"), CKR_OK);
    EXPECT_EQ(fake.count("C_SetPIN"), 1);
}

TEST_F(BindingTest, UnlockTreatsLogoutOfNobodyAsNormal) {
    Pkcs11Card card(library, 1);
    test::LogCapture log;
    EXPECT_EQ(card.unlockPin("12345678", "4321"), CKR_OK);
    EXPECT_EQ(token().pin, "4321");
    EXPECT_TRUE(card.isUserLoggedIn());
    EXPECT_FALSE(log.contains("C_Logout")) << log.text();
    EXPECT_EQ(fake.sessions.size(), 1u);
}

TEST_F(BindingTest, TheLoginEndsWithAResetOfTheCardItVerified) {
    std::vector<std::string> resets;
    library.setCardResetter([&resets](const std::string& reader) {
        resets.push_back(reader);
        return true;
    });
    {
        Pkcs11Card card(library, 1);
        card.logout();
        EXPECT_TRUE(resets.empty()) << "nothing verified by us, nothing to reset";
        ASSERT_EQ(card.login("1234", false), CKR_OK);
        EXPECT_TRUE(card.ownsLogin());
        EXPECT_EQ(card.logout(), CKR_OK);
        EXPECT_EQ(resets, std::vector<std::string>{"Lecteur virtuel"}) << "the reader's name, without its padding";
        EXPECT_FALSE(fake.userLoggedIn[1]);

        // Another program's reset ended the login already: resetting now could end its own.
        ASSERT_EQ(card.login("1234", false), CKR_OK);
        fake.userLoggedIn[1] = false;
        EXPECT_EQ(card.logout(), CKR_USER_NOT_LOGGED_IN);
        EXPECT_EQ(resets.size(), 1u);

        // A card object that goes while logged in (a failed step, the program's end) ends its login.
        ASSERT_EQ(card.login("1234", false), CKR_OK);
    }
    EXPECT_EQ(resets.size(), 2u);
    EXPECT_FALSE(fake.userLoggedIn[1]);

    // Even after C_Finalize took the session away, the card is reset.
    Pkcs11Card card(library, 1);
    ASSERT_EQ(card.login("1234", false), CKR_OK);
    ASSERT_EQ(library.finalize(), CKR_OK);
    EXPECT_EQ(card.logout(), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(resets.size(), 3u);
}

TEST_F(BindingTest, SituationLabelsStopAtTheFirstMissingOne) {
    for (int i = 1; i <= 3; ++i) token().objects[qel::format("QEL_ACTIVITY_%02d_PS", i)] = test::sampleActivity();
    token().objects["QEL_SIT_FACT"] = test::billing({test::billingBlock(0x02)});
    Pkcs11Card card(library, 1);
    fake.searchedLabels.clear();
    test::LogCapture log;
    SituFactuInfos situations = card.getSituations();
    EXPECT_EQ(situations.situFactuTab.size(), 3u);
    EXPECT_TRUE(situations.situFactuTab[1].hasFactu);
    EXPECT_EQ(fake.searchedLabels,
              (std::vector<std::string>{"QEL_ACTIVITY_01_PS", "QEL_ACTIVITY_02_PS", "QEL_ACTIVITY_03_PS",
                                        "QEL_ACTIVITY_04_PS", "QEL_SIT_FACT"}));
    EXPECT_TRUE(log.contains("Nombre de situations trouvées: 3"));
}

TEST_F(BindingTest, SixteenSituationsAndNone) {
    Pkcs11Card card(library, 1);
    fake.searchedLabels.clear();
    EXPECT_TRUE(card.getSituations().situFactuTab.empty());
    EXPECT_EQ(fake.searchedLabels, (std::vector<std::string>{"QEL_ACTIVITY_01_PS"}));  // no billing read

    for (int i = 1; i <= 17; ++i) token().objects[qel::format("QEL_ACTIVITY_%02d_PS", i)] = test::sampleActivity();
    fake.searchedLabels.clear();
    test::LogCapture log;
    EXPECT_EQ(card.getSituations().situFactuTab.size(), 16u);
    EXPECT_EQ(fake.searchedLabels.size(), 17u);  // 16 activities, then the billing object
    EXPECT_EQ(fake.searchedLabels[15], "QEL_ACTIVITY_16_PS");
    EXPECT_FALSE(log.contains("Nombre de situations trouvées"));
}

TEST_F(BindingTest, ChipSerialThroughThePassThrough) {
    fake.card = [](const Bytes& apdu) {
        if (apdu[1] == 0xB0) return *fromHex("8025000001123456789001029000");
        return Bytes{0x90, 0x00};
    };
    Pkcs11Card card(library, 1);
    auto [serial, shortSerial] = card.readChipSerial();
    EXPECT_EQ(serial, "000112345678900102");  // bytes 3 to 11
    EXPECT_EQ(shortSerial, "5678900102");     // bytes 7 to 11
    ASSERT_EQ(fake.apdus.size(), 3u);
    EXPECT_EQ(toHex(fake.apdus[0]), "00A4000C023F00");
    EXPECT_EQ(toHex(fake.apdus[1]), "00A4000C02D003");
    EXPECT_EQ(toHex(fake.apdus[2]), "00B000000C");
    EXPECT_EQ(fake.apduFlags, (std::vector<bool>{false, false, false}));

    EXPECT_EQ(card.transmit({0x00, 0x84, 0x00, 0x00, 0x08}, true), (Bytes{0x90, 0x00}));
    EXPECT_TRUE(fake.apduFlags.back());
}

TEST_F(BindingTest, ChipSerialFromShortOrMissingAnswers) {
    Pkcs11Card card(library, 1);
    fake.card = [](const Bytes&) { return *fromHex("8025000001123456789000"); };  // 11 bytes with the SW
    EXPECT_EQ(card.readChipSerial(), (std::pair<std::string, std::string>{}));
    fake.card = [](const Bytes&) { return Bytes{0x6A, 0x82}; };
    EXPECT_EQ(card.readChipSerial(), (std::pair<std::string, std::string>{}));
    fake.failOn("C_TransmitMessage", CKR_DEVICE_REMOVED);
    EXPECT_EQ(card.readChipSerial(), (std::pair<std::string, std::string>{}));
    EXPECT_EQ(card.transmit({0x00, 0xB0, 0x00, 0x00, 0x0C}, false), std::nullopt);
}

TEST_F(BindingTest, HandlesFromBeforeReinitialisationAreLeftAlone) {
    auto old = std::make_unique<Pkcs11Card>(library, 1);
    CK_SESSION_HANDLE oldHandle = old->session;
    library.finalize();
    ASSERT_EQ(library.initialize(), CKR_OK);
    Pkcs11Card fresh(library, 1);
    ASSERT_EQ(fresh.session, oldHandle);  // the module hands out the same number again

    EXPECT_FALSE(old->isUserLoggedIn());
    old.reset();  // must not close the fresh card's session
    EXPECT_EQ(fake.sessions.count(fresh.session), 1u);

    auto stale = std::make_unique<Pkcs11Card>(library, 1);
    library.finalize();
    ASSERT_EQ(library.initialize(), CKR_OK);
    stale->ensureSession();
    EXPECT_EQ(fake.sessions.count(stale->session), 1u);
}

}  // namespace
}  // namespace qel
