#include "app/signin/vek_dialog_controllers.h"

#include "authservice/vek_outcome.h"
#include "common/logger.h"

namespace qel {

using vek::RespType;

namespace {

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

void VekAuthViewController::viewDidAppear() {
    const std::string service = request ? request->service : std::string();
    view_.setNewAuthLabel("Le service " + quoted(service) + " demande l'accès à votre compte e-QEL");
}

void VekAuthViewController::onAuth() {
    logSuccess("Authentification CIBA - Authentification acceptée");
    if (delegate && request) delegate->authorisationDone(RespType::OK, request);
    view_.close();
}

void VekAuthViewController::onNotify() {
    logWarning("Authentification CIBA - Authentification notifiée");
    refuse(true);
}

void VekAuthViewController::onCanel() {
    logWarning("Authentification CIBA - Authentification annulée");
    refuse(false);
}

void VekAuthViewController::refuse(bool reported) {
    if (delegate && request) delegate->refuseRequest(request, reported);
    view_.close();
}

void VekCodesController::viewDidAppear() {
    std::array<std::string, 3> titles;
    if (request && request->codes)
        for (std::size_t i = 0; i < titles.size() && i < request->codes->size(); ++i) titles[i] = (*request->codes)[i];
    view_.setCodeTitles(titles);
}

void VekCodesController::choose(std::size_t index) {
    if (delegate && request) {
        if (request->codes && index < request->codes->size()) {
            request->code = (*request->codes)[index];
            delegate->codeChosen(RespType::OK, request);
        } else {
            // The challenge step lets only three codes through; a request without them ends here.
            delegate->codeChosen(failedStep("aucun code à choisir", false), request);
        }
    }
    view_.close();
}

void VekCodesController::onCancel() {
    logWarning("Authentification CIBA - Authentification annulée");
    if (delegate && request) delegate->refuseRequest(request, false);
    view_.close();
}

void VekValidController::viewDidAppear() {
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

void VekAlertController::viewDidAppear() {
    view_.setTitleAlert("DEMANDE D'AUTHENTIFICATION");
    const VekAlertTexts texts = alertTexts(type);
    if (texts.title) view_.setTitleAlert(*texts.title);
    if (texts.message) view_.setMessage(*texts.message);
    view_.setPicture(texts.success ? "vek-success" : "vek-alert");
    logWarning(view_.message());
}

void VekQuitController::onQuit() {
    if (delegate) delegate->disconnect(true);
    view_.close();
}

}  // namespace qel
