#pragma once
#include "app/new_pin_dialog_controller.h"
#include "app/views/pin_dialog_views.h"
#include "common/main_queue.h"

namespace qel {

/// The PIN change dialog. Main thread only.
class ModifPinViewController final : public NewPinDialogController {
public:
    /// The view's outlets must be complete; the buttons and the fields are wired here.
    ModifPinViewController(ui::ModifPinView& view, MainQueue& mainQueue);

    void validate() override;

private:
    const ui::ModifPinOutlets& o_;
};

}  // namespace qel
