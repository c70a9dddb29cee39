// The card update wizard on the fake issuer module, with a scripted update service and a hand-driven
// main queue.
#include <gtest/gtest.h>

#include "app/tmaj_backend.h"
#include "app/tmaj_controller.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"
#include "tests/support/fake_issuer_module.h"
#include "tests/support/fake_tmaj_backend.h"
#include "tests/support/fake_views.h"
#include "tests/support/log_capture.h"

namespace qel::test {
namespace {

struct TmajWizardTest : ::testing::Test {
    void SetUp() override {
        module.addSlot("Reader 0", true);
        ASSERT_EQ(library.initialize(), CKR_OK);
        card = std::make_shared<Pkcs11Card>(library, 0, true);
        controller = std::make_unique<TmajController>(view, queue, background, backend);
        controller->pCard = card;
        controller->listener = &listener;
    }
    void TearDown() override { backend.release(); }

    // Step 1 with an update waiting, then the PIN typed and next pressed.
    void reachPinStep() {
        view.next.click();
        ASSERT_EQ(controller->step, 2);
    }
    void enter(const std::string& pin) {
        view.pinCode.value.clear();
        view.pinCode.type(pin);
        view.next.click();
    }
    // The session has ended on the worker; what it posted is still waiting for the main queue.
    void sessionDone() {
        backend.release();
        background.waitIdle();
    }

