#include "app/modif_pin_view_controller.h"

#include "app/pin_fields.h"
#include "common/format.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"

namespace qel {

ModifPinViewController::ModifPinViewController(ui::ModifPinView& view, MainQueue& mainQueue)
    : NewPinDialogController(view, view.outlets(),
                             {view.outlets().oldPinTextField, view.outlets().oldPinTooltip, kPinLength}, mainQueue,
                             "PIN change view"),
      o_(view.outlets()) {}

void ModifPinViewController::validate() {
    if (!readyForCard()) return;
    std::string oldPin = o_.oldPinTextField->text();
    std::string newPin = o_.newPinTextField->text();

    pCard->logout();
    pCard->ensureSession();
    CK_RV rv = pCard->login(oldPin, false);
    if (rv == CKR_PIN_INCORRECT) {
        std::string text = "L'ancien code PIN n'est pas valide !";
        pCard->refreshTokenInfo();
        if (pCard->tokenInfo.flags & CKF_USER_PIN_FINAL_TRY) text += kLastTryWarning;
        showMessage(text);
    } else if (rv == CKR_PIN_LOCKED) {
        showMessage("La carte est bloquée !");
        logError("Carte bloquée !");
        closeLater([](MainWindowDelegate& window) { window.setCardBlocked(true); });
    } else if (rv == CKR_OK) {
        if (pCard->changePin(oldPin, newPin) == CKR_OK) {
            showSuccess("Modification du code PIN OK !");
            closeLater([](MainWindowDelegate& window) { window.setUserAuthentified(true); });
        }
    }
    wipe(oldPin);
    wipe(newPin);
}

}  // namespace qel
