// The main window's part in the sign-in flow of the authentication service: the two buttons, the
// dialogs' reports and the requests answered since the start.
#include "app/view_controller.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_card.h"

namespace qel {

using vek::RespType;
using vek::VekAction;

void ViewController::afterDialogCloses(std::function<void()> task) {
    s_.mainQueue.postAfter(100, lifetime_.guard(std::move(task)));
}

void ViewController::showVekAlert(RespType outcome) { performSegue(ui::segue::vekAlert, outcome); }

void ViewController::VEKAuthenticate() {
    auto request = std::make_shared<vek::VekRequest>();
    request->idNat = holder_.identifiant;
    if (request->idNat.empty()) {
        // The service cannot tell whose request to answer: the flow stops at the alert.
        showVekAlert(RespType::CARD_ACCESS);
        return;
    }
    // The remembered flag is not enough: another program may have reset the card since.
    if (loginStillHolds()) {
        request->action = VekAction::CHECK_PCSC;
        performSegue(ui::segue::vekWait, request);
    } else {
        authButton_ = true;
        performSegue(ui::segue::saisiePinProg);
    }
}

void ViewController::VEKDisconnect() {
    if (s_.alerts) {
        ui::Alert ask;
        ask.style = ui::Alert::Style::informational;
        ask.messageText = "DÉCONNEXION";
        ask.informativeText = "Toutes vos sessions Vestalink ouvertes avec votre carte seront clôturées.";
        ask.buttons = {"Déconnecter", "Annuler"};
        if (s_.alerts->runModal(ask) != 0) return;
    }
    disconnect(false);
}

void ViewController::pendingRequestDone(RespType outcome, VekRequestRef request) {
    afterDialogCloses([this, outcome, request] {
        if (outcome == RespType::OK)
            performSegue(ui::segue::vekAuth, request);
        else
            showVekAlert(outcome);
    });
}

void ViewController::authorisationDone(RespType outcome, VekRequestRef request) {
    afterDialogCloses([this, outcome, request] {
        if (outcome == RespType::OK) {
            request->action = VekAction::CODE_NEEDED;
            performSegue(ui::segue::vekWait, request);
        } else if (outcome == RespType::VALID) {
            isVekAuthenticated_ = true;
            o_.VekDisconnect->setEnabled(true);
        } else {
            showVekAlert(outcome);
        }
    });
}

void ViewController::codeStepDone(RespType outcome, VekRequestRef request) {
    afterDialogCloses([this, outcome, request] {
        if (outcome == RespType::OK)
            performSegue(ui::segue::vekCodes, request);
        else
            showVekAlert(outcome);
    });
}

void ViewController::codeChosen(RespType outcome, VekRequestRef request) {
    afterDialogCloses([this, outcome, request] {
        if (outcome == RespType::OK) {
            request->action = VekAction::CHECK_CHALLENGE;
            performSegue(ui::segue::vekWait, request);
        } else {
            showVekAlert(outcome);
        }
    });
}

void ViewController::validationDone(RespType outcome, VekRequestRef request) {
    afterDialogCloses([this, outcome, request] {
        if (outcome == RespType::OK) {
            // Sessions are open at the service from now on: the next refresh must keep the
            // disconnection available, not only this direct enabling.
            isVekAuthenticated_ = true;
            o_.VekDisconnect->setEnabled(true);
            vekRequests_.push_back(request);
            performSegue(ui::segue::vekValid, request);
        } else {
            showVekAlert(outcome);
        }
    });
}

void ViewController::disconnectionDone(RespType outcome, bool silent) {
    afterDialogCloses([this, outcome, silent] {
        const bool closed = outcome == RespType::DEAUTH_OK;
        if (closed) isVekAuthenticated_ = false;
        o_.VekDisconnect->setEnabled(!closed);
        if (silent) {
            vekRequests_.clear();
            view_.closeWindow();
        } else {
            showVekAlert(outcome);
        }
    });
}

void ViewController::refuseRequest(VekRequestRef request, bool reported) {
    afterDialogCloses([this, request, reported] {
        request->action = VekAction::VALIDATE;
        request->authStatus = reported ? vek::AuthStatus::UNAUTHORIZED : vek::AuthStatus::CANCELLED;
        performSegue(ui::segue::vekWait, request);
    });
}

void ViewController::disconnect(bool silent) {
    afterDialogCloses([this, silent] {
        // The button and the quit dialog are only offered once a request was answered.
        if (vekRequests_.empty()) {
            if (silent) view_.closeWindow();
            return;
        }
        // The service knows the holder by the card's signature in the handshake, which needs the
        // PIN: without it the disconnection could only fail. It resumes after a good PIN.
        if (!isUserAuthentified_) {
            disconnectAfterPin_ = silent;
            performSegue(ui::segue::saisiePinProg);
            return;
        }
        VekRequestRef request = vekRequests_.front();
        request->action = VekAction::DISCONNECT;
        request->silent = silent;
        performSegue(ui::segue::vekWait, request);
    });
}

std::string ViewController::currentHolderIdentifier() {
    if (!isCardInserted_) return {};
    const std::shared_ptr<Pkcs11Card> card = selectedCard();
    if (!card) return {};
    try {
        // Read again from the card: another card may sit in the reader since the window read it.
        return card->getHolderInfos().identifiant;
    } catch (const std::exception& e) {
        logError(std::string("Lecture de l'identifiant du titulaire impossible : ") + e.what());
        return {};
    }
}

}  // namespace qel