    FakeIssuerModule module;
    Pkcs11Library library{module.functions(), nullptr};
    std::shared_ptr<Pkcs11Card> card;
    ManualMainQueue queue;
    BackgroundQueue background;
    ScriptedBackend backend;
    RecordingTmajListener listener;
    FakeTmajView view;
    std::unique_ptr<TmajController> controller;
};

TEST_F(TmajWizardTest, CheckAnswersLeadToThePinOrStraightToTheEnd) {
    backend.availability = TmajAvailability::upToDate;
    view.next.click();
    EXPECT_EQ(backend.checkedSerials, std::vector<std::string>{card->serial});
    EXPECT_EQ(controller->step, 4);
    EXPECT_EQ(view.message.value, "Votre QEL est déjà à jour.");
    EXPECT_FALSE(view.message.hidden);
    // Neither the PIN nor the update happened: their steps are not ticked.
    EXPECT_EQ(view.stepper.picture, tmaj_pictures::upToDate);
    EXPECT_TRUE(view.cancel.hidden);
    EXPECT_EQ(view.next.titleText, "Terminer");

    // A service that fails is said to have failed, not to have no update.
    struct Failure {
        long httpStatus;
        const char* text;
    };
    const Failure failures[] = {
        {404, "Le service de télémise à jour a répondu par une erreur (code 404). Veuillez réessayer ultérieurement."},
        {500, "Le service de télémise à jour a répondu par une erreur (code 500). Veuillez réessayer ultérieurement."},
        {0,
         "Le service de télémise à jour est injoignable. Vérifiez la connexion au réseau puis réessayez "
         "ultérieurement."},
    };
    for (const Failure& f : failures) {
        FakeTmajView failedView;
        TmajController failed(failedView, queue, background, backend);
        failed.pCard = card;
        backend.availability = TmajAvailability::checkFailed;
        backend.httpStatus = f.httpStatus;
        failedView.next.click();
        EXPECT_EQ(failed.step, 4);
        EXPECT_EQ(failedView.message.value, f.text);
        EXPECT_EQ(failedView.message.colour, kTmajErrorColour);
        EXPECT_EQ(failedView.stepper.picture, tmaj_pictures::checkFailed);
        EXPECT_TRUE(failedView.pinCode.hidden);
    }

    // Opened without a card: the same end, and nothing asked of the service.
    FakeTmajView cardlessView;
    TmajController cardless(cardlessView, queue, background, backend);
    cardlessView.next.click();
    EXPECT_EQ(cardless.step, 4);
    EXPECT_EQ(cardlessView.message.value, "La carte n'est plus dans le lecteur !");
    EXPECT_EQ(backend.checkedSerials.size(), 4u);

    backend.availability = TmajAvailability::updateAvailable;
    FakeTmajView availableView;
    TmajController available(availableView, queue, background, backend);
    available.pCard = card;
    availableView.next.click();
    EXPECT_EQ(available.step, 2);
    EXPECT_EQ(availableView.stepper.picture, "step2");
    EXPECT_FALSE(availableView.pinCode.hidden);
    EXPECT_TRUE(availableView.pinFocused);
    EXPECT_TRUE(availableView.message.hidden);
    EXPECT_FALSE(availableView.consigne.hidden);
}

TEST_F(TmajWizardTest, PinStepRefusesShortWrongAndLockedCodesAndStays) {
    reachPinStep();
    view.pinCode.type("1a2345678 9");
    EXPECT_EQ(view.pinCode.value, "12345678");

    const int before = module.totalCalls();
    enter("123");
    EXPECT_EQ(view.errorTextField.value, "Le code PIN doit comporter 4 chiffres");
    EXPECT_EQ(module.totalCalls(), before);
    // The field takes eight digits, the card's PIN has four: a longer code is refused as such, and
    // the wizard stays for another try.
    for (const char* longer : {"12345", "12345678"}) {
        enter(longer);
        EXPECT_EQ(view.errorTextField.value, "Le code PIN doit comporter 4 chiffres") << longer;
        EXPECT_FALSE(view.errorTextField.hidden);
        EXPECT_EQ(controller->step, 2);
        EXPECT_TRUE(view.pinCode.enabled);
        EXPECT_FALSE(view.cancel.hidden);
    }

    enter("0000");
    EXPECT_EQ(view.errorTextField.value, "Le code PIN n'est pas valide !");
    EXPECT_EQ(view.pinCode.value, "0000");
    view.pinCode.type("0");
    EXPECT_TRUE(view.errorTextField.hidden);
    enter("0000");
    EXPECT_EQ(view.errorTextField.value, "Le code PIN n'est pas valide ! Dernier essai avant le blocage de la carte");
    enter("0000");
    EXPECT_EQ(view.errorTextField.value, "La carte est bloquée !");
    EXPECT_EQ(controller->step, 2);
    queue.advance(999);
    EXPECT_FALSE(listener.blocked);
    queue.advance(1);
    EXPECT_EQ(listener.blocked, true);
    EXPECT_EQ(listener.updates, 1);
    EXPECT_EQ(view.closes, 0);
    EXPECT_FALSE(controller->sessionRunning());
}

TEST_F(TmajWizardTest, CardPulledBeforeThePinEndsTheWizard) {
    reachPinStep();
    module.slotList[0].present = false;
    enter("1234");
    EXPECT_EQ(view.errorTextField.value, "La carte n'est plus dans le lecteur !");
    EXPECT_EQ(view.stepper.picture, tmaj_pictures::pinFailed);
    EXPECT_EQ(view.pinCode.value, "");
    EXPECT_FALSE(view.pinCode.enabled);
    EXPECT_TRUE(view.cancel.hidden);
    EXPECT_EQ(view.next.titleText, "Terminer");
    EXPECT_EQ(controller->step, 4);
    view.next.click();
    EXPECT_EQ(view.closes, 1);
    EXPECT_EQ(listener.closings, std::vector<bool>{false});
}

TEST_F(TmajWizardTest, SessionRunsOffTheMainThreadAndEndsWithSuccess) {
    LogCapture log;
    backend.holdSession = true;
    reachPinStep();
    enter("1234");
    EXPECT_TRUE(card->isUserLoggedIn());
    EXPECT_TRUE(controller->sessionRunning());
    EXPECT_EQ(view.pinCode.value, "");  // the PIN does not stay in the field once used
    EXPECT_EQ(view.stepper.picture, "step3");
    EXPECT_EQ(view.consigne.value,
              "Télémise à jour en cours... Veuillez ne pas retirer la carte pendant le processus.");
    EXPECT_FALSE(view.progressBar.hidden);
    EXPECT_TRUE(view.pinCode.hidden);
    EXPECT_TRUE(view.next.hidden);
    EXPECT_FALSE(view.cancel.hidden);
    // Nothing the user can do starts a second session.
    controller->onNext();
    EXPECT_EQ(view.closes, 0);

    sessionDone();
    EXPECT_EQ(view.progressBar.percent, 0);  // progress reaches the bar only through the main queue
    queue.runReady();
    EXPECT_EQ(view.progressBar.values, (std::vector<int>{0, 20, 40, 60, 80, 90, 100}));
    EXPECT_EQ(backend.updatedSerial, card->serial);
    EXPECT_EQ(controller->step, 4);
    EXPECT_EQ(view.stepper.picture, tmaj_pictures::updated);
    EXPECT_EQ(listener.successes, 1);  // before the wizard closes: other programs see the card at once
    EXPECT_EQ(view.message.value, "Votre QEL a bien été mise à jour.");
    EXPECT_FALSE(view.message.hidden);
    EXPECT_TRUE(view.progressBar.hidden);
    EXPECT_TRUE(view.cancel.hidden);
    EXPECT_FALSE(view.next.hidden);
    EXPECT_EQ(view.next.titleText, "Terminer");
    view.next.click();
    view.next.click();
    EXPECT_EQ(view.closes, 1);
    EXPECT_EQ(listener.closings, std::vector<bool>{true});
    EXPECT_TRUE(log.contains("Télémise à jour réussie !"));
    EXPECT_FALSE(log.contains("1234"));
}

TEST_F(TmajWizardTest, KeypadReaderTakesThePinOnTheReaderThenRunsTheSession) {
    module.slot(0).token.keypadEntry = "0000";
    backend.holdSession = true;
    reachPinStep();
    EXPECT_TRUE(view.pinCode.hidden);
    EXPECT_EQ(view.consigne.value, "Saisissez votre code PIN sur le clavier du lecteur");
    EXPECT_TRUE(view.next.hidden);
    view.cancel.click();  // the reader's entry cannot be stopped from here
    EXPECT_EQ(view.errorTextField.value, "Appuyez sur la touche Annuler du lecteur pour interrompre la saisie");
    EXPECT_EQ(view.closes, 0);
    background.waitIdle();
    queue.runReady();
    EXPECT_EQ(view.errorTextField.value, "Le code PIN n'est pas valide !");
    EXPECT_FALSE(view.next.hidden);

    module.slot(0).token.keypadEntry = "cancel";
    view.next.click();
    background.waitIdle();
    queue.runReady();
    EXPECT_EQ(view.errorTextField.value, "Saisie annulée sur le lecteur");
    EXPECT_EQ(controller->step, 2);

    module.slot(0).token.keypadEntry = "1234";
    view.next.click();
    background.waitIdle();
    queue.runReady();
    EXPECT_TRUE(card->isUserLoggedIn());
    EXPECT_TRUE(controller->sessionRunning());
    sessionDone();
    queue.runReady();
    EXPECT_EQ(view.stepper.picture, tmaj_pictures::updated);
    EXPECT_EQ(listener.successes, 1);
}

TEST_F(TmajWizardTest, CancelDuringTheSessionStopsItAndSaysSo) {
    backend.holdSession = true;
    reachPinStep();
    enter("1234");
    ASSERT_TRUE(controller->sessionRunning());
    view.cancel.click();
    // The window stays until the session has stopped; a second click changes nothing.
    EXPECT_EQ(view.closes, 0);
    EXPECT_FALSE(view.cancel.enabled);
    EXPECT_EQ(view.consigne.value, "Interruption de la télémise à jour en cours...");
    view.cancel.click();
    background.waitIdle();
    EXPECT_TRUE(backend.stopped);
    queue.runReady();
    EXPECT_FALSE(controller->sessionRunning());
    EXPECT_EQ(controller->step, 4);
    EXPECT_EQ(view.stepper.picture, tmaj_pictures::cancelled);
    EXPECT_EQ(view.message.value, "La télémise à jour a été interrompue. Vous pourrez la relancer ultérieurement.");
    EXPECT_TRUE(view.cancel.hidden);
    EXPECT_EQ(view.next.titleText, "Terminer");
    view.next.click();
    EXPECT_EQ(view.closes, 1);
    EXPECT_EQ(listener.closings, std::vector<bool>{false});
}

TEST_F(TmajWizardTest, FailedSessionShowsTheFixedTextAndLogsTheReason) {
    LogCapture log;
    backend.outcome = ApduResult::failure(ApduResultCode::CODE_INTERNAL_ERROR, "Le service ne répond plus");
    reachPinStep();
    enter("1234");
    sessionDone();
    queue.runReady();
    EXPECT_EQ(controller->step, 4);
    EXPECT_EQ(view.stepper.picture, tmaj_pictures::updateFailed);
    EXPECT_EQ(view.message.value,
              "Une erreur est survenue lors de la télémise à jour... Veuillez réessayer ultérieurement.");
    EXPECT_EQ(view.message.colour, ui::Colour::fromRgb(205, 3, 55));
    EXPECT_TRUE(view.consigne.hidden);
    EXPECT_TRUE(view.progressBar.hidden);
    EXPECT_EQ(view.next.titleText, "Terminer");
    EXPECT_TRUE(log.contains("Erreur lors de la TMAJ: Le service ne répond plus"));
    view.next.click();
    EXPECT_EQ(listener.closings, std::vector<bool>{false});
    EXPECT_EQ(listener.successes, 0);
}

TEST_F(TmajWizardTest, CancelAtThePinStepClosesAndWizardGoneDropsTheSessionsNews) {
    reachPinStep();
    view.cancel.click();
    EXPECT_EQ(view.closes, 1);
    EXPECT_EQ(listener.closings, std::vector<bool>{false});

    FakeTmajView other;
    auto wizard = std::make_unique<TmajController>(other, queue, background, backend);
    wizard->pCard = card;
    other.next.click();
    other.pinCode.type("1234");
    other.next.click();
    ASSERT_TRUE(wizard->sessionRunning());
    wizard.reset();
    sessionDone();
    EXPECT_GT(queue.runReady(), 0);  // the posted progress and outcome find no wizard (ASan watches)
    EXPECT_EQ(other.progressBar.values, std::vector<int>{0});
}

}  // namespace
}  // namespace qel::test
