// The dialogs of the sign-in flow, with the service's calls answered by a fake on a virtual clock.
#include <gtest/gtest.h>

#include <memory>

#include "app/signin/vek_dialog_controllers.h"
#include "authservice/vek_outcome.h"
#include "app/signin/vek_wait_controller.h"
#include "tests/support/fake_vek_service.h"
#include "tests/support/fake_vek_views.h"
#include "tests/support/log_capture.h"

namespace qel::test {
namespace {

using vek::AuthStatus;
using vek::RespType;
using vek::VekAction;

/// What the dialogs reported, one line per operation.
struct RecordingDelegate : VekDelegate {
    void pendingRequestDone(RespType o, VekRequestRef r) override { add("pendingRequestDone", o, r); }
    void authorisationDone(RespType o, VekRequestRef r) override { add("authorisationDone", o, r); }
    void codeStepDone(RespType o, VekRequestRef r) override { add("codeStepDone", o, r); }
    void codeChosen(RespType o, VekRequestRef r) override { add("codeChosen", o, r); }
    void validationDone(RespType o, VekRequestRef r) override { add("validationDone", o, r); }
    void disconnectionDone(RespType o, bool s) override {
        reports.push_back({"disconnectionDone", o, nullptr});
        silent = s;
    }
    void refuseRequest(VekRequestRef r, bool reported) override {
        reports.push_back({reported ? "reportRequest" : "refuseRequest", std::nullopt, r});
    }
    void disconnect(bool s) override {
        reports.push_back({"disconnect", std::nullopt, nullptr});
        silent = s;
    }
    void add(const char* op, RespType o, VekRequestRef r) { reports.push_back({op, o, std::move(r)}); }

    struct Report {
        std::string operation;
        std::optional<RespType> outcome;
        VekRequestRef request;
    };
    std::vector<Report> reports;
    std::optional<bool> silent;
};

struct WaitDialogTest : ::testing::Test {
    VekRequestRef request(VekAction action) {
        auto r = vek::makeVekRequest();
        r->idNat = "810001234567";
        r->action = action;
        return r;
    }
    /// Shows a waiting dialog for `r` and lets every call answer.
    void show(VekRequestRef r, bool withDelegate = true) {
        controller = std::make_shared<VekWaitController>(view, service, &holder);
        if (withDelegate) controller->delegate = &delegate;
        controller->request = std::move(r);
        controller->viewDidAppear();
        queue.runReady();
    }
    const RecordingDelegate::Report& only() {
        EXPECT_EQ(delegate.reports.size(), 1u);
        static const RecordingDelegate::Report none;
        return delegate.reports.empty() ? none : delegate.reports.front();
    }

