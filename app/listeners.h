#pragma once
#include <functional>
#include <memory>
#include <string>

#include "common/secret_bytes.h"

namespace qel {

class Pkcs11Card;

/// Receives the PIN entry dialog's outcome: the main window, or the maintenance view.
class PinEntryListener {
public:
    virtual ~PinEntryListener() = default;
    /// The dialog's result, with the context it was opened with (empty, or "DeleteDESfire").
    virtual void pinEntryResult(bool success, const std::string& context) = 0;
    /// The PIN that was accepted, just before the successful result. Only the maintenance view keeps
    /// it (for the deletion it guards); it must never be logged.
    virtual void pinEntered(const SecretBytes& pin) = 0;
    /// The holder closed the dialog without a result.
    virtual void pinEntryCancelled() {}
};

/// What the dialogs and sub-views may ask of the main window. Main thread only.
class MainWindowListener {
public:
    virtual ~MainWindowListener() = default;
    virtual void setCardBlocked(bool blocked) = 0;
    virtual void setUserAuthenticated(bool authenticated) = 0;
    /// Recomputes every control's enablement and visibility from the card state.
    virtual void updateUI() = 0;
    /// Puts the identification view back in the container; `hidden` hides it and the card summary.
    virtual void showIdentificationPane(bool hidden) = 0;
    /// The card of the selected reader, null when there is none.
    virtual std::shared_ptr<Pkcs11Card> selectedCard() = 0;
    /// The status line "Lecture carte en cours, veuillez patienter...", refresh disabled, the progress
    /// indicator running; and back.
    virtual void beginCardReading() = 0;
    virtual void endCardReading() = 0;
    /// Runs `handler` once when the selected card leaves its reader.
    virtual void whenCardRemoved(std::function<void()> handler) { (void)handler; }
};

}  // namespace qel
