#include <gtest/gtest.h>

#include "app/identification_view_controller.h"
#include "app/situation_view_controller.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"
#include "tests/support/card_records.h"
#include "tests/support/fake_issuer_module.h"
#include "tests/support/fake_views.h"

namespace qel::test {
namespace {

TEST(IdentificationView, CopiesWhatTheLabelsShowWithTheMetierAsProfession) {
    FakeIdentificationView view;
    FakeClipboard clipboard;
    IdentificationViewController controller(view, clipboard);
    HolderInfos h;
    h.nomPatronym = "MARTIN";
    h.prenomUsuel = "Claire";
    h.identifiant = "810001234567";
    h.metier = "Pharmacien";
    h.idCarte = "1234567890";
    h.debutValidite = "15/01/2020";
    h.finValidite = "31/12/2029";
    controller.fill(h);
    EXPECT_TRUE(view.serialNumTitle.hidden);
    view.copy.click();
    EXPECT_EQ(
        clipboard.text,
        "Identification porteur\nNom: MARTIN\nPrénom: Claire\nIdentifiant: 810001234567\nProfession: Pharmacien\n\n"
        "Identification carte\nNuméro de la carte: 1234567890\nDate d'émission: 15/01/2020\n"
        "Date d'expiration: 31/12/2029");

    controller.clear();
    controller.fillContactless("8025000001234567890", "1234567890", "810001234567");
    EXPECT_FALSE(view.serialNumTitle.hidden);
    EXPECT_EQ(view.serialNum.value, "8025000001234567890");
    EXPECT_EQ(view.name.value, kNotReadableContactless);  // said, not left empty
    EXPECT_EQ(view.num.value, "1234567890");
}

struct NoMainWindow : MainWindowDelegate {
    void setCardBlocked(bool) override {}
    void setUserAuthentified(bool) override {}
    void updateUI() override {}
    void showIdentificationPane(bool) override {}
    std::shared_ptr<Pkcs11Card> selectedCard() override { return card; }
    void beginCardReading() override { ++readings; }
    void endCardReading() override { --readings; }
    std::shared_ptr<Pkcs11Card> card;
    int readings = 0;
};

struct SituationTest : ::testing::Test {
    void SetUp() override {
        FakeToken& t = module.addSlot("Reader", true).token;
        t.privateObjects["QEL_ACTIVITY_01_PS"] = sampleActivity(0x00, "1123456789", "SA07");
        t.privateObjects["QEL_ACTIVITY_02_PS"] = sampleActivity(0x01, "2123456789", "SA01");
        t.privateObjects["QEL_ACTIVITY_03_PS"] = sampleActivity(0x00, "3123456789", "SA02");
        t.privateObjects["QEL_SIT_FACT"] =
            billing({billingBlock(0x02, {0x01, 0x34, 0x09}, {0x02, 0x03, 0x04}, {0x10})});
        ASSERT_EQ(library.initialize(), CKR_OK);
        mainWindow.card = std::make_shared<Pkcs11Card>(library, 0, true);
    }
    void logIn() { ASSERT_EQ(mainWindow.card->login("1234", false), CKR_OK); }

    FakeIssuerModule module;
    Pkcs11Library library{module.functions(), nullptr};
    NoMainWindow mainWindow;
    FakeSituationView view;
    FakeClipboard clipboard;
    SituationViewController controller{view, mainWindow, clipboard};
};

TEST_F(SituationTest, WithoutLoginNothingIsReadAndTheIndicatorStops) {
    controller.viewWillAppear();
    EXPECT_FALSE(view.noSitu.hidden);
    EXPECT_TRUE(view.situView.hidden);
    EXPECT_FALSE(view.hidden);
    EXPECT_EQ(mainWindow.readings, 0);
    EXPECT_EQ(controller.totalSitu, 0);
}

TEST_F(SituationTest, PagesThroughThreeSituations) {
    logIn();
    controller.viewWillAppear();
    EXPECT_EQ(controller.totalSitu, 3);
    EXPECT_TRUE(view.noSitu.hidden);
    EXPECT_FALSE(view.situView.hidden);
    EXPECT_TRUE(view.previous.hidden);
    EXPECT_FALSE(view.next.hidden);
    EXPECT_EQ(view.pageCounter.value, "1 / 3");
    EXPECT_TRUE(view.factuView.hidden);  // situation 1 has no billing block

    view.next.click();
    EXPECT_EQ(view.pageCounter.value, "2 / 3");
    EXPECT_FALSE(view.factuView.hidden);
    EXPECT_EQ(view.fFse.value, "Oui");
    EXPECT_EQ(view.fLot.value, "Non");
    EXPECT_FALSE(view.previous.hidden);

    view.next.click();
    EXPECT_EQ(view.pageCounter.value, "3 / 3");
    EXPECT_TRUE(view.next.hidden);
    EXPECT_FALSE(view.previous.hidden);
    view.next.handler();  // a stray click past the end
    EXPECT_EQ(controller.currentPage, 2);

    view.previous.click();
    view.previous.click();
    EXPECT_EQ(view.pageCounter.value, "1 / 3");
    EXPECT_TRUE(view.previous.hidden);
    EXPECT_FALSE(view.next.hidden);

    // Shown again for the same card: nothing read again, the page kept.
    view.next.click();
    const int finds = module.count("C_FindObjectsInit");
    controller.viewWillAppear();
    EXPECT_EQ(module.count("C_FindObjectsInit"), finds);
    EXPECT_EQ(controller.currentPage, 1);
}

TEST_F(SituationTest, OneSituationHidesBothButtonsAndCopiesItsBlocks) {
    module.slot(0).token.privateObjects.erase("QEL_ACTIVITY_03_PS");
    module.slot(0).token.privateObjects.erase("QEL_ACTIVITY_02_PS");
    module.slot(0).token.privateObjects["QEL_SIT_FACT"] = billing({billingBlock(0x01)});
    logIn();
    controller.viewWillAppear();
    EXPECT_EQ(view.pageCounter.value, "1 / 1");
    EXPECT_TRUE(view.previous.hidden);
    EXPECT_TRUE(view.next.hidden);

    view.copySitu.click();
    EXPECT_EQ(clipboard.text, "Exercice\nMode d'exercice: " + view.mode.value + "\nRaison sociale: CABINET DUPONT" +
                                  "\nIdentifiant de la structure: " + view.ident.value +
                                  "\nSecteur d'activité: " + view.secteur.value + "\n\n");
    view.copyFactu.click();
    EXPECT_EQ(clipboard.text, "Facturation\nIdentifiant: " + view.fIdent.value + "\nSpécialité: " + view.fSpec.value +
                                  "\n" + view.fConv.value + "\n" + view.fZone.value + "\n" + view.fIndem.value +
                                  "\nAgrément: " + view.fAgr.value +
                                  "\nAutorisation de signature:\nPermissions pour les FSE: Oui\n"
                                  "Permissions pour les lots: Non");
    EXPECT_FALSE(view.fIdent.value.empty());
}

}  // namespace
}  // namespace qel::test
