// The main window's part in the sign-in flow: its two buttons, the dialogs it opens 0.1 s after each
// report, the requests it keeps, and quitting while sessions are open. The dialogs are the real
// controllers on recording views; the service is a fake answering on the virtual clock.
#include "tests/app/main_window_fixture.h"
#include "tests/support/fake_vek_service.h"
#include "tests/support/log_capture.h"
#include "tests/support/vek_flow_navigator.h"

namespace qel::test {
namespace {

using vek::RespType;

struct SignInTest : MainWindowFixture {
    SignInTest() { nav = &flow; }

    /// A contact card read, the holder logged in with the PIN.
    void startLoggedIn() {
        slot = &contactCard("Reader A");
        start();
        flow.holder = vc.get();
        ASSERT_EQ(vc->selectedCard()->login("1234", false), CKR_OK);
        vc->pinEntryResult(true, "");
        flow.opened.clear();
    }
    /// Runs the service's answers and the window's 0.1 s deferrals.
    void settle() { queue.advance(1000); }
    /// Accepts the pending request and picks the second code, as far as the flow goes.
    void answerWithCode() {
        window.VekAuthentication.click();
        settle();
        if (flow.dialogs().back() != Dialog::signIn) return;
        flow.auth->onAuth();
        settle();
        if (flow.dialogs().back() != Dialog::signInCodes) return;
        flow.codes->onCode2();
        settle();
    }

