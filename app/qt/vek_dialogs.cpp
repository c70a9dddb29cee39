#include "app/qt/vek_dialogs.h"

#include <QCloseEvent>

#include "app/qt/picture_view.h"
#include "app/qt/qt_widgets.h"
#include "ui_vek_alert_dialog.h"
#include "ui_vek_auth_dialog.h"
#include "ui_vek_codes_dialog.h"
#include "ui_vek_deauth_dialog.h"
#include "ui_vek_quit_dialog.h"
#include "ui_vek_valid_dialog.h"
#include "ui_vek_wait_dialog.h"

namespace qel::qt {

QtVekDialog::QtVekDialog(QWidget* parent) : QtSheetDialog(parent) {}

void QtVekDialog::setAction(const char* buttonName, std::function<void()> action) {
    auto* button = findChild<QPushButton*>(QString::fromLatin1(buttonName));
    if (!button) return;
    connect(button, &QPushButton::clicked, this, [action = std::move(action)] { action(); });
}

void QtVekDialog::closeDialog() {
    // Hidden now, deleted later: the controller that asked is still on the stack.
    closingDialog_ = true;
    QDialog::close();
}

void QtVekDialog::reject() {
    if (!closingDialog_) {
        for (const char* name : {"cancelButton", "closeButton", "continueButton"}) {
            auto* button = findChild<QPushButton*>(QString::fromLatin1(name));
            if (button && button->isVisibleTo(this) && button->isEnabled()) {
                button->click();  // its controller closes the window
                return;
            }
        }
    }
    QtSheetDialog::reject();
}

QtVekWaitDialog::QtVekWaitDialog(QWidget* parent) : QtVekDialog(parent), ui_(std::make_unique<Ui::VekWaitDialog>()) {
    ui_->setupUi(this);
    ui_->dialogIcon->start();
}

QtVekWaitDialog::~QtVekWaitDialog() = default;

void QtVekWaitDialog::setWaitTitle(const std::string& text) { ui_->waitTitle->setText(toQString(text)); }

void QtVekWaitDialog::reject() {
    if (closing_) QDialog::reject();
}

void QtVekWaitDialog::closeEvent(QCloseEvent* event) {
    if (!closing_) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

QtVekAuthDialog::QtVekAuthDialog(QWidget* parent) : QtVekDialog(parent), ui_(std::make_unique<Ui::VekAuthDialog>()) {
    ui_->setupUi(this);
    ui_->dialogIcon->setPicture("vek-request");
}

QtVekAuthDialog::~QtVekAuthDialog() = default;

void QtVekAuthDialog::setNewAuthLabel(const std::string& text) { ui_->newAuthLabel->setText(toQString(text)); }

QtVekCodesDialog::QtVekCodesDialog(QWidget* parent) : QtVekDialog(parent), ui_(std::make_unique<Ui::VekCodesDialog>()) {
    ui_->setupUi(this);
    ui_->dialogIcon->setPicture("vek-codes");
    for (QPushButton* tile : {ui_->code1, ui_->code2, ui_->code3}) {
        // Arrows go from tile to tile; Enter or Space picks the tile that has the focus. No tile is
        // the dialog's default: a code is the holder's choice, never Enter's.
        tile->setAutoExclusive(true);
        tile->setAutoDefault(true);
    }
}

QtVekCodesDialog::~QtVekCodesDialog() = default;

void QtVekCodesDialog::setCodeTitles(const std::array<std::string, 3>& titles) {
    QPushButton* tiles[] = {ui_->code1, ui_->code2, ui_->code3};
    for (std::size_t i = 0; i < 3; ++i) {
        tiles[i]->setText(toQString(titles[i]));
        // The tile shows the number alone; read out, it says what choosing it does.
        tiles[i]->setAccessibleName(QStringLiteral("Choisir le code %1").arg(toQString(titles[i])));
    }
}

QtVekValidDialog::QtVekValidDialog(QWidget* parent) : QtVekDialog(parent), ui_(std::make_unique<Ui::VekValidDialog>()) {
    ui_->setupUi(this);
    ui_->dialogIcon->setPicture("vek-success");
}

QtVekValidDialog::~QtVekValidDialog() = default;

void QtVekValidDialog::setTitleMesage(const std::string& text) { ui_->titleMesage->setText(toQString(text)); }
void QtVekValidDialog::setMessage(const std::string& text) { ui_->message->setText(toQString(text)); }
void QtVekValidDialog::setPicture(const std::string& pictureName) { ui_->dialogIcon->setPicture(pictureName); }

QtVekAlertDialog::QtVekAlertDialog(QWidget* parent) : QtVekDialog(parent), ui_(std::make_unique<Ui::VekAlertDialog>()) {
    ui_->setupUi(this);
    ui_->dialogIcon->setPicture("vek-alert");
}

QtVekAlertDialog::~QtVekAlertDialog() = default;

void QtVekAlertDialog::setPicture(const std::string& pictureName) { ui_->dialogIcon->setPicture(pictureName); }
void QtVekAlertDialog::setTitleAlert(const std::string& text) { ui_->titleAlert->setText(toQString(text)); }
void QtVekAlertDialog::setMessage(const std::string& text) { ui_->message->setText(toQString(text)); }
std::string QtVekAlertDialog::message() const { return toStdString(ui_->message->text()); }

QtVekQuitDialog::QtVekQuitDialog(QWidget* parent) : QtVekDialog(parent), ui_(std::make_unique<Ui::VekQuitDialog>()) {
    ui_->setupUi(this);
    ui_->dialogIcon->setPicture("vek-logout");
}

QtVekQuitDialog::~QtVekQuitDialog() = default;

QtVekDeauthDialog::QtVekDeauthDialog(QWidget* parent)
    : QtVekDialog(parent), ui_(std::make_unique<Ui::VekDeauthDialog>()) {
    ui_->setupUi(this);
    ui_->dialogIcon->setPicture("vek-logout");
}

QtVekDeauthDialog::~QtVekDeauthDialog() = default;

void QtVekDeauthDialog::setTitleMesage(const std::string& text) { ui_->titleMesage->setText(toQString(text)); }

}  // namespace qel::qt
