#include "app/signin/vek_wait_controller.h"

#include "authservice/vek_outcome.h"

namespace qel {

using vek::RespType;
using vek::VekAction;

VekWaitController::VekWaitController(VekWaitView& view, VekOperations& service, CardHolderSource* holder)
    : view_(&view), service_(service), holder_(holder) {}

void VekWaitController::viewDidAppear() {
    if (started_) return;
    started_ = true;
    if (view_) view_->setWaitTitle("DEMANDE D'AUTHENTIFICATION");
    if (!request) return;
    switch (request->action) {
        case VekAction::CHECK_PCSC:
            checkPcsc();
            break;
        case VekAction::CODE_NEEDED:
            codeNeeded();
            break;
        case VekAction::CHECK_CHALLENGE:
            checkChallenge();
            break;
        case VekAction::VALIDATE:
            validate();
            break;
        case VekAction::DISCONNECT:
            disconnectAll();
            break;
        // The challenge is only reached from the code-state step, in the same dialog.
        case VekAction::GET_CHALLENGE:
        case VekAction::NONE:
            break;
    }
}

void VekWaitController::closeWindow() {
    if (!view_) return;
    VekWaitView* view = view_;
    view_ = nullptr;
    view->close();
}

void VekWaitController::finish(const std::function<void(VekDelegate&)>& report) {
    if (delegate) report(*delegate);
    closeWindow();
}

bool VekWaitController::sameHolder(const std::function<void(RespType)>& report, bool disconnecting) {
    if (!holder_) return true;
    // The TLS identity is the card in the reader: a request of another holder must not travel with it.
    if (holder_->currentHolderIdentifier() == request->idNat) return true;
    report(failedStep("la carte dans le lecteur n'est pas celle du titulaire de la demande", disconnecting));
    return false;
}

void VekWaitController::checkPcsc() {
    auto self = shared_from_this();
    const auto report = [self](RespType outcome) {
        self->finish([&](VekDelegate& d) { d.pendingRequestDone(outcome, self->request); });
    };
    if (!sameHolder(report, false)) return;
    service_.getPendingRequests(request->idNat,
                                [self, report](vek::Result<std::vector<vek::PendingAuthenticationRequestDto>> result) {
                                    if (!result) return report(toRespType(result.error(), false));
                                    const auto& pending = result.value();
                                    if (pending.empty()) return report(RespType::NO_AUTH);
                                    const auto& first = pending.front();
                                    // Without these two the request can be neither shown nor answered.
                                    if (!first.serviceName || !first.notificationId)
                                        return report(failedStep("demande en attente incomplète", false));
                                    self->request->service = *first.serviceName;
                                    self->request->notificationId = *first.notificationId;
                                    report(RespType::OK);
                                });
}

void VekWaitController::codeNeeded() {
    auto self = shared_from_this();
    const auto report = [self](RespType outcome) {
        self->finish([&](VekDelegate& d) { d.codeStepDone(outcome, self->request); });
    };
    if (!sameHolder(report, false)) return;
    service_.getCodeState([self, report](vek::Result<vek::EnabledFlagDto> result) {
        if (!result) return report(toRespType(result.error(), false));
        if (!result.value().enabled) return report(failedStep("état du code absent", false));
        if (!*result.value().enabled) return report(RespType::FAILED);
        self->getChallenge();
    });
}

void VekWaitController::getChallenge() {
    auto self = shared_from_this();
    const auto report = [self](RespType outcome) {
        self->finish([&](VekDelegate& d) { d.codeStepDone(outcome, self->request); });
    };
    if (!sameHolder(report, false)) return;
    service_.createCodeChallenges(request->idNat, request->notificationId,
                                  [self, report](vek::Result<std::vector<std::string>> result) {
                                      if (!result) return report(toRespType(result.error(), false));
                                      if (result.value().size() != 3) return report(RespType::FAILED);
                                      self->request->codes = result.value();
                                      report(RespType::OK);
                                  });
}

void VekWaitController::checkChallenge() {
    auto self = shared_from_this();
    const auto report = [self](RespType outcome) {
        self->finish([&](VekDelegate& d) { d.codeStepDone(outcome, self->request); });
    };
    if (!sameHolder(report, false)) return;
    service_.verifyCode(request->idNat, request->code, request->notificationId,
                        [self, report](vek::Result<vek::VerifyCodeResponseDto> result) {
                            if (!result) return report(toRespType(result.error(), false));
                            if (!result.value().valid)
                                return report(failedStep("vérification du code sans réponse", false));
                            if (!*result.value().valid) return report(RespType::BAD_CODE);
                            self->validate();
                        });
}

void VekWaitController::validate() {
    auto self = shared_from_this();
    const auto report = [self](RespType outcome) {
        self->finish([&](VekDelegate& d) { d.codeStepDone(outcome, self->request); });
    };
    if (!sameHolder(report, false)) return;
    const bool afterCode = request->action == VekAction::CHECK_CHALLENGE;
    vek::CibaAuthenticationCardResponseDto answer;
    answer.notificationId = request->notificationId;
    answer.authStatus = request->authStatus;
    service_.postCardResponse(request->idNat, answer, [self, report](std::optional<vek::ErrorResponse> error) {
        if (error) return report(toRespType(*error, false));
        if (self->request->authStatus == vek::AuthStatus::CANCELLED)
            return self->finish([&](VekDelegate& d) { d.authorisationDone(RespType::CANCEL, self->request); });
        // A reported request opened no session: it ends like a refusal, with its own words.
        if (self->request->authStatus == vek::AuthStatus::UNAUTHORIZED)
            return self->finish([&](VekDelegate& d) { d.authorisationDone(RespType::NOTIFY, self->request); });
        self->finish([&](VekDelegate& d) { d.validationDone(RespType::OK, self->request); });
    });
    // After a verified code the answer is on its way: the window goes now, the result follows.
    if (afterCode) closeWindow();
}

void VekWaitController::disconnectAll() {
    if (view_) view_->setWaitTitle("DÉCONNEXION");
    auto self = shared_from_this();
    const bool silent = request->silent;
    const auto report = [self, silent](RespType outcome) {
        self->finish([&](VekDelegate& d) { d.disconnectionDone(outcome, silent); });
    };
    if (!sameHolder(report, true)) return;
    service_.logoutAll(request->idNat, [report](std::optional<vek::ErrorResponse> error) {
        report(error ? toRespType(*error, true) : RespType::DEAUTH_OK);
    });
}

}  // namespace qel
