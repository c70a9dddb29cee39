// The main window: the card update badge and the end of the update wizard.
#include "app/view_controller.h"
#include "app/app_delegate.h"
#include "management/card_tables.h"
#include "management/scard/card_readers.h"
#include "common/format.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_library.h"
#include "issuerlib/pkcs11_slot.h"
#include "issuerlib/pkcs11_card.h"

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
    updateWizardOpen_ = false;
    // The card's files changed: show what it holds now, and confirm with the service.
    if (cardUpdated && !renewedCardRead_) updateSucceeded();
    renewedCardRead_ = false;
    o_.tmajNotif->setHidden(true);
    updateUI();
}

void ViewController::updateSucceeded() {
    renewedCardRead_ = true;
    const std::string reader = selectedReaderName();
    // Nothing may use the library's sessions across its new start: their handles would name others.
    for (auto& [position, card] : p11Card_) card->dropSession();
    p11Card_.clear();
    isCardInserted_ = false;
    isUserAuthentified_ = false;
    if (appDel_.p11Loaded) {
        const CK_RV rv = s_.library.finalize();
        if (rv != CKR_OK) logError(format("Erreur dans C_Finalize: résultat = %lu", static_cast<unsigned long>(rv)));
    }
    resetCardAfterUpdate(reader);
    const CK_RV rv = s_.library.initialize();
    appDel_.p11Loaded = rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED;
    if (!appDel_.p11Loaded)
        logError(format("Erreur dans C_Initialize: résultat = %lu", static_cast<unsigned long>(rv)));
    refreshReaders();
    // The reader of the updated card stays the one shown, whichever reader the list starts with.
    for (std::size_t i = 0; i < p11SlotDict_.size(); ++i) {
        const int index = static_cast<int>(i);
        if (trimControlCharacters(p11SlotDict_[i]->name) != reader || index == o_.cardComboBox->selectedIndex())
            continue;
        o_.cardComboBox->selectItem(index);
        readerSelection(algoSender);
        break;
    }
}

void ViewController::resetCardAfterUpdate(const std::string& reader) {
    // The update ran through the issuer's library, under the other programs' feet: their modules keep
    // the old certificates until the card changes, and the card kept the PIN the wizard verified.
    try {
        if (auto card = s_.readers.waitForCard(reader, std::chrono::milliseconds(0))) {
            card->resetSecurityState();
            ownResetDone();
            logInfo(format("Carte du lecteur [%s] réinitialisée après sa mise à jour", reader.c_str()));
            return;
        }
        logWarning(format("Pas de carte à réinitialiser dans le lecteur [%s] après la mise à jour", reader.c_str()));
    } catch (const TransportError& e) {
        logError(format("La carte du lecteur [%s] n'a pas pu être réinitialisée après la mise à jour : %s",
                        reader.c_str(), e.what()));
    }
}

}  // namespace qel
