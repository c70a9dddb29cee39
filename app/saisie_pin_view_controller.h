#pragma once
#include <memory>
#include <string>

#include "app/delegates.h"
#include "app/lifetime.h"
#include "app/ui/pin_dialog_views.h"
#include "common/main_queue.h"

namespace qel {

class Pkcs11Card;
class Scard;

/// Context of a PIN entry opened by the maintenance view: the PIN is checked directly on the card.
inline constexpr const char* kDeleteDESfireContext = "DeleteDESfire";

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
    /// The keystroke filter of the PIN field.
    void pinTextChanged();

    SaisieDelegate* delegate = nullptr;
    std::shared_ptr<Pkcs11Card> pCard;
    bool pinStatus = false;
    bool modalStatus = false;
    std::string context;
    std::string readerNameQEL4;
    /// Why the PIN is asked again, shown on the message line as the dialog appears.
    std::string notice;

private:
    void finish(bool success, std::string pin);
    bool deleteDESfireContext() const { return context == kDeleteDESfireContext; }

    ui::SaisiePinView& view_;
    const ui::SaisiePinOutlets& o_;
    MainQueue& mainQueue_;
    Scard& scard_;
    Lifetime lifetime_;
};

}  // namespace qel
