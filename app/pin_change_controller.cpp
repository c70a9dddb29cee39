#include "app/pin_change_controller.h"

#include "app/pin_fields.h"
#include "common/format.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"

namespace qel {

PinChangeController::PinChangeController(ui::PinChangeView& view, MainQueue& mainQueue)
    : NewPinDialogController(view, view.widgets(),
                             {view.widgets().oldPinTextField, view.widgets().oldPinTooltip, kPinLength}, mainQueue,
                             "PIN change view"),
      o_(view.widgets()) {}

void PinChangeController::validate() {
    if (!readyForCard()) return;
    const SecretBytes oldPin = o_.oldPinTextField->secret();
    const SecretBytes newPin = o_.newPinTextField->secret();

    pCard->logout();
    pCard->ensureSession();
    CK_RV rv = pCard->login(oldPin.view(), false);
    if (rv == CKR_PIN_INCORRECT) {
        std::string text = "L'ancien code PIN n'est pas valide !";
        pCard->refreshTokenInfo();
        if (pCard->tokenInfo.flags & CKF_USER_PIN_FINAL_TRY) text += kLastTryWarning;
        showMessage(text);
    } else if (rv == CKR_PIN_LOCKED) {
        showMessage("La carte est bloquée !");
        logError("Carte bloquée !");
        closeLater([](MainWindowListener& window) { window.setCardBlocked(true); });
    } else if (rv == CKR_OK) {
        if (pCard->changePin(oldPin.view(), newPin.view()) == CKR_OK) {
            showSuccess("Modification du code PIN OK !");
            closeLater([](MainWindowListener& window) { window.setUserAuthenticated(true); });
        }
    }
}

}  // namespace qel
