#pragma once
#include <memory>
#include <string>

#include "app/lifetime.h"
#include "app/listeners.h"
#include "app/views/pin_dialog_views.h"
#include "common/main_queue.h"

namespace qel {

class BackgroundQueue;
class Pkcs11Card;

/// Shown while the holder types the PIN on the reader.
inline constexpr const char* kPinPadLoginText = "Saisissez votre code PIN sur le clavier du lecteur";
inline constexpr const char* kPinPadChangeText =
    "Saisissez sur le clavier du lecteur votre code PIN actuel, puis deux fois le nouveau code PIN";
inline constexpr const char* kPinPadUnlockText =
    "Saisissez votre code PUK, puis deux fois le nouveau code PIN, sur le clavier du lecteur";
/// Answer to the dialog's own Annuler while the reader waits for digits.
inline constexpr const char* kPinPadPressCancelText =
    "Appuyez sur la touche Annuler du lecteur pour interrompre la saisie";
inline constexpr const char* kPinPadCancelledText = "Saisie annulée sur le lecteur";
inline constexpr const char* kPinPadTimedOutText =
    "La saisie sur le lecteur n'a pas abouti : délai dépassé ou erreur du lecteur";

/// Whether the issuer's library has the holder type this card's PIN on its reader's keypad (the
/// token's protected authentication path). Re-reads the token information.
bool usesPinPad(Pkcs11Card& card);
/// Whether the PIN of this card can be changed on the keypad: only a QEL3 has a PIN of a fixed
/// width, which the reader needs to build the command; the others change it in the text fields.
bool changesPinOnPinPad(const Pkcs11Card& card);

/// The wait while the holder types on the reader's keypad, for a login (the PIN entry), a PIN
/// change or the unlock with the PUK. The entry blocks until the holder is done or the reader gives up, so it runs on
/// the background queue and its outcome comes back on the main queue. PC/SC cannot stop an entry in progress: while the
/// reader waits, Annuler tells the holder to press the reader's own cancel key, and the dialog closes only once the
/// reader has answered, so no login can land after the dialog said it was cancelled. Main thread only.
class PinPadController {
public:
    enum class Step { login, change, unlock };

    /// The view's widgets must be complete; the buttons are wired here.
    PinPadController(ui::PinPadView& view, MainQueue& mainQueue, BackgroundQueue& background, Step step);

    /// The dialog appeared: says what to type and starts the entry.
    void onShown();
    /// Starts a new entry after one that failed (wrong PIN, cancelled, timed out).
    void retry();
    /// The cancel button, Escape or the close box: while the reader waits, says to cancel there;
    /// otherwise closes the dialog.
    void cancel();
    /// True while an entry runs on the reader.
    bool waiting() const { return waiting_; }

    std::shared_ptr<Pkcs11Card> pCard;
    /// The PIN entry's receiver (login), told as the text field dialog tells it.
    PinEntryListener* entryListener = nullptr;
    std::string context;
    /// Why the PIN is asked again, shown as the entry starts (empty otherwise).
    std::string notice;
    /// The main window: told of a PIN change's or an unlock's outcome, and tells the dialog when the card goes.
    MainWindowListener* window = nullptr;

private:
    struct Outcome {
        unsigned long rv = 0;
        bool lastTry = false;
    };
    void start();
    void finished(Outcome outcome);
    /// Shows the outcome; true when the holder may try again.
    bool report(Outcome outcome);
    bool reportUnlock(Outcome outcome);
    void showMessage(const std::string& text, bool success = false);
    void endLater(bool success, bool blocked);
    void cardRemoved();

    ui::PinPadView& view_;
    const ui::PinPadWidgets& o_;
    MainQueue& mainQueue_;
    BackgroundQueue& background_;
    Step step_;
    bool waiting_ = false;
    bool ended_ = false;
    bool cardGone_ = false;
    Lifetime lifetime_;
};

}  // namespace qel
