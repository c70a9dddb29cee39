// The main window: the card update badge and the end of the update wizard.
#include "app/view_controller.h"
#include "common/logger.h"
#include "pkcs11/pkcs11_card.h"

namespace qel {

void ViewController::checkUpdateAvailability(const Pkcs11Card& card) {
    // Contactless cards are not updated; a card without serial cannot be asked about.
    if (!s_.hooks.updates || !isContactQEL_ || card.serial.empty()) return;
    s_.hooks.updates->checkAvailability(card.serial, lifetime_.guard([this, serial = card.serial](int status) {
        // The answer may come after the card was pulled or another reader
        // was chosen.
        const std::shared_ptr<Pkcs11Card> current = selectedCard();
        if (!isCardInserted_ || !current || current->serial != serial) return;
        o_.tmajNotif->setHidden(status != 1);
    }));
}

void ViewController::updateWizardClosed(bool cardUpdated) {
    o_.tmajNotif->setHidden(true);
    // The card's files changed: show what it holds now, and confirm with the service.
    if (cardUpdated && isCardInserted_) readSelectedCard();
    updateUI();
}

}  // namespace qel
