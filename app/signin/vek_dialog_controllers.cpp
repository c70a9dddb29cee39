#include "app/signin/vek_dialog_controllers.h"

#include "authservice/vek_outcome.h"
#include "common/logger.h"

namespace qel {

using vek::RespType;

namespace {

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

void VekAuthController::onShown() {
    const std::string service = request ? request->service : std::string();
    view_.setNewAuthLabel("Le service " + quoted(service) + " demande l'accès à votre compte e-QEL");
}

void VekAuthController::onAuth() {
    logSuccess("Authentification CIBA - Authentification acceptée");
    if (listener && request) listener->authorisationDone(RespType::OK, request);
    view_.close();
}

void VekAuthController::onNotify() {
    logWarning("Authentification CIBA - Authentification notifiée");
    refuse(true);
}

void VekAuthController::onCancel() {
    logWarning("Authentification CIBA - Authentification annulée");
    refuse(false);
}

void VekAuthController::refuse(bool reported) {
    if (listener && request) listener->refuseRequest(request, reported);
    view_.close();
}

void VekCodesController::onShown() {
    std::array<std::string, 3> titles;
    if (request && request->codes)
        for (std::size_t i = 0; i < titles.size() && i < request->codes->size(); ++i) titles[i] = (*request->codes)[i];
    view_.setCodeTitles(titles);
}

void VekCodesController::choose(std::size_t index) {
    if (listener && request) {
        if (request->codes && index < request->codes->size()) {
            request->code = (*request->codes)[index];
            listener->codeChosen(RespType::OK, request);
        } else {
            // The challenge step lets only three codes through; a request without them ends here.
            listener->codeChosen(failedStep("aucun code à choisir", false), request);
        }
    }
    view_.close();
}

void VekCodesController::onCancel() {
    logWarning("Authentification CIBA - Authentification annulée");
    if (listener && request) listener->refuseRequest(request, false);
    view_.close();
}

void VekValidController::onShown() {
    const std::string service = request ? request->service : std::string();
    if (request && request->authStatus == vek::AuthStatus::SUCCEED) {
        view_.setTitleMesage("AUTHENTIFICATION RÉUSSIE");
        view_.setMessage("La demande d'authentification pour le service " + quoted(service) +
                         " a bien été prise en compte.");
        view_.setPicture("vek-success");
    } else {
        view_.setTitleMesage("ÉCHEC D'AUTHENTIFICATION");
        view_.setMessage("La demande d'authentification au service " + quoted(service) + " n'a pas abouti.");
        view_.setPicture("vek-failure");
    }
}

void VekAlertController::onShown() {
    view_.setTitleAlert("DEMANDE D'AUTHENTIFICATION");
    const VekAlertTexts texts = alertTexts(type);
    if (texts.title) view_.setTitleAlert(*texts.title);
    if (texts.message) view_.setMessage(*texts.message);
    view_.setPicture(texts.success ? "vek-success" : "vek-alert");
    logWarning(view_.message());
}

void VekQuitController::onQuit() {
    if (listener) listener->disconnect(true);
    view_.close();
}

}  // namespace qel
