#pragma once
#include <memory>

#include "app/delegates.h"
#include "app/lifetime.h"
#include "app/ui/pin_dialog_views.h"
#include "common/main_queue.h"

namespace qel {

class Pkcs11Card;

/// The card unlock dialog: a new PIN set with the PUK. Main thread only.
class UnlockCardViewController {
public:
    /// The view's outlets must be complete; the buttons and the fields are wired here.
    UnlockCardViewController(ui::UnlockCardView& view, MainQueue& mainQueue);

    void validate();
    void cancel();

    MainWindowDelegate* delegate = nullptr;
    std::shared_ptr<Pkcs11Card> pCard;

private:
    bool checkFields();

    ui::UnlockCardView& view_;
    const ui::UnlockCardOutlets& o_;
    MainQueue& mainQueue_;
    Lifetime lifetime_;
    bool finished_ = false;
};

}  // namespace qel