    ManualMainQueue queue;
    FakeVekOperations service{queue};
    FakeCardHolder holder;
    FakeVekWaitView view;
    RecordingDelegate delegate;
    std::shared_ptr<VekWaitController> controller;
    LogCapture log;
};

TEST_F(WaitDialogTest, PendingRequestFetchTakesTheFirstOneOrEndsTheRequest) {
    service.pending.push_back({std::string("notif-2"), {}, std::string("Autre service"), {}, {}, {}, {}});
    auto r = request(VekAction::CHECK_PCSC);
    show(r);
    EXPECT_EQ(view.waitTitle, "DEMANDE D'AUTHENTIFICATION");
    ASSERT_EQ(service.calls.size(), 1u);
    EXPECT_EQ(service.calls[0].operation, "getPendingRequests");
    EXPECT_EQ(service.calls[0].idNat, "810001234567");
    EXPECT_EQ(only().operation, "pendingRequestDone");
    EXPECT_EQ(only().outcome, RespType::OK);
    EXPECT_EQ(r->service, "Portail Santé");
    EXPECT_EQ(r->notificationId, "notif-1");
    EXPECT_EQ(view.closes, 1);

    // None pending; then one the flow could not answer (no notification).
    for (auto [pending, outcome] :
         {std::pair{std::vector<vek::PendingAuthenticationRequestDto>{}, RespType::NO_AUTH},
          std::pair{std::vector<vek::PendingAuthenticationRequestDto>{{{}, {}, std::string("S"), {}, {}, {}, {}}},
                    RespType::FAILED}}) {
        delegate.reports.clear();
        view.closes = 0;
        service.pending = pending;
        show(request(VekAction::CHECK_PCSC));
        EXPECT_EQ(only().outcome, outcome);
        EXPECT_EQ(view.closes, 1);
    }
}

TEST_F(WaitDialogTest, FailedCallsAreMappedAndLogged) {
    struct Case {
        VekAction action;
        const char* operation;
        vek::ErrorResponse error;
        const char* report;
        RespType outcome;
        const char* logLine;
    };
    const vek::ErrorResponse transport(-1, std::nullopt, std::nullopt, vek::TransportError{28, "Timeout was reached"});
    // The card offers no identity (none selected, no token, not verified, no authentication key).
    const vek::ErrorResponse noIdentity(-1, std::nullopt, std::nullopt,
                                        vek::TransportError{58, "identité TLS du client indisponible"});
    const Case cases[] = {
        {VekAction::CHECK_PCSC, "getPendingRequests", FakeVekOperations::sessionTimeout(), "pendingRequestDone",
         RespType::TIME_OUT, "Authentification CIBA, erreur : Session expirée (BUSI-AUTHENT-8)"},
        {VekAction::CHECK_PCSC, "getPendingRequests", FakeVekOperations::httpError(500, "<html>oops</html>"),
         "pendingRequestDone", RespType::FAILED, "Authentification CIBA, erreur : "},
        {VekAction::CODE_NEEDED, "getCodeState", FakeVekOperations::httpError(404, R"({"code":"BUSI-AUTHENT-9"})"),
         "codeStepDone", RespType::FAILED, "Authentification CIBA, erreur : Unknown message (BUSI-AUTHENT-9)"},
        {VekAction::CODE_NEEDED, "createCodeChallenges", FakeVekOperations::httpError(500, R"({"message":"m"})"),
         "codeStepDone", RespType::FAILED, "Authentification CIBA, erreur : m (Unknown code)"},
        {VekAction::CHECK_CHALLENGE, "verifyCode", transport, "codeStepDone", RespType::FAILED,
         "Authentification CIBA, erreur : "},
        {VekAction::VALIDATE, "postCardResponse", FakeVekOperations::sessionTimeout(), "codeStepDone",
         RespType::TIME_OUT, "(BUSI-AUTHENT-8)"},
        // On the disconnection the session time-out is a failed disconnection like any other.
        {VekAction::DISCONNECT, "logoutAll", FakeVekOperations::sessionTimeout(), "disconnectionDone",
         RespType::DEAUTH_FAILED, "(BUSI-AUTHENT-8)"},
        {VekAction::DISCONNECT, "logoutAll", FakeVekOperations::httpError(500), "disconnectionDone",
         RespType::DEAUTH_FAILED, "Authentification CIBA, erreur : "},
        {VekAction::CHECK_PCSC, "getPendingRequests", noIdentity, "pendingRequestDone", RespType::CARD_ACCESS,
         "identité TLS du client indisponible"},
        {VekAction::DISCONNECT, "logoutAll", noIdentity, "disconnectionDone", RespType::CARD_ACCESS,
         "Authentification CIBA, erreur : "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.operation);
        LogCapture stepLog;
        service.failures.clear();
        service.failures.emplace(c.operation, c.error);
        delegate.reports.clear();
        view.closes = 0;
        show(request(c.action));
        EXPECT_EQ(only().operation, c.report);
        EXPECT_EQ(only().outcome, c.outcome);
        EXPECT_TRUE(stepLog.contains(c.logLine)) << stepLog.text();
        EXPECT_EQ(view.closes, 1);
        EXPECT_EQ(service.operations().back(), c.operation);
    }
}

TEST_F(WaitDialogTest, CodeStepChainsIntoTheChallengeInTheSameWindow) {
    auto r = request(VekAction::CODE_NEEDED);
    r->notificationId = "notif-1";
    service.hold = true;
    show(r);
    service.release();
    queue.runReady();  // the code state: enabled
    EXPECT_TRUE(delegate.reports.empty());
    EXPECT_EQ(view.closes, 0);
    service.release();
    queue.runReady();
    EXPECT_EQ(service.operations(), (std::vector<std::string>{"getCodeState", "createCodeChallenges"}));
    // The code state is a setting of the service, asked without the holder's identifier.
    EXPECT_EQ(service.calls[0].idNat, "");
    EXPECT_EQ(service.calls[1].body.at("notificationId"), "notif-1");
    EXPECT_EQ(only().operation, "codeStepDone");
    EXPECT_EQ(only().outcome, RespType::OK);
    EXPECT_EQ(r->codes, (std::vector<std::string>{"47", "12", "85"}));
    EXPECT_EQ(r->action, VekAction::CODE_NEEDED);
    EXPECT_EQ(view.closes, 1);

    // Disabled, unanswered, or not three codes: the request ends.
    service.hold = false;
    const auto ends = [&](const char* why) {
        SCOPED_TRACE(why);
        delegate.reports.clear();
        show(request(VekAction::CODE_NEEDED));
        EXPECT_EQ(only().outcome, RespType::FAILED);
    };
    service.codeState.enabled = false;
    ends("disabled");
    service.codeState.enabled.reset();
    ends("no answer");
    service.codeState.enabled = true;
    service.codes = {"47", "12"};
    ends("two codes");
}

TEST_F(WaitDialogTest, VerifiedCodeIsAnsweredAndTheWindowGoesAsSoonAsTheAnswerIsSent) {
    auto r = request(VekAction::CHECK_CHALLENGE);
    r->notificationId = "notif-1";
    r->code = "12";
    service.hold = true;
    show(r);
    service.release();
    queue.runReady();
    ASSERT_EQ(service.operations(), (std::vector<std::string>{"verifyCode", "postCardResponse"}));
    EXPECT_EQ(service.calls[0].body.at("code"), "12");
    EXPECT_EQ(service.calls[1].body.at("authStatus"), "SUCCEED");
    EXPECT_EQ(service.calls[1].body.at("notificationId"), "notif-1");
    EXPECT_EQ(view.closes, 1);
    EXPECT_TRUE(delegate.reports.empty());

    // The dialog is gone; its controller still reports the answer.
    controller->viewGone();
    std::weak_ptr<VekWaitController> weak = controller;
    controller.reset();
    service.release();
    queue.runReady();
    EXPECT_EQ(only().operation, "validationDone");
    EXPECT_EQ(only().outcome, RespType::OK);
    EXPECT_TRUE(weak.expired());

    // A rejected code: nothing is answered.
    delegate.reports.clear();
    service.hold = false;
    service.verify.valid = false;
    service.calls.clear();
    show(request(VekAction::CHECK_CHALLENGE));
    EXPECT_EQ(only().operation, "codeStepDone");
    EXPECT_EQ(only().outcome, RespType::BAD_CODE);
    EXPECT_EQ(service.operations(), std::vector<std::string>{"verifyCode"});
}

TEST_F(WaitDialogTest, RefusalIsPostedAndReportedAsCancelled) {
    auto r = request(VekAction::VALIDATE);
    r->authStatus = AuthStatus::CANCELLED;
    show(r);
    EXPECT_EQ(service.calls.at(0).body.at("authStatus"), "CANCELLED");
    EXPECT_EQ(only().operation, "authorisationDone");
    EXPECT_EQ(only().outcome, RespType::CANCEL);

    // Refused and reported: no session was opened, so it ends at the alert, not the result.
    delegate.reports.clear();
    service.calls.clear();
    auto refused = request(VekAction::VALIDATE);
    refused->authStatus = AuthStatus::UNAUTHORIZED;
    show(refused);
    EXPECT_EQ(service.calls.at(0).body.at("authStatus"), "UNAUTHORIZED");
    EXPECT_EQ(only().operation, "authorisationDone");
    EXPECT_EQ(only().outcome, RespType::NOTIFY);
}

TEST_F(WaitDialogTest, DisconnectionReportsItsOutcomeAndWhetherItIsSilent) {
    auto r = request(VekAction::DISCONNECT);
    r->silent = true;
    show(r);
    EXPECT_EQ(view.waitTitle, "DÉCONNEXION");
    EXPECT_EQ(service.calls.at(0).operation, "logoutAll");
    EXPECT_EQ(service.calls.at(0).idNat, "810001234567");
    EXPECT_EQ(only().outcome, RespType::DEAUTH_OK);
    EXPECT_EQ(delegate.silent, true);
}

TEST_F(WaitDialogTest, OneStepPerShowingAndNothingForTheOtherActions) {
    show(request(VekAction::CHECK_PCSC), false);
    controller->viewDidAppear();
    queue.runReady();
    EXPECT_EQ(service.calls.size(), 1u);
    EXPECT_EQ(view.closes, 1);  // closes even without a delegate

    for (VekAction idle : {VekAction::GET_CHALLENGE, VekAction::NONE}) {
        view.closes = 0;
        show(request(idle));
        EXPECT_EQ(service.calls.size(), 1u);
        EXPECT_EQ(view.closes, 0);
        EXPECT_TRUE(delegate.reports.empty());
    }
}

TEST_F(WaitDialogTest, AnotherCardInTheReaderEndsTheRequestWithoutACall) {
    holder.identifier = "899999999999";
    for (VekAction action : {VekAction::CHECK_PCSC, VekAction::CODE_NEEDED, VekAction::CHECK_CHALLENGE,
                             VekAction::VALIDATE, VekAction::DISCONNECT}) {
        delegate.reports.clear();
        LogCapture stepLog;
        show(request(action));
        EXPECT_EQ(only().outcome, action == VekAction::DISCONNECT ? RespType::DEAUTH_FAILED : RespType::FAILED);
        EXPECT_TRUE(stepLog.contains("Authentification CIBA, erreur : la carte dans le lecteur")) << stepLog.text();
    }
    EXPECT_TRUE(service.calls.empty());

    // The card is swapped while the code step runs: the challenge is not asked for the other holder.
    holder.identifier = "810001234567";
    service.hold = true;
    delegate.reports.clear();
    show(request(VekAction::CODE_NEEDED));
    holder.identifier = "";
    service.release();
    queue.runReady();
    EXPECT_EQ(service.operations(), std::vector<std::string>{"getCodeState"});
    EXPECT_EQ(only().outcome, RespType::FAILED);
}

struct DialogsTest : ::testing::Test {
    DialogsTest() {
        request->service = "Portail Santé";
        request->codes = std::vector<std::string>{"47", "12", "85"};
    }
    VekRequestRef request = vek::makeVekRequest();
    RecordingDelegate delegate;
    LogCapture log;
};

TEST_F(DialogsTest, RequestDialogNamesTheServiceAndHandsOverTheAnswer) {
    const struct {
        void (VekAuthViewController::*action)();
        const char* operation;
        Severity severity;
        const char* logLine;
    } buttons[] = {
        {&VekAuthViewController::onAuth, "authorisationDone", Severity::success,
         "Authentification CIBA - Authentification acceptée"},
        {&VekAuthViewController::onNotify, "reportRequest", Severity::warning,
         "Authentification CIBA - Authentification notifiée"},
        {&VekAuthViewController::onCanel, "refuseRequest", Severity::warning,
         "Authentification CIBA - Authentification annulée"},
    };
    for (const auto& b : buttons) {
        FakeVekAuthView view;
        VekAuthViewController c(view);
        c.delegate = &delegate;
        c.request = request;
        c.viewDidAppear();
        EXPECT_EQ(view.newAuthLabel, "Le service \"Portail Santé\" demande l'accès à votre compte e-QEL");
        delegate.reports.clear();
        LogCapture pressLog;
        (c.*b.action)();
        ASSERT_EQ(delegate.reports.size(), 1u);
        EXPECT_EQ(delegate.reports[0].operation, b.operation);
        EXPECT_EQ(delegate.reports[0].request, request);
        EXPECT_TRUE(pressLog.contains(severityTag(b.severity) + std::string(b.logLine))) << pressLog.text();
        EXPECT_EQ(view.closes, 1);
    }
}

TEST_F(DialogsTest, CodeChoiceShowsTheThreeCodesAndKeepsThePickedOne) {
    FakeVekCodesView view;
    VekCodesController c(view);
    c.delegate = &delegate;
    c.request = request;
    c.viewDidAppear();
    EXPECT_EQ(view.titles, (std::array<std::string, 3>{"47", "12", "85"}));
    c.onCode3();
    EXPECT_EQ(request->code, "85");
    EXPECT_EQ(delegate.reports.at(0).operation, "codeChosen");
    EXPECT_EQ(delegate.reports.at(0).outcome, RespType::OK);
    c.onCancel();
    EXPECT_EQ(delegate.reports.at(1).operation, "refuseRequest");
    EXPECT_TRUE(log.contains("Authentification CIBA - Authentification annulée"));
    EXPECT_EQ(view.closes, 2);

    // A request that lost its codes shows empty buttons and cannot pick outside the list.
    request->codes = std::vector<std::string>{"47"};
    request->code.clear();
    c.viewDidAppear();
    EXPECT_EQ(view.titles, (std::array<std::string, 3>{"47", "", ""}));
    c.onCode2();
    EXPECT_EQ(request->code, "");
    EXPECT_EQ(delegate.reports.at(2).outcome, RespType::FAILED);
}

TEST_F(DialogsTest, ResultShowsSuccessOnlyForAnAcceptedRequest) {
    FakeVekValidView view;
    VekValidController c(view);
    c.request = request;
    c.viewDidAppear();
    EXPECT_EQ(view.titleMesage, "AUTHENTIFICATION RÉUSSIE");
    EXPECT_EQ(view.message,
              "La demande d'authentification pour le service \"Portail Santé\" a bien été prise en compte.");
    EXPECT_EQ(view.picture, "vek-success");
    for (AuthStatus status : {AuthStatus::UNAUTHORIZED, AuthStatus::CANCELLED}) {
        request->authStatus = status;
        c.viewDidAppear();
        EXPECT_EQ(view.titleMesage, "ÉCHEC D'AUTHENTIFICATION");
        EXPECT_EQ(view.message, "La demande d'authentification au service \"Portail Santé\" n'a pas abouti.");
        EXPECT_EQ(view.picture, "vek-failure");
    }
    c.onContinue();
    EXPECT_EQ(view.closes, 1);
}

TEST_F(DialogsTest, AlertTextsByOutcomeAndTheMessageLogged) {
    const struct {
        std::optional<RespType> type;
        const char* title;
        const char* message;
    } rows[] = {
        {RespType::NOTIFY, "DEMANDE D'AUTHENTIFICATION", "La demande d'authentification a été refusée et signalée"},
        {RespType::CANCEL, "DEMANDE D'AUTHENTIFICATION", "La demande d'authentification a été annulée"},
        {RespType::BAD_AUTH, "DEMANDE D'AUTHENTIFICATION", "Le mot de passe saisi n'est pas valide"},
        {RespType::BAD_CODE, "DEMANDE D'AUTHENTIFICATION",
         "Le code sélectionné n'est pas valide.\nLa demande d'authentification reste en attente : "
         "appuyez de nouveau sur AUTHENTIFICATION pour choisir un autre code"},
        {RespType::NO_AUTH, "DEMANDE D'AUTHENTIFICATION",
         "Aucune demande d'authentification à Vestalink n'a été détectée"},
        {RespType::TIME_OUT, "DEMANDE D'AUTHENTIFICATION", "Authentification échouée - Délai dépassé"},
        {RespType::FAILED, "DEMANDE D'AUTHENTIFICATION", "Authentification échouée - Une erreur est survenue"},
        {RespType::DEAUTH_FAILED, "DÉCONNEXION", "Échec de déconnexion - Une erreur est survenue"},
        {RespType::DEAUTH_OK, "DÉCONNEXION", "Toutes vos sessions ont été clôturées"},
        {RespType::CARD_ACCESS, "DEMANDE D'AUTHENTIFICATION", "Erreur d'accès à la carte QEL"},
        {RespType::OK, "DEMANDE D'AUTHENTIFICATION", "design message"},
        {RespType::VALID, "DEMANDE D'AUTHENTIFICATION", "design message"},
        {std::nullopt, "DEMANDE D'AUTHENTIFICATION", "design message"},
    };
    for (const auto& row : rows) {
        FakeVekAlertView view;
        VekAlertController c(view);
        c.type = row.type;
        LogCapture shown;
        c.viewDidAppear();
        EXPECT_EQ(view.titleAlert, row.title);
        EXPECT_EQ(view.text, row.message);
        // Only good news goes without the warning sign.
        EXPECT_EQ(view.picture, row.type == RespType::DEAUTH_OK ? "vek-success" : "vek-alert");
        EXPECT_TRUE(shown.contains(severityTag(Severity::warning) + escapeControlCharacters(row.message)))
            << shown.text();
        c.onClose();
        EXPECT_EQ(view.closes, 1);
    }
}

TEST_F(DialogsTest, QuitAsksForASilentDisconnection) {
    FakeVekQuitView view;
    VekQuitController c(view);
    c.delegate = &delegate;
    c.onCancel();
    EXPECT_TRUE(delegate.reports.empty());
    c.onQuit();
    EXPECT_EQ(delegate.reports.at(0).operation, "disconnect");
    EXPECT_EQ(delegate.silent, true);
    EXPECT_EQ(view.closes, 2);
}

}  // namespace
}  // namespace qel::test
