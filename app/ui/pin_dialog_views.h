#pragma once
// The three PIN dialogs: PIN entry, PIN change, card unlock with the PUK.
#include "app/ui/widgets.h"

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

struct ModifPinOutlets {
    SecureField* oldPinTextField = nullptr;
    SecureField* newPinTextField = nullptr;
    SecureField* renewPinTextField = nullptr;
    ImageView* oldPinTooltip = nullptr;  ///< warning icons beside the fields
    ImageView* newPinTooltip = nullptr;
    ImageView* renewPinTooltip = nullptr;
    Label* errorLabel = nullptr;
    Button* validateButton = nullptr;
    Button* cancelButton = nullptr;

    bool complete() const;
};

/// PIN change.
class ModifPinView : public DialogView {
public:
    virtual const ModifPinOutlets& outlets() = 0;
};

struct UnlockCardOutlets {
    SecureField* pukTextField = nullptr;
    SecureField* newPinTextField = nullptr;
    SecureField* renewPinTextField = nullptr;
    ImageView* pukTooltip = nullptr;  ///< warning icons beside the fields
    ImageView* newPinTooltip = nullptr;
    ImageView* renewPinTooltip = nullptr;
    Label* errorLabel = nullptr;
    Button* validateButton = nullptr;
    Button* cancelButton = nullptr;

    bool complete() const;
};

/// Card unlock with the PUK.
class UnlockCardView : public DialogView {
public:
    virtual const UnlockCardOutlets& outlets() = 0;
};

}  // namespace qel::ui
