#include "app/pin_entry_controller.h"

#include <stdexcept>

#include "app/pin_fields.h"
#include "management/scard/scard.h"
#include "common/format.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_error.h"

namespace qel {

PinEntryController::PinEntryController(ui::PinEntryView& view, MainQueue& mainQueue, Scard& scard)
    : view_(view), o_(view.widgets()), mainQueue_(mainQueue), scard_(scard) {
    if (!o_.complete()) throw std::invalid_argument("PIN entry view: widgets missing");
    o_.validateButton->setClickHandler([this] { validate(); });
    o_.cancelButton->setClickHandler([this] { cancel(); });
    o_.pinTextField->setEditHandler([this] { pinTextChanged(); });
}

void PinEntryController::onShown() {
    if (window && !deleteDESfireContext()) window->whenCardRemoved(lifetime_.guard([this] { cardRemoved(); }));
    bool lastTry = false;
    if (deleteDESfireContext()) {
        lastTry = scard_.checkPinStatus(readerNameQEL4).lastTry;
    } else if (pCard) {
        lastTry = (pCard->tokenInfo.flags & CKF_USER_PIN_FINAL_TRY) != 0;
    }
    std::string text = notice;
    if (lastTry) text += (text.empty() ? "" : ".") + std::string(kLastTryWarning);
    if (!text.empty()) {
        o_.errorPinLabel->setText(text);
        o_.errorPinLabel->setHidden(false);
    }
}

void PinEntryController::pinTextChanged() {
    o_.errorPinLabel->setHidden(true);
    filterCodeField(*o_.pinTextField, kPinLength);
}

void PinEntryController::cancel() {
    dismissed();
    view_.close();
}

void PinEntryController::dismissed() {
    if (ended_) return;
    ended_ = true;
    if (listener) listener->pinEntryCancelled();
}

void PinEntryController::cardRemoved() {
    if (modalStatus) return;
    modalStatus = true;
    o_.errorPinLabel->setText(kCardRemovedText);
    o_.errorPinLabel->setHidden(false);
    logWarning("Saisie du code PIN interrompue : la carte a été retirée du lecteur");
    mainQueue_.postAfter(1500, lifetime_.guard([this] { cancel(); }));
}

void PinEntryController::validate() {
    // The result is final once reported; a second click during the delayed close changes nothing.
    if (modalStatus) return;
    SecretBytes pin = o_.pinTextField->secret();
    if (pin.size() < kPinLength) {
        o_.errorPinLabel->setText("Le code PIN doit comporter 4 chiffres");
        o_.errorPinLabel->setHidden(false);
        return;
    }

    CK_RV rv = CKR_GENERAL_ERROR;
    bool lastTry = false;
    if (deleteDESfireContext()) {
        PinCheckResult check = scard_.loginWithoutP11(readerNameQEL4, pin.view());
        rv = check.result;
        lastTry = check.lastTry;
    } else if (pCard) {
        pCard->ensureSession();
        rv = pCard->login(pin.view(), false);
        pCard->refreshTokenInfo();
        lastTry = (pCard->tokenInfo.flags & CKF_USER_PIN_FINAL_TRY) != 0;
    }

    if (meansCardGone(rv)) {
        cardRemoved();
        return;
    }
    switch (rv) {
        case CKR_OK:
        case CKR_USER_ALREADY_LOGGED_IN:
            o_.errorPinLabel->setTextColour(ui::colours::green);
            o_.errorPinLabel->setText("Authentification réussie !");
            o_.errorPinLabel->setHidden(false);
            pinStatus = true;
            modalStatus = true;
            finish(true, std::move(pin));
            return;
        case CKR_PIN_INCORRECT:
            o_.errorPinLabel->setText(std::string("Le code PIN n'est pas valide !") + (lastTry ? kLastTryWarning : ""));
            o_.errorPinLabel->setHidden(false);
            break;
        case CKR_PIN_LOCKED:
            o_.errorPinLabel->setText("La carte est bloquée !");
            o_.errorPinLabel->setHidden(false);
            logError("Carte bloquée !");
            pinStatus = false;
            modalStatus = true;
            finish(false, {});
            break;
        default:
            o_.errorPinLabel->setText("Erreur lors de la tentative d'authentification");
            o_.errorPinLabel->setHidden(false);
            logError(format("Erreur dans C_Login: %lu", static_cast<unsigned long>(rv)));
            break;
    }
}

void PinEntryController::finish(bool success, SecretBytes pin) {
    ended_ = true;
    // The queue copies its tasks: the copies share one buffer, wiped when the task has run.
    auto secret = std::make_shared<SecretBytes>(std::move(pin));
    mainQueue_.postAfter(500, lifetime_.guard([this, success, secret] {
        if (listener) {
            if (success) listener->pinEntered(*secret);
            listener->pinEntryResult(success, context);
        }
        secret->clear();
        view_.close();
    }));
}

}  // namespace qel
