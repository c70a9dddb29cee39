#include <gtest/gtest.h>

#include "app/modif_pin_view_controller.h"
#include "app/saisie_pin_view_controller.h"
#include "app/view_controller.h"
#include "management/scard/scard.h"
#include "app/unlock_card_view_controller.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"
#include "tests/management/fake_readers.h"
#include "tests/support/fake_issuer_module.h"
#include "tests/support/fake_views.h"
#include "tests/support/log_capture.h"

namespace qel::test {
namespace {

struct RecordingDelegate : MainWindowDelegate, SaisieDelegate {
    void setCardBlocked(bool b) override { blocked = b; }
    void setUserAuthentified(bool a) override { authentified = a; }
    void updateUI() override { ++updates; }
    void showIdentificationPane(bool hidden) override { paneHidden = hidden; }
    std::shared_ptr<Pkcs11Card> selectedCard() override { return nullptr; }
    void beginCardReading() override {}
    void endCardReading() override {}
    void pinEntryResult(bool success, const std::string& context) override { results.push_back({success, context}); }
    void pinEntered(const SecretBytes& pin) override { pins.emplace_back(pin.view()); }
    void pinEntryCancelled() override { ++cancelled; }
    void whenCardRemoved(std::function<void()> h) override { removal = std::move(h); }

    int cancelled = 0;
    std::function<void()> removal;

    std::optional<bool> blocked, authentified, paneHidden;
    int updates = 0;
    std::vector<std::pair<bool, std::string>> results;
    std::vector<std::string> pins;
};

struct PinDialogTest : ::testing::Test {
    void SetUp() override {
        module.addSlot("Reader 0", true);
        ASSERT_EQ(library.initialize(), CKR_OK);
        card = std::make_shared<Pkcs11Card>(library, 0, true);
    }
    FakeToken& token() { return module.slot(0).token; }

