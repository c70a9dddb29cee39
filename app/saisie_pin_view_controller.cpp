#include "app/saisie_pin_view_controller.h"

#include <stdexcept>

#include "app/pin_fields.h"
#include "management/scard/scard.h"
#include "common/format.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_card.h"

namespace qel {

SaisiePinViewController::SaisiePinViewController(ui::SaisiePinView& view, MainQueue& mainQueue, Scard& scard)
    : view_(view), o_(view.outlets()), mainQueue_(mainQueue), scard_(scard) {
    if (!o_.complete()) throw std::invalid_argument("PIN entry view: outlets missing");
    o_.validateButton->setClickHandler([this] { validate(); });
    o_.cancelButton->setClickHandler([this] { cancel(); });
    o_.pinTextField->setEditHandler([this] { pinTextChanged(); });
}

void SaisiePinViewController::viewDidAppear() {
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

void SaisiePinViewController::pinTextChanged() {
    o_.errorPinLabel->setHidden(true);
    filterCodeField(*o_.pinTextField, kPinLength);
}

void SaisiePinViewController::cancel() {
    dismissed();
    view_.close();
}

void SaisiePinViewController::dismissed() {
    if (ended_) return;
    ended_ = true;
    if (delegate) delegate->pinEntryCancelled();
}

void SaisiePinViewController::cardRemoved() {
    if (modalStatus) return;
    modalStatus = true;
    o_.errorPinLabel->setText(kCardRemovedText);
    o_.errorPinLabel->setHidden(false);
    logWarning("Saisie du code PIN interrompue : la carte a été retirée du lecteur");
    mainQueue_.postAfter(1500, lifetime_.guard([this] { cancel(); }));
}

void SaisiePinViewController::validate() {
    // The result is final once reported; a second click during the delayed close changes nothing.
    if (modalStatus) return;
    std::string pin = o_.pinTextField->text();
    if (pin.size() < kPinLength) {
        wipe(pin);
        o_.errorPinLabel->setText("Le code PIN doit comporter 4 chiffres");
        o_.errorPinLabel->setHidden(false);
        return;
    }

    CK_RV rv = CKR_GENERAL_ERROR;
    bool lastTry = false;
    if (deleteDESfireContext()) {
        PinCheckResult check = scard_.loginWithoutP11(readerNameQEL4, pin);
        rv = check.result;
        lastTry = check.lastTry;
    } else if (pCard) {
        pCard->ensureSession();
        rv = pCard->login(pin, false);
        pCard->refreshTokenInfo();
        lastTry = (pCard->tokenInfo.flags & CKF_USER_PIN_FINAL_TRY) != 0;
    }

    switch (rv) {
        case CKR_OK:
        case CKR_USER_ALREADY_LOGGED_IN:
            o_.errorPinLabel->setTextColour(ui::colours::green);
            o_.errorPinLabel->setText("Authentification réussie !");
            o_.errorPinLabel->setHidden(false);
            pinStatus = true;
            modalStatus = true;
            finish(true, SecretBytes(pin));
            wipe(pin);
            return;
        case CKR_PIN_INCORRECT:
            o_.errorPinLabel->setText(std::string("Le code PIN n'est pas valide !") + (lastTry ? kLastTryWarning : ""));
            o_.errorPinLabel->setHidden(false);
            break;
        case CKR_DEVICE_REMOVED:
        case CKR_TOKEN_NOT_PRESENT:
        case CKR_SESSION_HANDLE_INVALID:
        case CKR_SESSION_CLOSED:
            wipe(pin);
            cardRemoved();
            return;
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
    wipe(pin);
}

void SaisiePinViewController::finish(bool success, SecretBytes pin) {
    ended_ = true;
    // The queue copies its tasks: the copies share one buffer, wiped when the task has run.
    auto secret = std::make_shared<SecretBytes>(std::move(pin));
    mainQueue_.postAfter(500, lifetime_.guard([this, success, secret] {
        if (delegate) {
            if (success) delegate->pinEntered(*secret);
            delegate->pinEntryResult(success, context);
        }
        secret->clear();
        view_.close();
    }));
}

}  // namespace qel
