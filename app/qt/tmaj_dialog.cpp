#include "app/qt/tmaj_dialog.h"

#include "app/qt/picture_view.h"
#include "ui_tmaj_dialog.h"

namespace qel::qt {

QtTmajDialog::QtTmajDialog(QWidget* parent) : QtSheetDialog(parent), ui_(std::make_unique<Ui::TmajDialog>()) {
    ui_->setupUi(this);
    ui_->stepper->setPicture("step1");
    // Step 1 shows the opening text alone.
    ui_->consigne->hide();
    ui_->pinCode->hide();
    ui_->errorTextField->hide();
    ui_->progressBar->hide();
    widgets_.stepper = adapters_.adopt<QtImageView>(ui_->stepper);
    widgets_.consigne = adapters_.adopt<QtLabel>(ui_->consigne);
    widgets_.message = adapters_.adopt<QtLabel>(ui_->message);
    widgets_.pinCode = adapters_.adopt<QtSecureField>(ui_->pinCode);
    widgets_.progressBar = adapters_.adopt<QtProgressBar>(ui_->progressBar);
    widgets_.errorTextField = adapters_.adopt<QtLabel>(ui_->errorTextField);
    widgets_.next = adapters_.adopt<QtButton>(ui_->next);
    widgets_.cancel = adapters_.adopt<QtButton>(ui_->cancel);
}

QtTmajDialog::~QtTmajDialog() = default;

void QtTmajDialog::focusPinField() { ui_->pinCode->setFocus(Qt::OtherFocusReason); }

void QtTmajDialog::close() {
    closing_ = true;
    QDialog::close();
}

void QtTmajDialog::reject() {
    if (closing_ || !closeRequest_) {
        QDialog::reject();
        return;
    }
    closeRequest_();
}

}  // namespace qel::qt
