#include "app/unlock_card_controller.h"

#include "app/pin_fields.h"
#include "issuerlib/pkcs11_card.h"

namespace qel {

UnlockCardController::UnlockCardController(ui::UnlockCardView& view, MainQueue& mainQueue)
    : NewPinDialogController(view, view.widgets(), {view.widgets().pukTextField, view.widgets().pukTooltip, kPukLength},
                             mainQueue, "unlock view"),
      o_(view.widgets()) {}

void UnlockCardController::validate() {
    if (!readyForCard()) return;
    const SecretBytes puk = o_.pukTextField->secret();
    const SecretBytes newPin = o_.newPinTextField->secret();
    if (pCard->unlockPin(puk.view(), newPin.view()) == CKR_OK) {
        showSuccess("Déblocage de la carte OK !");
        closeLater([](MainWindowListener& window) {
            window.setCardBlocked(false);
            window.setUserAuthenticated(true);
            window.showIdentificationPane(false);
        });
    } else {
        std::string text = "Le code PUK est incorrect !";
        pCard->refreshTokenInfo();
        if (pCard->tokenInfo.flags & CKF_SO_PIN_FINAL_TRY)
            text += "⚠️ Attention: dernier essai avant le blocage DEFINITIF de la carte";
        showMessage(text);
    }
}

}  // namespace qel
