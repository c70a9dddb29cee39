#pragma once
// The card update wizard.
#include "app/views/pin_dialog_views.h"
#include "app/views/widgets.h"

namespace qel::ui {

struct TmajOutlets {
    ImageView* stepper = nullptr;  ///< picture of the current step ("step2", "step3", "step4")
    Label* consigne = nullptr;     ///< instruction text
    Label* message = nullptr;      ///< result or status text
    SecureField* pinCode = nullptr;
    ProgressBar* progressBar = nullptr;
    Label* errorTextField = nullptr;  ///< PIN error text
    Button* next = nullptr;
    Button* cancel = nullptr;

    bool complete() const {
        return stepper && consigne && message && pinCode && progressBar && errorTextField && next && cancel;
    }
};

/// The four-step update window. Its layout holds the opening texts and shows step 1 with the PIN
/// field, the progress bar, the message and the error text hidden.
class TmajView : public DialogView {
public:
    virtual const TmajOutlets& outlets() = 0;
    /// Gives the PIN field the keyboard focus.
    virtual void focusPinField() = 0;
};

}  // namespace qel::ui