    FakeIssuerModule module;
    Pkcs11Library library{module.functions(), nullptr};
    ManualMainQueue queue;
    FakeCardReaders readers;
    ServiceAbsenceLog serviceLog;
    Scard scard{readers, serviceLog};
    std::shared_ptr<Pkcs11Card> card;
    RecordingDelegate delegate;
};

struct SaisiePinTest : PinDialogTest {
    void SetUp() override {
        PinDialogTest::SetUp();
        controller.pCard = card;
        controller.delegate = &delegate;
    }
    void enter(const std::string& pin) {
        view.pinTextField.value.clear();
        view.pinTextField.type(pin);
        view.validate.click();
    }
    FakeSaisiePinView view;
    SaisiePinViewController controller{view, queue, scard};
};

TEST_F(SaisiePinTest, TypingFiltersTheFieldAndHidesTheMessage) {
    view.errorPinLabel.hidden = false;
    view.pinTextField.type("1a2345");
    EXPECT_EQ(view.pinTextField.value, "1234");
    EXPECT_TRUE(view.errorPinLabel.hidden);
}

TEST_F(SaisiePinTest, ShortPinNeverReachesTheCard) {
    const int before = module.totalCalls();
    enter("123");
    EXPECT_EQ(view.errorPinLabel.value, "Le code PIN doit comporter 4 chiffres");
    EXPECT_FALSE(view.errorPinLabel.hidden);
    EXPECT_EQ(module.totalCalls(), before);
}

TEST_F(SaisiePinTest, WrongPinsWarnAtTheLastTryThenBlock) {
    enter("0000");
    EXPECT_EQ(view.errorPinLabel.value, "Le code PIN n'est pas valide !");
    enter("0000");
    EXPECT_EQ(view.errorPinLabel.value, "Le code PIN n'est pas valide ! Dernier essai avant le blocage de la carte");
    EXPECT_FALSE(view.closed);
    enter("0000");
    EXPECT_EQ(view.errorPinLabel.value, "La carte est bloquée !");
    EXPECT_FALSE(controller.pinStatus);
    EXPECT_TRUE(controller.modalStatus);
    queue.advance(499);
    EXPECT_TRUE(delegate.results.empty());
    queue.advance(1);
    ASSERT_EQ(delegate.results.size(), 1u);
    EXPECT_FALSE(delegate.results[0].first);
    EXPECT_TRUE(delegate.pins.empty());
    EXPECT_TRUE(view.closed);
}

TEST_F(SaisiePinTest, RightPinReportsAfterHalfASecondOnce) {
    enter("1234");
    EXPECT_EQ(view.errorPinLabel.value, "Authentification réussie !");
    EXPECT_EQ(view.errorPinLabel.colour, ui::colours::green);
    EXPECT_TRUE(card->isUserLoggedIn());
    view.validate.click();  // a second click while the message shows
    queue.advance(500);
    ASSERT_EQ(delegate.results.size(), 1u);
    EXPECT_TRUE(delegate.results[0].first);
    EXPECT_EQ(delegate.results[0].second, "");
    ASSERT_EQ(delegate.pins.size(), 1u);
    EXPECT_EQ(delegate.pins[0], "1234");
    EXPECT_EQ(module.count("C_Login"), 1);
    EXPECT_TRUE(view.closed);
}

TEST_F(SaisiePinTest, LastTryShownWhenTheDialogAppears) {
    token().pinTries = 1;
    card->refreshTokenInfo();
    controller.viewDidAppear();
    EXPECT_EQ(view.errorPinLabel.value, " Dernier essai avant le blocage de la carte");
    EXPECT_FALSE(view.errorPinLabel.hidden);

    // Asked again because another program reset the card: the reason comes first.
    controller.notice = kCardResetNotice;
    controller.viewDidAppear();
    EXPECT_EQ(view.errorPinLabel.value,
              "La carte a été réinitialisée par une autre application. Dernier essai avant le blocage de la carte");
}

TEST_F(SaisiePinTest, CardRemovedClosesTheDialogWithTheReasonAndNoResult) {
    controller.window = &delegate;
    controller.viewDidAppear();
    ASSERT_TRUE(delegate.removal);
    delegate.removal();
    EXPECT_EQ(view.errorPinLabel.value, kCardRemovedText);
    EXPECT_FALSE(view.errorPinLabel.hidden);
    const int before = module.totalCalls();
    enter("1234");  // too late: nothing reaches the library
    EXPECT_EQ(module.totalCalls(), before);
    queue.advance(1500);
    EXPECT_TRUE(view.closed);
    EXPECT_EQ(delegate.cancelled, 1);
    EXPECT_TRUE(delegate.results.empty());

    // Noticed by the login itself, before the window heard of it: the same true message.
    FakeSaisiePinView other;
    SaisiePinViewController second{other, queue, scard};
    second.pCard = card;
    second.delegate = &delegate;
    module.slotList[0].present = false;
    other.pinTextField.type("1234");
    other.validate.click();
    EXPECT_EQ(other.errorPinLabel.value, kCardRemovedText);
    queue.advance(1500);
    EXPECT_TRUE(other.closed);
    EXPECT_EQ(delegate.cancelled, 2);
}

TEST_F(SaisiePinTest, CancelReportsOnceAndNotAfterAResult) {
    view.cancel.click();
    controller.dismissed();  // the window's own close that follows
    EXPECT_EQ(delegate.cancelled, 1);
    EXPECT_TRUE(view.closed);

    FakeSaisiePinView other;
    SaisiePinViewController second{other, queue, scard};
    second.pCard = card;
    second.delegate = &delegate;
    other.pinTextField.type("1234");
    other.validate.click();
    queue.advance(500);
    second.dismissed();
    EXPECT_EQ(delegate.cancelled, 1);
}

TEST_F(PinDialogTest, DialogClosedBeforeItsDelayedResultReportsNothing) {
    auto view = std::make_unique<FakeSaisiePinView>();
    auto controller = std::make_unique<SaisiePinViewController>(*view, queue, scard);
    controller->pCard = card;
    controller->delegate = &delegate;
    view->pinTextField.type("1234");
    view->validate.click();
    controller.reset();
    view.reset();
    queue.advance(1000);
    EXPECT_TRUE(delegate.results.empty());
}

struct DeleteDesfireTest : PinDialogTest {
    void SetUp() override {
        PinDialogTest::SetUp();
        controller.delegate = &delegate;
        controller.context = kDeleteDESfireContext;
        controller.readerNameQEL4 = "CL 01";
    }
    FakeSaisiePinView view;
    SaisiePinViewController controller{view, queue, scard};
};

TEST_F(DeleteDesfireTest, WrongPinAtLastTryOnTheCardItself) {
    readers.addReader("CL 01", FakeCardReaders::Card{hex(kQel4ContactAtr), [](const Bytes& apdu) {
                                                         return apdu[1] == 0x20 ? hex("63C1") : hex("9000");
                                                     }});
    LogCapture log;
    view.pinTextField.type("9876");
    view.validate.click();
    EXPECT_EQ(view.errorPinLabel.value, "Le code PIN n'est pas valide ! Dernier essai avant le blocage de la carte");
    EXPECT_TRUE(log.contains("0020000104FFFFFFFF")) << log.text();
    EXPECT_FALSE(log.contains("39383736")) << log.text();
    EXPECT_FALSE(log.contains("9876")) << log.text();
    EXPECT_EQ(module.count("C_Login"), 0);
}

TEST_F(DeleteDesfireTest, UnknownReaderIsAnAuthenticationError) {
    LogCapture log;
    view.pinTextField.type("9876");
    view.validate.click();
    EXPECT_EQ(view.errorPinLabel.value, "Erreur lors de la tentative d'authentification");
    EXPECT_TRUE(log.contains("Erreur dans C_Login: 268435462")) << log.text();
}

TEST_F(DeleteDesfireTest, AcceptedPinGoesToTheDelegateWithTheContext) {
    readers.addReader("CL 01", FakeCardReaders::Card{hex(kQel4ContactAtr), {}});
    view.pinTextField.type("9876");
    view.validate.click();
    queue.advance(500);
    ASSERT_EQ(delegate.results.size(), 1u);
    EXPECT_EQ(delegate.results[0], std::make_pair(true, std::string("DeleteDESfire")));
    EXPECT_EQ(delegate.pins, std::vector<std::string>{"9876"});
}

struct ModifPinTest : PinDialogTest {
    void SetUp() override {
        PinDialogTest::SetUp();
        controller.pCard = card;
        controller.delegate = &delegate;
    }
    void fill(const std::string& oldPin, const std::string& newPin, const std::string& renewPin) {
        view.oldPin.value = oldPin;
        view.newPin.value = newPin;
        view.renewPin.value = renewPin;
        view.validate.click();
    }
    FakeModifPinView view;
    ModifPinViewController controller{view, queue};
};

TEST_F(ModifPinTest, FieldChecksStopBeforeTheCard) {
    const int before = module.totalCalls();
    fill("1234", "5678", "5679");
    EXPECT_EQ(view.errorLabel.value, "Le code PIN n'est pas identique au précédent.");
    EXPECT_FALSE(view.errorLabel.hidden);
    fill("12", "5678", "5678");
    EXPECT_FALSE(view.oldTip.hidden);
    EXPECT_TRUE(view.newTip.hidden);
    EXPECT_TRUE(view.errorLabel.hidden);
    EXPECT_EQ(module.totalCalls(), before);
    view.newPin.type("x9");
    EXPECT_EQ(view.newPin.value, "5678");
}

TEST_F(ModifPinTest, WrongOldPinWarnsAtTheLastTry) {
    token().pinTries = 2;
    fill("0000", "5678", "5678");
    EXPECT_EQ(view.errorLabel.value, "L'ancien code PIN n'est pas valide ! Dernier essai avant le blocage de la carte");
    EXPECT_EQ(token().pin, "1234");
    fill("0000", "5678", "5678");
    EXPECT_EQ(view.errorLabel.value, "La carte est bloquée !");
    queue.advance(1000);
    EXPECT_EQ(delegate.blocked, true);
    EXPECT_EQ(delegate.updates, 1);
    EXPECT_TRUE(view.closed);
}

TEST_F(ModifPinTest, ChangedPinLogsTheUserInAfterASecond) {
    fill("1234", "5678", "5678");
    EXPECT_EQ(view.errorLabel.value, "Modification du code PIN OK !");
    EXPECT_EQ(view.errorLabel.colour, ui::colours::green);
    EXPECT_EQ(token().pin, "5678");
    queue.advance(999);
    EXPECT_FALSE(view.closed);
    queue.advance(1);
    EXPECT_EQ(delegate.authentified, true);
    EXPECT_EQ(delegate.updates, 1);
    EXPECT_TRUE(view.closed);
}

struct UnlockTest : PinDialogTest {
    void SetUp() override {
        PinDialogTest::SetUp();
        token().pinTries = 0;
        controller.pCard = card;
        controller.delegate = &delegate;
    }
    void fill(const std::string& puk, const std::string& newPin, const std::string& renewPin) {
        view.puk.value = puk;
        view.newPin.value = newPin;
        view.renewPin.value = renewPin;
        view.validate.click();
    }
    FakeUnlockCardView view;
    UnlockCardViewController controller{view, queue};
};

TEST_F(UnlockTest, ShortPukShowsItsIconOnly) {
    view.puk.type("1234567890");
    EXPECT_EQ(view.puk.value, "12345678");
    fill("1234567", "5678", "5678");
    EXPECT_FALSE(view.pukTip.hidden);
    EXPECT_EQ(module.count("C_Login"), 0);
}

TEST_F(UnlockTest, WrongPukAtItsFinalTryWarnsOfTheDefinitiveBlock) {
    token().pukTries = 2;
    fill("00000000", "5678", "5678");
    EXPECT_EQ(view.errorLabel.value,
              "Le code PUK est incorrect !⚠️ Attention: dernier essai avant le blocage DEFINITIF de la carte");
    EXPECT_FALSE(view.closed);
}

TEST_F(UnlockTest, UnlockedCardLogsTheUserIn) {
    fill("12345678", "5678", "5678");
    EXPECT_EQ(view.errorLabel.value, "Déblocage de la carte OK !");
    EXPECT_EQ(token().pin, "5678");
    queue.advance(1000);
    EXPECT_EQ(delegate.blocked, false);
    EXPECT_EQ(delegate.authentified, true);
    EXPECT_EQ(delegate.paneHidden, false);
    EXPECT_EQ(delegate.updates, 1);
    EXPECT_TRUE(view.closed);
}

}  // namespace
}  // namespace qel::test
