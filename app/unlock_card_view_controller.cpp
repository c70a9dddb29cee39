#include "app/unlock_card_view_controller.h"

#include <stdexcept>

#include "app/pin_fields.h"
#include "pkcs11/pkcs11_card.h"

namespace qel {

UnlockCardViewController::UnlockCardViewController(ui::UnlockCardView& view, MainQueue& mainQueue)
    : view_(view), o_(view.outlets()), mainQueue_(mainQueue) {
    if (!o_.complete()) throw std::invalid_argument("unlock view: outlets missing");
    o_.validateButton->setClickHandler([this] { validate(); });
    o_.cancelButton->setClickHandler([this] { cancel(); });
    ui::SecureField* puk = o_.pukTextField;
    puk->setEditHandler([puk] { filterCodeField(*puk, kPukLength); });
    for (ui::SecureField* field : {o_.newPinTextField, o_.renewPinTextField})
        field->setEditHandler([field] { filterCodeField(*field, kPinLength); });
}

void UnlockCardViewController::cancel() { view_.close(); }

bool UnlockCardViewController::checkFields() {
    o_.pukTooltip->setHidden(o_.pukTextField->text().size() >= kPukLength);
    o_.newPinTooltip->setHidden(o_.newPinTextField->text().size() >= kPinLength);
    o_.renewPinTooltip->setHidden(o_.renewPinTextField->text().size() >= kPinLength);
    const bool same = o_.newPinTextField->text() == o_.renewPinTextField->text();
    if (!same) o_.errorLabel->setText(kPinMismatch);
    o_.errorLabel->setHidden(same);
    return o_.pukTooltip->isHidden() && o_.newPinTooltip->isHidden() && o_.renewPinTooltip->isHidden() &&
           o_.errorLabel->isHidden();
}

void UnlockCardViewController::validate() {
    if (finished_ || !checkFields() || !pCard) return;
    std::string puk = o_.pukTextField->text();
    std::string newPin = o_.newPinTextField->text();
    if (pCard->unlockPin(puk, newPin) == CKR_OK) {
        o_.errorLabel->setTextColour(ui::colours::green);
        o_.errorLabel->setText("Déblocage de la carte OK !");
        o_.errorLabel->setHidden(false);
        finished_ = true;
        mainQueue_.postAfter(1000, lifetime_.guard([this] {
            if (delegate) {
                delegate->setCardBlocked(false);
                delegate->setUserAuthentified(true);
                delegate->showIdentificationPane(false);
                delegate->updateUI();
            }
            view_.close();
        }));
    } else {
        std::string text = "Le code PUK est incorrect !";
        pCard->refreshTokenInfo();
        if (pCard->tokenInfo.flags & CKF_SO_PIN_FINAL_TRY) text += "⚠️ Attention: dernier essai avant le blocage DEFINITIF de la carte";
        o_.errorLabel->setText(text);
        o_.errorLabel->setHidden(false);
    }
    wipe(puk);
    wipe(newPin);
}

}  // namespace qel
