#pragma once
// The three PIN dialogs: PIN entry, PIN change, card unlock with the PUK.
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

struct SaisiePinOutlets {
    Label* errorPinLabel = nullptr;  ///< the message line
    SecureField* pinTextField = nullptr;
    Button* validateButton = nullptr;
    Button* cancelButton = nullptr;

    bool complete() const;
};

/// PIN entry.
class SaisiePinView : public DialogView {
public:
    virtual const SaisiePinOutlets& outlets() = 0;
};

/// What the PIN change and the card unlock dialogs share: below a first code (the old PIN, or the
/// PUK), the new PIN typed twice, a warning icon beside each field, the message line and the buttons.
struct NewPinOutlets {
    SecureField* newPinTextField = nullptr;
    SecureField* renewPinTextField = nullptr;
    ImageView* newPinTooltip = nullptr;  ///< warning icons beside the fields
    ImageView* renewPinTooltip = nullptr;
    Label* errorLabel = nullptr;
    Button* validateButton = nullptr;
    Button* cancelButton = nullptr;

    bool complete() const;
};

struct ModifPinOutlets : NewPinOutlets {
    SecureField* oldPinTextField = nullptr;
    ImageView* oldPinTooltip = nullptr;

    bool complete() const;
};

/// PIN change.
class ModifPinView : public DialogView {
public:
    virtual const ModifPinOutlets& outlets() = 0;
};

struct UnlockCardOutlets : NewPinOutlets {
    SecureField* pukTextField = nullptr;
    ImageView* pukTooltip = nullptr;

    bool complete() const;
};

/// Card unlock with the PUK.
class UnlockCardView : public DialogView {
public:
    virtual const UnlockCardOutlets& outlets() = 0;
};

}  // namespace qel::ui