    FakeVekOperations service{queue};
    VekFlowNavigator flow{service};
    FakeSlot* slot = nullptr;
};

TEST_F(SignInTest, PinFirstThenTheWholeAnswerWithACode) {
    slot = &contactCard("Reader A");
    start();
    flow.holder = vc.get();
    window.VekAuthentication.click();
    EXPECT_EQ(flow.dialogs(), std::vector<Dialog>{Dialog::pinEntry});
    EXPECT_TRUE(service.calls.empty());

    // The flow resumes by itself 0.1 s after a good PIN, not before.
    ASSERT_EQ(vc->selectedCard()->login("1234", false), CKR_OK);
    vc->pinEntryResult(true, "");
    queue.advance(99);
    EXPECT_EQ(flow.opened.size(), 1u);
    queue.advance(1);
    ASSERT_EQ(flow.dialogs().back(), Dialog::signInWait);
    EXPECT_EQ(flow.waitView->waitTitle, "DEMANDE D'AUTHENTIFICATION");
    queue.runReady();  // the pending requests arrive; the request dialog waits for the window's turn
    EXPECT_EQ(flow.opened.size(), 2u);
    queue.advance(100);
    ASSERT_EQ(flow.dialogs().back(), Dialog::signIn);
    EXPECT_EQ(flow.authView->newAuthLabel, "Le service \"Portail Santé\" demande l'accès à votre compte e-QEL");

    flow.auth->onAuth();
    settle();
    ASSERT_EQ(flow.dialogs().back(), Dialog::signInCodes);
    EXPECT_EQ(flow.codesView->titles, (std::array<std::string, 3>{"47", "12", "85"}));
    flow.codes->onCode2();
    settle();

    EXPECT_EQ(flow.dialogs(),
              (std::vector<Dialog>{Dialog::pinEntry, Dialog::signInWait, Dialog::signIn, Dialog::signInWait,
                                   Dialog::signInCodes, Dialog::signInWait, Dialog::signInDone}));
    EXPECT_EQ(service.operations(),
              (std::vector<std::string>{"getPendingRequests", "getCodeState", "createCodeChallenges", "verifyCode",
                                        "postCardResponse"}));
    for (const auto& call : service.calls)
        if (call.operation != "getCodeState") EXPECT_EQ(call.idNat, "810001234567") << call.operation;
    EXPECT_EQ(service.calls[3].body.at("code"), "12");
    EXPECT_EQ(service.calls[4].body.at("authStatus"), "SUCCEED");
    EXPECT_EQ(service.calls[4].body.at("notificationId"), "notif-1");
    EXPECT_EQ(flow.validView->titleMesage, "AUTHENTIFICATION RÉUSSIE");

    // Signed in: the disconnection is offered, and stays so through the next refresh of the buttons.
    ASSERT_EQ(vc->vekRequests().size(), 1u);
    EXPECT_TRUE(vc->isVekAuthenticated());
    EXPECT_TRUE(window.VekDisconnect.enabled);
    vc->updateUI();
    EXPECT_TRUE(window.VekDisconnect.enabled);
}

TEST_F(SignInTest, RefusalIsPostedCancelledOrReportedAndNotKept) {
    startLoggedIn();
    const struct {
        void (VekAuthController::*press)();
        const char* status;
        const char* alert;
    } refusals[] = {
        {&VekAuthController::onCancel, "CANCELLED", "La demande d'authentification a été annulée"},
        {&VekAuthController::onNotify, "UNAUTHORIZED", "La demande d'authentification a été refusée et signalée"},
    };
    for (const auto& refusal : refusals) {
        service.calls.clear();
        window.VekAuthentication.click();
        settle();
        ((*flow.auth).*refusal.press)();
        settle();
        EXPECT_EQ(service.operations(), (std::vector<std::string>{"getPendingRequests", "postCardResponse"}));
        EXPECT_EQ(service.calls[1].body.at("authStatus"), refusal.status);
        EXPECT_EQ(flow.dialogs().back(), Dialog::signInAlert);
        EXPECT_EQ(flow.alertView->text, refusal.alert);
    }
    // Cancelling the code choice is a refusal too.
    service.calls.clear();
    window.VekAuthentication.click();
    settle();
    flow.auth->onAuth();
    settle();
    flow.codes->onCancel();
    settle();
    EXPECT_EQ(service.calls.back().body.at("authStatus"), "CANCELLED");
    EXPECT_EQ(flow.alertView->text, "La demande d'authentification a été annulée");
    EXPECT_TRUE(vc->vekRequests().empty());
    EXPECT_FALSE(window.VekDisconnect.enabled);
}

TEST_F(SignInTest, EveryFailureEndsAtTheAlertWithItsText) {
    startLoggedIn();
    const auto alertAfter = [&](const std::function<void()>& set) {
        service.reset();
        set();
        answerWithCode();
        EXPECT_EQ(flow.dialogs().back(), Dialog::signInAlert);
        return flow.alertView->text;
    };
    EXPECT_EQ(alertAfter([&] { service.pending.clear(); }),
              "Aucune demande d'authentification à Vestalink n'a été détectée");
    EXPECT_EQ(alertAfter([&] { service.verify.valid = false; }),
              "Le code sélectionné n'est pas valide.\nLa demande d'authentification reste en attente : "
              "appuyez de nouveau sur AUTHENTIFICATION pour choisir un autre code");
    EXPECT_EQ(service.operations().back(), "verifyCode");  // nothing answered...
    // ...so the same request is still pending at the next press, as the alert says.
    service.verify.valid = true;
    answerWithCode();
    EXPECT_EQ(flow.dialogs().back(), Dialog::signInDone);
    EXPECT_EQ(service.calls.back().body.at("notificationId"), "notif-1");
    EXPECT_EQ(alertAfter([&] { service.failures.emplace("getCodeState", FakeVekOperations::sessionTimeout()); }),
              "Authentification échouée - Délai dépassé");
    EXPECT_EQ(alertAfter([&] { service.failures.emplace("postCardResponse", FakeVekOperations::httpError(500)); }),
              "Authentification échouée - Une erreur est survenue");
    EXPECT_EQ(alertAfter([&] { service.codeState.enabled = false; }),
              "Authentification échouée - Une erreur est survenue");
    EXPECT_EQ(vc->vekRequests().size(), 1u);  // only the request answered after the rejected code
}

TEST_F(SignInTest, AnotherCardSwappedInDuringTheRequestIsNeverAnsweredFor) {
    startLoggedIn();
    window.VekAuthentication.click();
    settle();
    ASSERT_EQ(flow.dialogs().back(), Dialog::signIn);
    // Another holder's card in the same reader, before the window noticed.
    slot->token.objects["QEL_INFO_PS"] = infoObject("00", "810009999999", "10", "");
    flow.auth->onAuth();
    settle();
    EXPECT_EQ(service.operations(), std::vector<std::string>{"getPendingRequests"});
    EXPECT_EQ(flow.dialogs().back(), Dialog::signInAlert);
    EXPECT_EQ(flow.alertView->text, "Authentification échouée - Une erreur est survenue");
}

TEST_F(SignInTest, HolderWithoutIdentifierGetsTheCardAlertOnly) {
    FakeSlot& s = contactCard("Reader A");
    s.token.objects["QEL_INFO_PS"] = infoObject("00", "", "10", "");
    start();
    window.VekAuthentication.click();
    settle();
    EXPECT_EQ(flow.dialogs(), std::vector<Dialog>{Dialog::signInAlert});
    EXPECT_EQ(flow.alertView->text, "Erreur d'accès à la carte QEL");
    EXPECT_TRUE(service.calls.empty());
}

TEST_F(SignInTest, DisconnectionClosesTheFirstHoldersSessions) {
    startLoggedIn();
    answerWithCode();
    answerWithCode();
    ASSERT_EQ(vc->vekRequests().size(), 2u);

    // The button asks first; declined, nothing is sent.
    alerts.answer = 1;
    window.VekDisconnect.click();
    settle();
    ASSERT_EQ(alerts.alerts.size(), 1u);
    EXPECT_EQ(alerts.alerts[0].messageText, "DÉCONNEXION");
    EXPECT_EQ(service.calls.back().operation, "postCardResponse");
    alerts.answer = 0;

    service.failures.emplace("logoutAll", FakeVekOperations::httpError(503, "<html/>"));
    window.VekDisconnect.click();
    settle();
    EXPECT_EQ(flow.waitView->waitTitle, "DÉCONNEXION");
    EXPECT_EQ(service.calls.back().operation, "logoutAll");
    EXPECT_EQ(service.calls.back().idNat, "810001234567");
    EXPECT_EQ(flow.alertView->titleAlert, "DÉCONNEXION");
    EXPECT_EQ(flow.alertView->text, "Échec de déconnexion - Une erreur est survenue");
    EXPECT_TRUE(window.VekDisconnect.enabled);

    service.failures.clear();
    window.VekDisconnect.click();
    settle();
    EXPECT_EQ(flow.alertView->text, "Toutes vos sessions ont été clôturées");
    EXPECT_FALSE(window.VekDisconnect.enabled);
    vc->updateUI();
    EXPECT_FALSE(window.VekDisconnect.enabled);
    // A non-silent disconnection keeps the answered requests, but no session is left to close on
    // the way out: the window closes without the quit dialog.
    EXPECT_EQ(vc->vekRequests().size(), 2u);
    EXPECT_FALSE(window.closed);
    EXPECT_TRUE(window.closeHandler());
    EXPECT_NE(flow.dialogs().back(), Dialog::quitWhileSignedIn);
}

TEST_F(SignInTest, QuitWithTheCardNoLongerVerifiedAsksThePinBeforeDisconnecting) {
    startLoggedIn();
    answerWithCode();
    // Another program reset the card: its signature now needs the PIN again.
    vc->setUserAuthenticated(false);
    ASSERT_FALSE(window.closeHandler());
    flow.quit->onQuit();
    settle();
    EXPECT_EQ(flow.dialogs().back(), Dialog::pinEntry);
    EXPECT_EQ(service.operations().back(), "postCardResponse");  // nothing tried without the PIN

    // Given up: the window stays, with its sessions.
    vc->pinEntryCancelled();
    settle();
    EXPECT_FALSE(window.closed);
    EXPECT_EQ(vc->vekRequests().size(), 1u);
    // A later PIN entry only logs in.
    vc->pinEntryResult(true, "");
    settle();
    EXPECT_EQ(service.operations().back(), "postCardResponse");
    EXPECT_FALSE(window.closed);

    vc->setUserAuthenticated(false);
    ASSERT_FALSE(window.closeHandler());
    flow.quit->onQuit();
    settle();
    vc->pinEntryResult(true, "");
    settle();
    EXPECT_EQ(service.operations().back(), "logoutAll");
    EXPECT_TRUE(window.closed);
}

TEST_F(SignInTest, QuitWhileSignedInEndsOnlyAfterTheSilentDisconnection) {
    startLoggedIn();
    answerWithCode();
    EXPECT_FALSE(window.closeHandler());
    ASSERT_EQ(flow.dialogs().back(), Dialog::quitWhileSignedIn);

    // Staying: nothing happens.
    flow.quit->onCancel();
    settle();
    EXPECT_EQ(flow.dialogs().back(), Dialog::quitWhileSignedIn);
    EXPECT_FALSE(window.closed);

    for (bool fails : {false, true}) {
        SCOPED_TRACE(fails);
        window.quitItem.trigger();
        queue.runReady();
        EXPECT_FALSE(window.closed);
        service.hold = true;
        if (fails) service.failures.emplace("logoutAll", FakeVekOperations::sessionTimeout());
        flow.quit->onQuit();
        settle();
        EXPECT_EQ(flow.dialogs().back(), Dialog::signInWait);
        EXPECT_EQ(service.calls.back().operation, "logoutAll");
        EXPECT_FALSE(window.closed);  // the service has not answered yet
        service.release();
        queue.runReady();
        EXPECT_FALSE(window.closed);
        queue.advance(100);
        EXPECT_TRUE(window.closed);
        EXPECT_EQ(flow.dialogs().back(), Dialog::signInWait);  // no alert on the way out
        EXPECT_TRUE(vc->vekRequests().empty());
        if (!fails) {
            // Run again for the failing service: the same answered request, the window open again.
            window.closed = false;
            service.reset();
            answerWithCode();
            ASSERT_FALSE(window.closeHandler());
        }
    }

    // With the card pulled the window closes at once.
    window.closed = false;
    answerWithCode();
    module.slotList[0].present = false;
    window.refreshButton.click();
    EXPECT_TRUE(window.closeHandler());
}

}  // namespace
}  // namespace qel::test
