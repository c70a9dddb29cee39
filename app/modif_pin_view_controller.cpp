#include "app/modif_pin_view_controller.h"

#include <stdexcept>

#include "app/pin_fields.h"
#include "common/format.h"
#include "common/logger.h"
#include "pkcs11/pkcs11_card.h"
#include "pkcs11/pkcs11_library.h"

namespace qel {

ModifPinViewController::ModifPinViewController(ui::ModifPinView& view, MainQueue& mainQueue)
    : view_(view), o_(view.outlets()), mainQueue_(mainQueue) {
    if (!o_.complete()) throw std::invalid_argument("PIN change view: outlets missing");
    o_.validateButton->setClickHandler([this] { validate(); });
    o_.cancelButton->setClickHandler([this] { cancel(); });
    for (ui::SecureField* field : {o_.oldPinTextField, o_.newPinTextField, o_.renewPinTextField})
        field->setEditHandler([field] { filterCodeField(*field, kPinLength); });
}

void ModifPinViewController::cancel() { view_.close(); }

bool ModifPinViewController::checkFields() {
    o_.oldPinTooltip->setHidden(o_.oldPinTextField->text().size() >= kPinLength);
    o_.newPinTooltip->setHidden(o_.newPinTextField->text().size() >= kPinLength);
    o_.renewPinTooltip->setHidden(o_.renewPinTextField->text().size() >= kPinLength);
    const bool same = o_.newPinTextField->text() == o_.renewPinTextField->text();
    if (!same) o_.errorLabel->setText(kPinMismatch);
    o_.errorLabel->setHidden(same);
    return o_.oldPinTooltip->isHidden() && o_.newPinTooltip->isHidden() && o_.renewPinTooltip->isHidden() &&
           o_.errorLabel->isHidden();
}

void ModifPinViewController::closeLater(bool blocked) {
    finished_ = true;
    mainQueue_.postAfter(1000, lifetime_.guard([this, blocked] {
        if (delegate) {
            if (blocked) delegate->setCardBlocked(true);
            else delegate->setUserAuthentified(true);
            delegate->updateUI();
        }
        view_.close();
    }));
}

void ModifPinViewController::validate() {
    if (finished_ || !checkFields() || !pCard) return;
    std::string oldPin = o_.oldPinTextField->text();
    std::string newPin = o_.newPinTextField->text();

    CK_RV rv = pCard->library().logout(pCard->session);
    if (rv != CKR_OK && rv != CKR_USER_NOT_LOGGED_IN)
        logError(format("Erreur dans C_Logout: résultat = %lu", static_cast<unsigned long>(rv)));
    pCard->ensureSession();
    rv = pCard->login(oldPin, false);
    if (rv == CKR_PIN_INCORRECT) {
        std::string text = "L'ancien code PIN n'est pas valide !";
        pCard->refreshTokenInfo();
        if (pCard->tokenInfo.flags & CKF_USER_PIN_FINAL_TRY) text += kLastTryWarning;
        o_.errorLabel->setText(text);
        o_.errorLabel->setHidden(false);
    } else if (rv == CKR_PIN_LOCKED) {
        o_.errorLabel->setText("La carte est bloquée !");
        o_.errorLabel->setHidden(false);
        logError("Carte bloquée !");
        closeLater(true);
    } else if (rv == CKR_OK) {
        if (pCard->changePin(oldPin, newPin) == CKR_OK) {
            o_.errorLabel->setTextColour(ui::colours::green);
            o_.errorLabel->setText("Modification du code PIN OK !");
            o_.errorLabel->setHidden(false);
            closeLater(false);
        }
    }
    wipe(oldPin);
    wipe(newPin);
}

}  // namespace qel
