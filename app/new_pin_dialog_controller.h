#pragma once
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "app/delegates.h"
#include "app/lifetime.h"
#include "app/views/pin_dialog_views.h"
#include "common/main_queue.h"

namespace qel {

class Pkcs11Card;

/// What the PIN change and the card unlock dialogs share: a first code (the old PIN, or the PUK) and
/// the new PIN typed twice, filtered as they are typed and checked before anything reaches the card;
/// a final outcome closes the dialog a second later. Main thread only.
class NewPinDialogController {
public:
    virtual ~NewPinDialogController() = default;
    NewPinDialogController(const NewPinDialogController&) = delete;
    NewPinDialogController& operator=(const NewPinDialogController&) = delete;

    /// The validate button: sends the codes to the card once the fields pass their checks.
    virtual void validate() = 0;
    /// The cancel button: closes the dialog.
    void cancel();

    MainWindowDelegate* delegate = nullptr;
    std::shared_ptr<Pkcs11Card> pCard;

protected:
    /// The field above the new PIN, its warning icon and the number of digits it takes.
    struct FirstCode {
        ui::SecureField* field = nullptr;
        ui::ImageView* tooltip = nullptr;
        std::size_t length = 0;
    };

    /// Throws std::invalid_argument ("<viewName>: outlets missing") when an outlet or the first code
    /// is missing; wires the buttons and the keystroke filters.
    NewPinDialogController(ui::DialogView& view, const ui::NewPinOutlets& outlets, FirstCode first,
                           MainQueue& mainQueue, const char* viewName);

    /// Whether validate may go to the card: the dialog has not finished, the fields pass their
    /// checks (a warning beside each code too short, the message when the new PINs differ), and a
    /// card is there.
    bool readyForCard();
    /// Shows `text` on the message line, in the colour it has.
    void showMessage(const std::string& text);
    /// Shows `text` on the message line in green.
    void showSuccess(const std::string& text);
    /// Finishes the dialog (validate sends nothing more); a second later `report` tells the main
    /// window the outcome, the window refreshes and the dialog closes.
    void closeLater(std::function<void(MainWindowDelegate&)> report);

private:
    bool checkFields();

    ui::DialogView& view_;
    const ui::NewPinOutlets& outlets_;
    FirstCode first_;
    MainQueue& mainQueue_;
    Lifetime lifetime_;
    bool finished_ = false;
};

}  // namespace qel
