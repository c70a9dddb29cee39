#pragma once
#include "app/new_pin_dialog_controller.h"
#include "app/views/pin_dialog_views.h"
#include "common/main_queue.h"

namespace qel {

/// The PIN change dialog. Main thread only.
class PinChangeController final : public NewPinDialogController {
public:
    /// The view's widgets must be complete; the buttons and the fields are wired here.
    PinChangeController(ui::PinChangeView& view, MainQueue& mainQueue);

    void validate() override;

private:
    const ui::PinChangeWidgets& o_;
};

}  // namespace qel
