#include "app/qt/pin_dialogs.h"

#include <QLayout>

#include "app/qt/picture_view.h"
#include "app/qt/qt_widgets.h"
#include "app/qt/spinner.h"
#include "ui_pin_change_dialog.h"
#include "ui_pin_entry_dialog.h"
#include "ui_pin_pad_dialog.h"
#include "ui_unlock_card_dialog.h"

namespace qel::qt {

namespace {

// A warning sign beside a code field: hidden until the field is refused, without moving the
// fields when it appears.
void prepareWarning(PictureView* view, const QString& tip) {
    view->setPicture("warning");
    view->setToolTip(tip);
    QSizePolicy policy = view->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    view->setSizePolicy(policy);
    view->hide();
}

const QString kPinTip = QStringLiteral("Le code PIN doit comporter 4 chiffres");
const QString kPukTip = QStringLiteral("Le code PUK doit comporter 8 chiffres");

// The PIN change and the card unlock layouts share the fields below their first code, by name.
template <typename Layout>
void bindNewPinFields(Layout& layout, WidgetAdapters& a, ui::NewPinWidgets& o) {
    prepareWarning(layout.newPinTooltip, kPinTip);
    prepareWarning(layout.renewPinTooltip, kPinTip);
    layout.errorLabel->hide();
    o.newPinTextField = a.adopt<QtSecureField>(layout.newPinTextField);
    o.renewPinTextField = a.adopt<QtSecureField>(layout.renewPinTextField);
    o.newPinTooltip = a.adopt<QtImageView>(layout.newPinTooltip);
    o.renewPinTooltip = a.adopt<QtImageView>(layout.renewPinTooltip);
    o.errorLabel = a.adopt<QtLabel>(layout.errorLabel);
    o.validateButton = a.adopt<QtButton>(layout.validateButton);
    o.cancelButton = a.adopt<QtButton>(layout.cancelButton);
}

}  // namespace

QtSheetDialog::QtSheetDialog(QWidget* parent) : QDialog(parent) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::WindowModal);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
}

QtSheetDialog::~QtSheetDialog() = default;

bool QtSheetDialog::event(QEvent* event) {
    const bool handled = QDialog::event(event);
    if (event->type() == QEvent::LayoutRequest) fitWrappedText();
    return handled;
}

void QtSheetDialog::fitWrappedText() {
    // A message that appears or grows (an error line, a long service name) makes the window taller
    // rather than cutting the wrapped lines: the layout's plain minimum ignores them.
    QLayout* l = layout();
    if (!l || !l->hasHeightForWidth()) return;
    const int needed = l->totalHeightForWidth(width());
    if (needed <= height()) return;
    setMinimumHeight(needed);
    resize(width(), needed);
}

void QtSheetDialog::present() {
    open();
    raise();
    activateWindow();
}

QtPinEntryDialog::QtPinEntryDialog(QWidget* parent)
    : QtSheetDialog(parent), ui_(std::make_unique<Ui::PinEntryDialog>()) {
    ui_->setupUi(this);
    ui_->dialogIcon->setPicture("lock");
    ui_->errorPinLabel->hide();
    widgets_.errorPinLabel = adapters_.adopt<QtLabel>(ui_->errorPinLabel);
    widgets_.pinTextField = adapters_.adopt<QtSecureField>(ui_->pinTextField);
    widgets_.validateButton = adapters_.adopt<QtButton>(ui_->validateButton);
    widgets_.cancelButton = adapters_.adopt<QtButton>(ui_->cancelButton);
}

QtPinEntryDialog::~QtPinEntryDialog() = default;

QtPinChangeDialog::QtPinChangeDialog(QWidget* parent)
    : QtSheetDialog(parent), ui_(std::make_unique<Ui::PinChangeDialog>()) {
    ui_->setupUi(this);
    ui_->dialogIcon->setPicture("lock");
    prepareWarning(ui_->oldPinTooltip, kPinTip);
    bindNewPinFields(*ui_, adapters_, widgets_);
    widgets_.oldPinTextField = adapters_.adopt<QtSecureField>(ui_->oldPinTextField);
    widgets_.oldPinTooltip = adapters_.adopt<QtImageView>(ui_->oldPinTooltip);
}

QtPinChangeDialog::~QtPinChangeDialog() = default;

QtUnlockCardDialog::QtUnlockCardDialog(QWidget* parent)
    : QtSheetDialog(parent), ui_(std::make_unique<Ui::UnlockCardDialog>()) {
    ui_->setupUi(this);
    ui_->dialogIcon->setPicture("unlock");
    prepareWarning(ui_->pukTooltip, kPukTip);
    bindNewPinFields(*ui_, adapters_, widgets_);
    widgets_.pukTextField = adapters_.adopt<QtSecureField>(ui_->pukTextField);
    widgets_.pukTooltip = adapters_.adopt<QtImageView>(ui_->pukTooltip);
}

QtUnlockCardDialog::~QtUnlockCardDialog() = default;

QtPinPadDialog::QtPinPadDialog(QWidget* parent) : QtSheetDialog(parent), ui_(std::make_unique<Ui::PinPadDialog>()) {
    ui_->setupUi(this);
    ui_->messageLabel->hide();
    ui_->retryButton->hide();
    // The text stays where it is when the indicator stops.
    QSizePolicy policy = ui_->waitIndicator->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    ui_->waitIndicator->setSizePolicy(policy);
    widgets_.instructionLabel = adapters_.adopt<QtLabel>(ui_->instructionLabel);
    widgets_.messageLabel = adapters_.adopt<QtLabel>(ui_->messageLabel);
    widgets_.retryButton = adapters_.adopt<QtButton>(ui_->retryButton);
    widgets_.cancelButton = adapters_.adopt<QtButton>(ui_->cancelButton);
}

QtPinPadDialog::~QtPinPadDialog() = default;

void QtPinPadDialog::setWaiting(bool waiting) {
    ui_->waitIndicator->setVisible(waiting);
    if (waiting) {
        ui_->waitIndicator->start();
    } else {
        ui_->waitIndicator->stop();
        // The holder answers the outcome with the keyboard: Recommencer when offered, else Annuler.
        (ui_->retryButton->isVisible() ? ui_->retryButton : ui_->cancelButton)->setFocus();
    }
}

void QtPinPadDialog::close() {
    closing_ = true;
    QDialog::close();
}

void QtPinPadDialog::reject() {
    if (closing_ || !closeRequest_) {
        QDialog::reject();
        return;
    }
    closeRequest_();
}

}  // namespace qel::qt
