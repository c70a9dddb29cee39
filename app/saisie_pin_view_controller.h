#pragma once
#include "common/secret_bytes.h"
#include <memory>
#include <string>

#include "app/delegates.h"
#include "app/lifetime.h"
#include "app/views/pin_dialog_views.h"
#include "common/main_queue.h"

namespace qel {

class Pkcs11Card;
class Scard;

/// Context of a PIN entry opened by the maintenance view: the PIN is checked directly on the card.
inline constexpr const char* kDeleteDESfireContext = "DeleteDESfire";

/// Shown in the PIN entry dialog when the card leaves its reader.
inline constexpr const char* kCardRemovedText = "La carte a été retirée du lecteur : saisie du code PIN interrompue";

/// The PIN entry dialog: logs the user in on the card (through the PKCS#11 library, or directly on
/// the card in the "DeleteDESfire" context). Main thread only.
class SaisiePinViewController {
public:
    /// The view's outlets must be complete; the buttons and the field are wired here.
    SaisiePinViewController(ui::SaisiePinView& view, MainQueue& mainQueue, Scard& scard);

    /// The dialog appeared: warns when the card is at its last try.
    void viewDidAppear();
    void validate();
    void cancel();
    /// The window went without a result (its cancel button, Escape, its close box): the delegate
    /// hears of it once.
    void dismissed();
    /// The card left its reader: said in the dialog, which then closes without a result.
    void cardRemoved();
    /// The keystroke filter of the PIN field.
    void pinTextChanged();

    SaisieDelegate* delegate = nullptr;
    /// Tells the dialog when the card goes (may be null).
    MainWindowDelegate* window = nullptr;
    std::shared_ptr<Pkcs11Card> pCard;
    bool pinStatus = false;
    bool modalStatus = false;
    std::string context;
    std::string readerNameQEL4;
    /// Why the PIN is asked again, shown on the message line as the dialog appears.
    std::string notice;

private:
    void finish(bool success, SecretBytes pin);
    bool ended_ = false;
    bool deleteDESfireContext() const { return context == kDeleteDESfireContext; }

    ui::SaisiePinView& view_;
    const ui::SaisiePinOutlets& o_;
    MainQueue& mainQueue_;
    Scard& scard_;
    Lifetime lifetime_;
};

}  // namespace qel
