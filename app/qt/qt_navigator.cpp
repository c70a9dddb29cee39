#include "app/qt/qt_navigator.h"

#include <QTimer>
#include <memory>

#include "app/modif_pin_view_controller.h"
#include "app/qt/pin_dialogs.h"
#include "app/qt/tmaj_dialog.h"
#include "app/qt/vek_dialogs.h"
#include "app/saisie_pin_view_controller.h"
#include "app/tmaj_view_controller.h"
#include "app/unlock_card_view_controller.h"
#include "app/signin/vek_dialog_controllers.h"
#include "app/signin/vek_wait_controller.h"
#include "common/format.h"
#include "common/logger.h"

namespace qel::qt {

QtNavigator::QtNavigator(QWidget& window, MainQueue& mainQueue, Scard& scard)
    : window_(window), mainQueue_(mainQueue), scard_(scard) {
    const Opener saisie = [this](const ui::SegueValues& v) { openSaisiePin(v); };
    openers_[ui::segue::saisiePin] = saisie;
    openers_[ui::segue::saisiePinProg] = saisie;
    openers_[ui::segue::modifPin] = [this](const ui::SegueValues& v) {
        openNewPinDialog<QtModifPinDialog, ModifPinViewController>(v);
    };
    openers_[ui::segue::unlockCard] = [this](const ui::SegueValues& v) {
        openNewPinDialog<QtUnlockCardDialog, UnlockCardViewController>(v);
    };
}

void QtNavigator::enableUpdateWizard(BackgroundQueue& background, TmajBackend& backend) {
    openers_[ui::segue::tmaj] = [this, &background, &backend](const ui::SegueValues& values) {
        auto* dialog = new QtTmajDialog(&window_);
        auto controller = std::make_shared<TmajViewController>(*dialog, mainQueue_, background, backend);
        controller->delegate = values.tmajDelegate;
        controller->pCard = values.pCard;
        dialog->setCloseRequestHandler([c = controller.get()] { c->onCancel(); });
        showSheet(*dialog, controller);
    };
}

namespace {

VekRequestRef requestOf(const ui::SegueValues& values) {
    const auto* request = std::any_cast<VekRequestRef>(&values.sender);
    return request ? *request : nullptr;
}

// Runs `appeared` once the dialog is on screen, like an appearance callback, while its controller lives.
template <typename Controller>
void whenShown(QDialog* dialog, const std::shared_ptr<Controller>& controller) {
    std::weak_ptr<Controller> weak = controller;
    QTimer::singleShot(0, dialog, [weak] {
        if (auto c = weak.lock()) c->viewDidAppear();
    });
}

}  // namespace

void QtNavigator::enableVekDialogs(VekOperations& service, CardHolderSource& holder) {
    openers_[ui::segue::vekWait] = [this, &service, &holder](const ui::SegueValues& values) {
        auto* dialog = new QtVekWaitDialog(&window_);
        auto controller = std::make_shared<VekWaitController>(*dialog, service, &holder);
        controller->delegate = values.vekDelegate;
        controller->request = requestOf(values);
        // The call may answer after the window is gone (the answer that follows a verified code).
        std::weak_ptr<VekWaitController> weak = controller;
        QObject::connect(dialog, &QObject::destroyed, [weak] {
            if (auto c = weak.lock()) c->viewGone();
        });
        showSheet(*dialog, controller);
        whenShown(dialog, controller);
    };
    openers_[ui::segue::vekAuth] = [this](const ui::SegueValues& values) {
        auto* dialog = new QtVekAuthDialog(&window_);
        auto controller = std::make_shared<VekAuthViewController>(*dialog);
        controller->delegate = values.vekDelegate;
        controller->request = requestOf(values);
        VekAuthViewController* c = controller.get();
        dialog->setAction("authButton", [c] { c->onAuth(); });
        dialog->setAction("notifyButton", [c] { c->onNotify(); });
        dialog->setAction("cancelButton", [c] { c->onCanel(); });
        showSheet(*dialog, controller);
        whenShown(dialog, controller);
    };
    openers_[ui::segue::vekCodes] = [this](const ui::SegueValues& values) {
        auto* dialog = new QtVekCodesDialog(&window_);
        auto controller = std::make_shared<VekCodesController>(*dialog);
        controller->delegate = values.vekDelegate;
        controller->request = requestOf(values);
        VekCodesController* c = controller.get();
        dialog->setAction("code1", [c] { c->onCode1(); });
        dialog->setAction("code2", [c] { c->onCode2(); });
        dialog->setAction("code3", [c] { c->onCode3(); });
        dialog->setAction("cancelButton", [c] { c->onCancel(); });
        showSheet(*dialog, controller);
        whenShown(dialog, controller);
    };
    openers_[ui::segue::vekValid] = [this](const ui::SegueValues& values) {
        auto* dialog = new QtVekValidDialog(&window_);
        auto controller = std::make_shared<VekValidController>(*dialog);
        controller->delegate = values.vekDelegate;
        controller->request = requestOf(values);
        VekValidController* c = controller.get();
        dialog->setAction("continueButton", [c] { c->onContinue(); });
        showSheet(*dialog, controller);
        whenShown(dialog, controller);
    };
    openers_[ui::segue::vekAlert] = [this](const ui::SegueValues& values) {
        auto* dialog = new QtVekAlertDialog(&window_);
        auto controller = std::make_shared<VekAlertController>(*dialog);
        if (const auto* type = std::any_cast<vek::RespType>(&values.sender)) controller->type = *type;
        VekAlertController* c = controller.get();
        dialog->setAction("closeButton", [c] { c->onClose(); });
        showSheet(*dialog, controller);
        whenShown(dialog, controller);
    };
    openers_[ui::segue::vekQuit] = [this](const ui::SegueValues& values) {
        auto* dialog = new QtVekQuitDialog(&window_);
        auto controller = std::make_shared<VekQuitController>(*dialog);
        controller->delegate = values.vekDelegate;
        VekQuitController* c = controller.get();
        dialog->setAction("quitButton", [c] { c->onQuit(); });
        dialog->setAction("cancelButton", [c] { c->onCancel(); });
        showSheet(*dialog, controller);
    };
    openers_[ui::segue::vekDeauth] = [this](const ui::SegueValues& values) {
        auto* dialog = new QtVekDeauthDialog(&window_);
        auto controller = std::make_shared<VekDeauthController>(*dialog);
        controller->delegate = values.vekDelegate;
        controller->request = requestOf(values);
        VekDeauthController* c = controller.get();
        dialog->setAction("continueButton", [c] { c->onContinue(); });
        showSheet(*dialog, controller);
    };
}

void QtNavigator::registerSegue(const std::string& identifier, Opener opener) {
    openers_[identifier] = std::move(opener);
}

void QtNavigator::performSegue(const std::string& identifier, const ui::SegueValues& values) {
    auto it = openers_.find(identifier);
    if (it == openers_.end()) {
        logWarning(format("Transition non disponible : %s", identifier.c_str()));
        return;
    }
    it->second(values);
}

void QtNavigator::openSaisiePin(const ui::SegueValues& values) {
    auto* dialog = new QtSaisiePinDialog(&window_);
    auto controller = std::make_shared<SaisiePinViewController>(*dialog, mainQueue_, scard_);
    controller->delegate = values.saisieDelegate;
    controller->pCard = values.pCard;
    controller->context = values.context;
    controller->readerNameQEL4 = values.readerNameQEL4;
    controller->window = values.delegate;
    controller->notice = values.notice;
    showSheet(*dialog, controller);
    // Once the sheet is on screen, like an appearance callback.
    std::weak_ptr<SaisiePinViewController> weak = controller;
    // Escape and the close box end the dialog too; after a result this changes nothing.
    QObject::connect(dialog, &QDialog::finished, dialog, [weak] {
        if (auto c = weak.lock()) c->dismissed();
    });
    QTimer::singleShot(0, dialog, [weak] {
        if (auto c = weak.lock()) c->viewDidAppear();
    });
}

template <typename Dialog, typename Controller>
void QtNavigator::openNewPinDialog(const ui::SegueValues& values) {
    auto* dialog = new Dialog(&window_);
    auto controller = std::make_shared<Controller>(*dialog, mainQueue_);
    controller->delegate = values.delegate;
    controller->pCard = values.pCard;
    showSheet(*dialog, controller);
}

void QtNavigator::showSheet(QtSheetDialog& dialog, std::shared_ptr<void> controller) {
    dialog.keepAlive(std::move(controller));
    lastDialog_ = &dialog;
    dialog.present();
}

}  // namespace qel::qt
