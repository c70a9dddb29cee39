#pragma once
#include "app/new_pin_dialog_controller.h"
#include "app/views/pin_dialog_views.h"
#include "common/main_queue.h"

namespace qel {

/// The card unlock dialog: a new PIN set with the PUK. Main thread only.
class UnlockCardController final : public NewPinDialogController {
public:
    /// The view's widgets must be complete; the buttons and the fields are wired here.
    UnlockCardController(ui::UnlockCardView& view, MainQueue& mainQueue);

    void validate() override;

private:
    const ui::UnlockCardWidgets& o_;
};

}  // namespace qel
