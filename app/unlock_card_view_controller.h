#pragma once
#include "app/new_pin_dialog_controller.h"
#include "app/views/pin_dialog_views.h"
#include "common/main_queue.h"

namespace qel {

/// The card unlock dialog: a new PIN set with the PUK. Main thread only.
class UnlockCardViewController final : public NewPinDialogController {
public:
    /// The view's outlets must be complete; the buttons and the fields are wired here.
    UnlockCardViewController(ui::UnlockCardView& view, MainQueue& mainQueue);

    void validate() override;

private:
    const ui::UnlockCardOutlets& o_;
};

}  // namespace qel
