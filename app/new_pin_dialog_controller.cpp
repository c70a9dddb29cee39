#include "app/new_pin_dialog_controller.h"

#include <stdexcept>

#include "app/pin_fields.h"

namespace qel {

NewPinDialogController::NewPinDialogController(ui::DialogView& view, const ui::NewPinWidgets& widgets, FirstCode first,
                                               MainQueue& mainQueue, const char* viewName)
    : view_(view), widgets_(widgets), first_(first), mainQueue_(mainQueue) {
    if (!widgets_.complete() || !first_.field || !first_.tooltip)
        throw std::invalid_argument(std::string(viewName) + ": widgets missing");
    widgets_.validateButton->setClickHandler([this] { validate(); });
    widgets_.cancelButton->setClickHandler([this] { cancel(); });
    ui::SecureField* code = first_.field;
    const std::size_t codeLength = first_.length;
    code->setEditHandler([code, codeLength] { filterCodeField(*code, codeLength); });
    for (ui::SecureField* field : {widgets_.newPinTextField, widgets_.renewPinTextField})
        field->setEditHandler([field] { filterCodeField(*field, kPinLength); });
}

void NewPinDialogController::cancel() { view_.close(); }

bool NewPinDialogController::checkFields() {
    const ui::NewPinWidgets& o = widgets_;
    first_.tooltip->setHidden(first_.field->secret().size() >= first_.length);
    const SecretBytes newPin = o.newPinTextField->secret();
    const SecretBytes renewedPin = o.renewPinTextField->secret();
    o.newPinTooltip->setHidden(newPin.size() >= kPinLength);
    o.renewPinTooltip->setHidden(renewedPin.size() >= kPinLength);
    const bool same = newPin.view() == renewedPin.view();
    if (!same) o.errorLabel->setText(kPinMismatch);
    o.errorLabel->setHidden(same);
    return first_.tooltip->isHidden() && o.newPinTooltip->isHidden() && o.renewPinTooltip->isHidden() &&
           o.errorLabel->isHidden();
}

bool NewPinDialogController::readyForCard() { return !finished_ && checkFields() && pCard; }

void NewPinDialogController::showMessage(const std::string& text) {
    widgets_.errorLabel->setText(text);
    widgets_.errorLabel->setHidden(false);
}

void NewPinDialogController::showSuccess(const std::string& text) {
    widgets_.errorLabel->setTextColour(ui::colours::green);
    showMessage(text);
}

void NewPinDialogController::closeLater(std::function<void(MainWindowListener&)> report) {
    finished_ = true;
    mainQueue_.postAfter(1000, lifetime_.guard([this, report = std::move(report)] {
        if (listener) {
            report(*listener);
            listener->updateUI();
        }
        view_.close();
    }));
}

}  // namespace qel
