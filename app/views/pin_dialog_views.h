#pragma once
// The PIN dialogs: PIN entry, PIN change, card unlock with the PUK, and the wait while the holder
// types on the reader's keypad.
#include "app/views/widgets.h"

namespace qel::ui {

/// A dialog window opened by a transition of the main window (or of the maintenance view).
class DialogView {
public:
    virtual ~DialogView() = default;
    /// Closes the dialog window. The view may destroy itself and its controller afterwards, but not
    /// inside this call.
    virtual void close() = 0;
};

struct PinEntryWidgets {
    Label* errorPinLabel = nullptr;  ///< the message line
    SecureField* pinTextField = nullptr;
    Button* validateButton = nullptr;
    Button* cancelButton = nullptr;

    bool complete() const;
};

/// PIN entry.
class PinEntryView : public DialogView {
public:
    virtual const PinEntryWidgets& widgets() = 0;
};

/// What the PIN change and the card unlock dialogs share: below a first code (the old PIN, or the
/// PUK), the new PIN typed twice, a warning icon beside each field, the message line and the buttons.
struct NewPinWidgets {
    SecureField* newPinTextField = nullptr;
    SecureField* renewPinTextField = nullptr;
    ImageView* newPinTooltip = nullptr;  ///< warning icons beside the fields
    ImageView* renewPinTooltip = nullptr;
    Label* errorLabel = nullptr;
    Button* validateButton = nullptr;
    Button* cancelButton = nullptr;

    bool complete() const;
};

struct PinChangeWidgets : NewPinWidgets {
    SecureField* oldPinTextField = nullptr;
    ImageView* oldPinTooltip = nullptr;

    bool complete() const;
};

/// PIN change.
class PinChangeView : public DialogView {
public:
    virtual const PinChangeWidgets& widgets() = 0;
};

struct UnlockCardWidgets : NewPinWidgets {
    SecureField* pukTextField = nullptr;
    ImageView* pukTooltip = nullptr;

    bool complete() const;
};

/// Card unlock with the PUK.
class UnlockCardView : public DialogView {
public:
    virtual const UnlockCardWidgets& widgets() = 0;
};

/// The wait while the holder types on the reader's own keypad: what to type, the outcome line, a
/// button to try again after an entry that failed, and the cancel button.
struct PinPadWidgets {
    Label* instructionLabel = nullptr;
    Label* messageLabel = nullptr;  ///< the outcome, told to screen readers as it changes
    Button* retryButton = nullptr;
    Button* cancelButton = nullptr;

    bool complete() const;
};

/// PIN entry or PIN change on the reader's keypad.
class PinPadView : public DialogView {
public:
    virtual const PinPadWidgets& widgets() = 0;
    /// The activity indicator, running while the reader waits for the holder.
    virtual void setWaiting(bool waiting) = 0;
};

}  // namespace qel::ui
