#include "app/unlock_card_view_controller.h"

#include "app/pin_fields.h"
#include "issuerlib/pkcs11_card.h"

namespace qel {

UnlockCardViewController::UnlockCardViewController(ui::UnlockCardView& view, MainQueue& mainQueue)
    : NewPinDialogController(view, view.outlets(), {view.outlets().pukTextField, view.outlets().pukTooltip, kPukLength},
                             mainQueue, "unlock view"),
      o_(view.outlets()) {}

void UnlockCardViewController::validate() {
    if (!readyForCard()) return;
    std::string puk = o_.pukTextField->text();
    std::string newPin = o_.newPinTextField->text();
    if (pCard->unlockPin(puk, newPin) == CKR_OK) {
        showSuccess("Déblocage de la carte OK !");
        closeLater([](MainWindowDelegate& window) {
            window.setCardBlocked(false);
            window.setUserAuthentified(true);
            window.showIdentificationPane(false);
        });
    } else {
        std::string text = "Le code PUK est incorrect !";
        pCard->refreshTokenInfo();
        if (pCard->tokenInfo.flags & CKF_SO_PIN_FINAL_TRY)
            text += "⚠️ Attention: dernier essai avant le blocage DEFINITIF de la carte";
        showMessage(text);
    }
    wipe(puk);
    wipe(newPin);
}

}  // namespace qel
