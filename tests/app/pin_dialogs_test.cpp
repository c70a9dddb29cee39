#include <gtest/gtest.h>

#include "app/pin_change_controller.h"
#include "app/background_queue.h"
#include "app/pin_entry_controller.h"
#include "app/pin_pad_controller.h"
#include "app/main_window_controller.h"
#include "management/scard/scard.h"
#include "app/unlock_card_controller.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"
#include "tests/management/fake_readers.h"
#include "tests/support/fake_issuer_module.h"
#include "tests/support/fake_views.h"
#include "tests/support/log_capture.h"

namespace qel::test {
namespace {

struct RecordingListener : MainWindowListener, PinEntryListener {
    void setCardBlocked(bool b) override { blocked = b; }
    void setUserAuthenticated(bool a) override { authenticated = a; }
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

    std::optional<bool> blocked, authenticated, paneHidden;
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
    RecordingListener listener;
};

struct PinEntryTest : PinDialogTest {
    void SetUp() override {
        PinDialogTest::SetUp();
        controller.pCard = card;
        controller.listener = &listener;
    }
    void enter(const std::string& pin) {
        view.pinTextField.value.clear();
        view.pinTextField.type(pin);
        view.validate.click();
    }
    FakePinEntryView view;
    PinEntryController controller{view, queue, scard};
};

TEST_F(PinEntryTest, TypingFiltersTheFieldAndHidesTheMessage) {
    view.errorPinLabel.hidden = false;
    view.pinTextField.type("1a2345");
    EXPECT_EQ(view.pinTextField.value, "1234");
    EXPECT_TRUE(view.errorPinLabel.hidden);
}

TEST_F(PinEntryTest, ShortPinNeverReachesTheCard) {
    const int before = module.totalCalls();
    enter("123");
    EXPECT_EQ(view.errorPinLabel.value, "Le code PIN doit comporter 4 chiffres");
    EXPECT_FALSE(view.errorPinLabel.hidden);
    EXPECT_EQ(module.totalCalls(), before);
}

TEST_F(PinEntryTest, WrongPinsWarnAtTheLastTryThenBlock) {
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
    EXPECT_TRUE(listener.results.empty());
    queue.advance(1);
    ASSERT_EQ(listener.results.size(), 1u);
    EXPECT_FALSE(listener.results[0].first);
    EXPECT_TRUE(listener.pins.empty());
    EXPECT_TRUE(view.closed);
}

TEST_F(PinEntryTest, RightPinReportsAfterHalfASecondOnce) {
    enter("1234");
    EXPECT_EQ(view.errorPinLabel.value, "Authentification réussie !");
    EXPECT_EQ(view.errorPinLabel.colour, ui::colours::green);
    EXPECT_TRUE(card->isUserLoggedIn());
    view.validate.click();  // a second click while the message shows
    queue.advance(500);
    ASSERT_EQ(listener.results.size(), 1u);
    EXPECT_TRUE(listener.results[0].first);
    EXPECT_EQ(listener.results[0].second, "");
    ASSERT_EQ(listener.pins.size(), 1u);
    EXPECT_EQ(listener.pins[0], "1234");
    EXPECT_EQ(module.count("C_Login"), 1);
    EXPECT_TRUE(view.closed);
}

TEST_F(PinEntryTest, LastTryShownWhenTheDialogAppears) {
    token().pinTries = 1;
    card->refreshTokenInfo();
    controller.onShown();
    EXPECT_EQ(view.errorPinLabel.value, " Dernier essai avant le blocage de la carte");
    EXPECT_FALSE(view.errorPinLabel.hidden);

    // Asked again because another program reset the card: the reason comes first.
    controller.notice = kCardResetNotice;
    controller.onShown();
    EXPECT_EQ(view.errorPinLabel.value,
              "La carte a été réinitialisée par une autre application. Dernier essai avant le blocage de la carte");
}

TEST_F(PinEntryTest, CardRemovedClosesTheDialogWithTheReasonAndNoResult) {
    controller.window = &listener;
    controller.onShown();
    ASSERT_TRUE(listener.removal);
    listener.removal();
    EXPECT_EQ(view.errorPinLabel.value, kCardRemovedText);
    EXPECT_FALSE(view.errorPinLabel.hidden);
    const int before = module.totalCalls();
    enter("1234");  // too late: nothing reaches the library
    EXPECT_EQ(module.totalCalls(), before);
    queue.advance(1500);
    EXPECT_TRUE(view.closed);
    EXPECT_EQ(listener.cancelled, 1);
    EXPECT_TRUE(listener.results.empty());

    // Noticed by the login itself, before the window heard of it: the same true message.
    FakePinEntryView other;
    PinEntryController second{other, queue, scard};
    second.pCard = card;
    second.listener = &listener;
    module.slotList[0].present = false;
    other.pinTextField.type("1234");
    other.validate.click();
    EXPECT_EQ(other.errorPinLabel.value, kCardRemovedText);
    queue.advance(1500);
    EXPECT_TRUE(other.closed);
    EXPECT_EQ(listener.cancelled, 2);
}

TEST_F(PinEntryTest, CancelReportsOnceAndNotAfterAResult) {
    view.cancel.click();
    controller.dismissed();  // the window's own close that follows
    EXPECT_EQ(listener.cancelled, 1);
    EXPECT_TRUE(view.closed);

    FakePinEntryView other;
    PinEntryController second{other, queue, scard};
    second.pCard = card;
    second.listener = &listener;
    other.pinTextField.type("1234");
    other.validate.click();
    queue.advance(500);
    second.dismissed();
    EXPECT_EQ(listener.cancelled, 1);
}

TEST_F(PinDialogTest, DialogClosedBeforeItsDelayedResultReportsNothing) {
    auto view = std::make_unique<FakePinEntryView>();
    auto controller = std::make_unique<PinEntryController>(*view, queue, scard);
    controller->pCard = card;
    controller->listener = &listener;
    view->pinTextField.type("1234");
    view->validate.click();
    controller.reset();
    view.reset();
    queue.advance(1000);
    EXPECT_TRUE(listener.results.empty());
}

struct DeleteDesfireTest : PinDialogTest {
    void SetUp() override {
        PinDialogTest::SetUp();
        controller.listener = &listener;
        controller.context = kDeleteDESfireContext;
        controller.readerNameQEL4 = "CL 01";
    }
    FakePinEntryView view;
    PinEntryController controller{view, queue, scard};
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

TEST_F(DeleteDesfireTest, AcceptedPinGoesToTheListenerWithTheContext) {
    readers.addReader("CL 01", FakeCardReaders::Card{hex(kQel4ContactAtr), {}});
    view.pinTextField.type("9876");
    view.validate.click();
    queue.advance(500);
    ASSERT_EQ(listener.results.size(), 1u);
    EXPECT_EQ(listener.results[0], std::make_pair(true, std::string("DeleteDESfire")));
    EXPECT_EQ(listener.pins, std::vector<std::string>{"9876"});
}

struct PinChangeTest : PinDialogTest {
    void SetUp() override {
        PinDialogTest::SetUp();
        controller.pCard = card;
        controller.listener = &listener;
    }
    void fill(const std::string& oldPin, const std::string& newPin, const std::string& renewPin) {
        view.oldPin.value = oldPin;
        view.newPin.value = newPin;
        view.renewPin.value = renewPin;
        view.validate.click();
    }
    FakePinChangeView view;
    PinChangeController controller{view, queue};
};

TEST_F(PinChangeTest, FieldChecksStopBeforeTheCard) {
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

TEST_F(PinChangeTest, WrongOldPinWarnsAtTheLastTry) {
    token().pinTries = 2;
    fill("0000", "5678", "5678");
    EXPECT_EQ(view.errorLabel.value, "L'ancien code PIN n'est pas valide ! Dernier essai avant le blocage de la carte");
    EXPECT_EQ(token().pin, "1234");
    fill("0000", "5678", "5678");
    EXPECT_EQ(view.errorLabel.value, "La carte est bloquée !");
    queue.advance(1000);
    EXPECT_EQ(listener.blocked, true);
    EXPECT_EQ(listener.updates, 1);
    EXPECT_TRUE(view.closed);
}

TEST_F(PinChangeTest, ChangedPinLogsTheUserInAfterASecond) {
    fill("1234", "5678", "5678");
    EXPECT_EQ(view.errorLabel.value, "Modification du code PIN OK !");
    EXPECT_EQ(view.errorLabel.colour, ui::colours::green);
    EXPECT_EQ(token().pin, "5678");
    queue.advance(999);
    EXPECT_FALSE(view.closed);
    queue.advance(1);
    EXPECT_EQ(listener.authenticated, true);
    EXPECT_EQ(listener.updates, 1);
    EXPECT_TRUE(view.closed);
}

struct UnlockTest : PinDialogTest {
    void SetUp() override {
        PinDialogTest::SetUp();
        token().pinTries = 0;
        controller.pCard = card;
        controller.listener = &listener;
    }
    void fill(const std::string& puk, const std::string& newPin, const std::string& renewPin) {
        view.puk.value = puk;
        view.newPin.value = newPin;
        view.renewPin.value = renewPin;
        view.validate.click();
    }
    FakeUnlockCardView view;
    UnlockCardController controller{view, queue};
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
    EXPECT_EQ(listener.blocked, false);
    EXPECT_EQ(listener.authenticated, true);
    EXPECT_EQ(listener.paneHidden, false);
    EXPECT_EQ(listener.updates, 1);
    EXPECT_TRUE(view.closed);
}

// The reader's keypad: the entry runs on the background queue, its outcome comes back on the main queue.
struct PinPadTest : PinDialogTest {
    void SetUp() override {
        PinDialogTest::SetUp();
        token().keypadEntry = "1234";
    }
    void open(PinPadController& c) {
        c.pCard = card;
        c.entryListener = &listener;
        c.window = &listener;
        c.onShown();
    }
    // The reader has answered and its outcome is on screen.
    void settle() {
        background.waitIdle();
        queue.runReady();
    }
    BackgroundQueue background;
    FakePinPadView view;
};

TEST_F(PinPadTest, LoginOnTheKeypadReportsEachOutcomeAndNeverSeesThePin) {
    EXPECT_TRUE(usesPinPad(*card));
    PinPadController controller{view, queue, background, PinPadController::Step::login};

    token().keypadEntry = "0000";
    token().pinTries = 2;
    open(controller);
    EXPECT_EQ(view.instruction.value, "Saisissez votre code PIN sur le clavier du lecteur");
    settle();
    EXPECT_EQ(view.message.value, "Le code PIN n'est pas valide ! Dernier essai avant le blocage de la carte");
    EXPECT_FALSE(view.retry.hidden);
    EXPECT_FALSE(view.waiting);

    // The holder cancels on the reader; the dialog's own Annuler during an entry only says how.
    token().keypadEntry = "cancel";
    view.retry.click();
    EXPECT_TRUE(view.retry.hidden);
    view.cancel.click();
    EXPECT_EQ(view.message.value, "Appuyez sur la touche Annuler du lecteur pour interrompre la saisie");
    settle();
    EXPECT_EQ(view.message.value, "Saisie annulée sur le lecteur");
    EXPECT_FALSE(view.closed);
    EXPECT_EQ(token().pinTries, 1);

    token().keypadEntry = "timeout";
    view.retry.click();
    settle();
    EXPECT_EQ(view.message.value, "La saisie sur le lecteur n'a pas abouti : délai dépassé ou erreur du lecteur");

    token().keypadEntry = "1234";
    view.retry.click();
    settle();
    EXPECT_EQ(view.message.value, "Authentification réussie !");
    EXPECT_EQ(view.message.colour, ui::colours::green);
    EXPECT_TRUE(view.retry.hidden);
    EXPECT_TRUE(card->isUserLoggedIn());
    queue.advance(500);
    ASSERT_EQ(listener.results.size(), 1u);
    EXPECT_TRUE(listener.results[0].first);
    ASSERT_EQ(listener.pins.size(), 1u);
    EXPECT_EQ(listener.pins[0], "");  // typed on the reader, never here
    EXPECT_EQ(listener.cancelled, 0);
    EXPECT_TRUE(view.closed);
}

TEST_F(PinPadTest, BlockedOnTheKeypadEndsWithoutRetry) {
    PinPadController controller{view, queue, background, PinPadController::Step::login};
    token().keypadEntry = "0000";
    token().pinTries = 1;
    card->refreshTokenInfo();
    controller.notice = kCardResetNotice;
    open(controller);
    EXPECT_EQ(view.message.value,
              "La carte a été réinitialisée par une autre application. Dernier essai avant le blocage de la carte");
    settle();
    EXPECT_EQ(view.message.value, "La carte est bloquée !");
    EXPECT_TRUE(view.retry.hidden);
    queue.advance(500);
    ASSERT_EQ(listener.results.size(), 1u);
    EXPECT_FALSE(listener.results[0].first);
    EXPECT_TRUE(listener.pins.empty());
    EXPECT_TRUE(view.closed);
}

TEST_F(PinPadTest, AnnulerAfterAFailedEntryClosesAndTellsOnce) {
    PinPadController controller{view, queue, background, PinPadController::Step::login};
    token().keypadEntry = "cancel";
    open(controller);
    settle();
    view.cancel.click();
    view.cancel.click();
    EXPECT_TRUE(view.closed);
    EXPECT_EQ(listener.cancelled, 1);
    EXPECT_TRUE(listener.results.empty());
}

TEST_F(PinPadTest, ChangeOnTheKeypadNeedsNoLoginAndSaysWhatToType) {
    EXPECT_TRUE(changesPinOnPinPad(*card));
    PinPadController controller{view, queue, background, PinPadController::Step::change};
    token().keypadEntry = "0000";
    open(controller);
    EXPECT_EQ(view.instruction.value,
              "Saisissez sur le clavier du lecteur votre code PIN actuel, puis deux fois le nouveau code PIN");
    settle();
    EXPECT_EQ(view.message.value, "L'ancien code PIN n'est pas valide !");
    EXPECT_EQ(token().pin, "1234");

    token().keypadEntry = "1234";
    view.retry.click();
    settle();
    EXPECT_EQ(view.message.value, "Modification du code PIN OK !");
    EXPECT_EQ(token().pin, "5678");
    EXPECT_EQ(module.count("C_Login"), 0);
    queue.advance(1000);
    EXPECT_EQ(listener.updates, 1);
    EXPECT_FALSE(listener.authenticated.has_value());  // the keypad change logs nobody in
    EXPECT_TRUE(view.closed);
}

TEST_F(PinPadTest, OnlyAQel3ChangesItsPinOnTheKeypad) {
    token().label = "QEL4-1234567890Z";
    auto qel4 = std::make_shared<Pkcs11Card>(library, 0, true);
    EXPECT_TRUE(usesPinPad(*qel4));
    EXPECT_FALSE(changesPinOnPinPad(*qel4));
    token().keypadEntry.reset();
    EXPECT_FALSE(usesPinPad(*qel4));
}

TEST_F(PinPadTest, DialogClosedDuringTheEntryDropsItsOutcome) {
    token().keypadEntry = "1234";
    {
        FakePinPadView gone;
        PinPadController controller{gone, queue, background, PinPadController::Step::login};
        controller.pCard = card;
        controller.entryListener = &listener;
        controller.onShown();
        background.waitIdle();
    }
    queue.advance(1000);
    EXPECT_TRUE(listener.results.empty());
}

}  // namespace
}  // namespace qel::test
