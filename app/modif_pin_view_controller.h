#pragma once
#include <memory>

#include "app/delegates.h"
#include "app/lifetime.h"
#include "app/ui/pin_dialog_views.h"
#include "common/main_queue.h"

namespace qel {

class Pkcs11Card;

/// The PIN change dialog. Main thread only.
class ModifPinViewController {
public:
    /// The view's outlets must be complete; the buttons and the fields are wired here.
    ModifPinViewController(ui::ModifPinView& view, MainQueue& mainQueue);

    void validate();
    void cancel();

    MainWindowDelegate* delegate = nullptr;
    std::shared_ptr<Pkcs11Card> pCard;

private:
    bool checkFields();
    void closeLater(bool blocked);

    ui::ModifPinView& view_;
    const ui::ModifPinOutlets& o_;
    MainQueue& mainQueue_;
    Lifetime lifetime_;
    bool finished_ = false;
};

}  // namespace qel
