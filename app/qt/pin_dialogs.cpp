#include "app/qt/pin_dialogs.h"

#include "app/qt/picture_view.h"
#include "app/qt/qt_widgets.h"
#include "ui_modif_pin_dialog.h"
#include "ui_saisie_pin_dialog.h"
#include "ui_unlock_card_dialog.h"

namespace qel::qt {

namespace {

template <typename Adapter, typename QtWidget>
Adapter* adopt(std::vector<std::unique_ptr<ui::Widget>>& adapters, QtWidget* widget) {
    adapters.push_back(std::make_unique<Adapter>(widget));
    return static_cast<Adapter*>(adapters.back().get());
}

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

}  // namespace

QtSheetDialog::QtSheetDialog(QWidget* parent) : QDialog(parent) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::WindowModal);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
}

QtSheetDialog::~QtSheetDialog() = default;

void QtSheetDialog::present() {
    open();
    raise();
    activateWindow();
}

QtSaisiePinDialog::QtSaisiePinDialog(QWidget* parent)
    : QtSheetDialog(parent), ui_(std::make_unique<Ui::SaisiePinDialog>()) {
    ui_->setupUi(this);
    ui_->dialogIcon->setPicture("lock");
    ui_->errorPinLabel->hide();
    outlets_.errorPinLabel = adopt<QtLabel>(adapters_, ui_->errorPinLabel);
    outlets_.pinTextField = adopt<QtSecureField>(adapters_, ui_->pinTextField);
    outlets_.validateButton = adopt<QtButton>(adapters_, ui_->validateButton);
    outlets_.cancelButton = adopt<QtButton>(adapters_, ui_->cancelButton);
}

QtSaisiePinDialog::~QtSaisiePinDialog() = default;

QtModifPinDialog::QtModifPinDialog(QWidget* parent)
    : QtSheetDialog(parent), ui_(std::make_unique<Ui::ModifPinDialog>()) {
    ui_->setupUi(this);
    ui_->dialogIcon->setPicture("lock");
    prepareWarning(ui_->oldPinTooltip, kPinTip);
    prepareWarning(ui_->newPinTooltip, kPinTip);
    prepareWarning(ui_->renewPinTooltip, kPinTip);
    ui_->errorLabel->hide();
    auto& o = outlets_;
    o.oldPinTextField = adopt<QtSecureField>(adapters_, ui_->oldPinTextField);
    o.newPinTextField = adopt<QtSecureField>(adapters_, ui_->newPinTextField);
    o.renewPinTextField = adopt<QtSecureField>(adapters_, ui_->renewPinTextField);
    o.oldPinTooltip = adopt<QtImageView>(adapters_, ui_->oldPinTooltip);
    o.newPinTooltip = adopt<QtImageView>(adapters_, ui_->newPinTooltip);
    o.renewPinTooltip = adopt<QtImageView>(adapters_, ui_->renewPinTooltip);
    o.errorLabel = adopt<QtLabel>(adapters_, ui_->errorLabel);
    o.validateButton = adopt<QtButton>(adapters_, ui_->validateButton);
    o.cancelButton = adopt<QtButton>(adapters_, ui_->cancelButton);
}

QtModifPinDialog::~QtModifPinDialog() = default;

QtUnlockCardDialog::QtUnlockCardDialog(QWidget* parent)
    : QtSheetDialog(parent), ui_(std::make_unique<Ui::UnlockCardDialog>()) {
    ui_->setupUi(this);
    ui_->dialogIcon->setPicture("unlock");
    prepareWarning(ui_->pukTooltip, kPukTip);
    prepareWarning(ui_->newPinTooltip, kPinTip);
    prepareWarning(ui_->renewPinTooltip, kPinTip);
    ui_->errorLabel->hide();
    auto& o = outlets_;
    o.pukTextField = adopt<QtSecureField>(adapters_, ui_->pukTextField);
    o.newPinTextField = adopt<QtSecureField>(adapters_, ui_->newPinTextField);
    o.renewPinTextField = adopt<QtSecureField>(adapters_, ui_->renewPinTextField);
    o.pukTooltip = adopt<QtImageView>(adapters_, ui_->pukTooltip);
    o.newPinTooltip = adopt<QtImageView>(adapters_, ui_->newPinTooltip);
    o.renewPinTooltip = adopt<QtImageView>(adapters_, ui_->renewPinTooltip);
    o.errorLabel = adopt<QtLabel>(adapters_, ui_->errorLabel);
    o.validateButton = adopt<QtButton>(adapters_, ui_->validateButton);
    o.cancelButton = adopt<QtButton>(adapters_, ui_->cancelButton);
}

QtUnlockCardDialog::~QtUnlockCardDialog() = default;

}  // namespace qel::qt
