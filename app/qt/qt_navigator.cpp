#include "app/qt/qt_navigator.h"

#include <QTimer>
#include <memory>

#include "app/pin_change_controller.h"
#include "app/qt/pin_dialogs.h"
#include "app/qt/tmaj_dialog.h"
#include "app/qt/vek_dialogs.h"
#include "app/pin_entry_controller.h"
#include "app/pin_pad_controller.h"
#include "app/tmaj_controller.h"
#include "app/unlock_card_controller.h"
#include "app/signin/vek_dialog_controllers.h"
#include "app/signin/vek_wait_controller.h"
#include "common/format.h"
#include "common/logger.h"

namespace qel::qt {

QtNavigator::QtNavigator(QWidget& window, MainQueue& mainQueue, Scard& scard)
    : window_(window), mainQueue_(mainQueue), scard_(scard) {}

void QtNavigator::enableUpdateWizard(BackgroundQueue& background, TmajBackend& backend) {
    background_ = &background;
    updateBackend_ = &backend;
}

void QtNavigator::enableVekDialogs(VekOperations& service, CardHolderSource& holder) {
    vekService_ = &service;
    holder_ = &holder;
}

bool QtNavigator::enabled(bool isEnabled, const char* name) const {
    if (!isEnabled) logWarning(format("Fenêtre non disponible : %s", name));
    return isEnabled;
}

namespace {

// Runs the controller's onShown once the dialog is on screen, while the controller lives.
template <typename Controller>
void whenShown(QDialog* dialog, const std::shared_ptr<Controller>& controller) {
    std::weak_ptr<Controller> weak = controller;
    QTimer::singleShot(0, dialog, [weak] {
        if (auto c = weak.lock()) c->onShown();
    });
}

}  // namespace

void QtNavigator::openPinEntry(const ui::PinEntryRequest& request) {
    if (background_ && request.card && usesPinPad(*request.card)) {
        auto controller = openPinPad(request.card, PinPadController::Step::login);
        controller->entryListener = request.receiver;
        controller->context = request.context;
        controller->window = request.window;
        controller->notice = request.notice;
        return;
    }
    auto* dialog = new QtPinEntryDialog(&window_);
    auto controller = std::make_shared<PinEntryController>(*dialog, mainQueue_, scard_);
    controller->listener = request.receiver;
    controller->pCard = request.card;
    controller->context = request.context;
    controller->readerNameQEL4 = request.readerNameQEL4;
    controller->window = request.window;
    controller->notice = request.notice;
    showSheet(*dialog, controller);
    std::weak_ptr<PinEntryController> weak = controller;
    // Escape and the close box end the dialog too; after a result this changes nothing.
    QObject::connect(dialog, &QDialog::finished, dialog, [weak] {
        if (auto c = weak.lock()) c->dismissed();
    });
    whenShown(dialog, controller);
}

void QtNavigator::openPinChange(std::shared_ptr<Pkcs11Card> card, MainWindowListener* window) {
    if (background_ && card && usesPinPad(*card)) {
        if (changesPinOnPinPad(*card)) {
            openPinPad(std::move(card), PinPadController::Step::change)->window = window;
            return;
        }
        logInfo("Lecteur à clavier : le code PIN de cette carte se modifie dans les champs de saisie");
    }
    openNewPinDialog<QtPinChangeDialog, PinChangeController>(std::move(card), window);
}

void QtNavigator::openUnlock(std::shared_ptr<Pkcs11Card> card, MainWindowListener* window) {
    if (background_ && card && usesPinPad(*card)) {
        // Like the change: the reader needs the new PIN's fixed width.
        if (changesPinOnPinPad(*card)) {
            openPinPad(std::move(card), PinPadController::Step::unlock)->window = window;
            return;
        }
        logInfo("Lecteur à clavier : cette carte se débloque dans les champs de saisie");
    }
    openNewPinDialog<QtUnlockCardDialog, UnlockCardController>(std::move(card), window);
}

std::shared_ptr<PinPadController> QtNavigator::openPinPad(std::shared_ptr<Pkcs11Card> card,
                                                          PinPadController::Step step) {
    auto* dialog = new QtPinPadDialog(&window_);
    auto controller = std::make_shared<PinPadController>(*dialog, mainQueue_, *background_, step);
    controller->pCard = std::move(card);
    dialog->setCloseRequestHandler([c = controller.get()] { c->cancel(); });
    showSheet(*dialog, controller);
    whenShown(dialog, controller);
    return controller;
}

template <typename Dialog, typename Controller>
void QtNavigator::openNewPinDialog(std::shared_ptr<Pkcs11Card> card, MainWindowListener* window) {
    auto* dialog = new Dialog(&window_);
    auto controller = std::make_shared<Controller>(*dialog, mainQueue_);
    controller->listener = window;
    controller->pCard = std::move(card);
    showSheet(*dialog, controller);
}

void QtNavigator::openUpdateWizard(std::shared_ptr<Pkcs11Card> card, TmajListener* owner) {
    if (!enabled(updateBackend_ != nullptr, "mise à jour")) return;
    auto* dialog = new QtTmajDialog(&window_);
    auto controller = std::make_shared<TmajController>(*dialog, mainQueue_, *background_, *updateBackend_);
    controller->listener = owner;
    controller->pCard = std::move(card);
    dialog->setCloseRequestHandler([c = controller.get()] { c->onCancel(); });
    showSheet(*dialog, controller);
}

void QtNavigator::openServicesTest(const ServicesTestRequest& request) {
    if (!enabled(static_cast<bool>(servicesTest_), "test des services")) return;
    servicesTest_(request);
}

void QtNavigator::openSignInWait(vek::VekRequestRef request, VekListener* listener) {
    if (!enabled(vekService_ != nullptr, "Vestalink")) return;
    auto* dialog = new QtVekWaitDialog(&window_);
    auto controller = std::make_shared<VekWaitController>(*dialog, *vekService_, holder_);
    controller->listener = listener;
    controller->request = std::move(request);
    // The call may answer after the window is gone (the answer that follows a verified code).
    std::weak_ptr<VekWaitController> weak = controller;
    QObject::connect(dialog, &QObject::destroyed, [weak] {
        if (auto c = weak.lock()) c->viewGone();
    });
    showSheet(*dialog, controller);
    whenShown(dialog, controller);
}

void QtNavigator::openSignIn(vek::VekRequestRef request, VekListener* listener) {
    if (!enabled(vekService_ != nullptr, "Vestalink")) return;
    auto* dialog = new QtVekAuthDialog(&window_);
    auto controller = std::make_shared<VekAuthController>(*dialog);
    controller->listener = listener;
    controller->request = std::move(request);
    VekAuthController* c = controller.get();
    dialog->setAction("authButton", [c] { c->onAuth(); });
    dialog->setAction("notifyButton", [c] { c->onNotify(); });
    dialog->setAction("cancelButton", [c] { c->onCancel(); });
    showSheet(*dialog, controller);
    whenShown(dialog, controller);
}

void QtNavigator::openSignInCodes(vek::VekRequestRef request, VekListener* listener) {
    if (!enabled(vekService_ != nullptr, "Vestalink")) return;
    auto* dialog = new QtVekCodesDialog(&window_);
    auto controller = std::make_shared<VekCodesController>(*dialog);
    controller->listener = listener;
    controller->request = std::move(request);
    VekCodesController* c = controller.get();
    dialog->setAction("code1", [c] { c->onCode1(); });
    dialog->setAction("code2", [c] { c->onCode2(); });
    dialog->setAction("code3", [c] { c->onCode3(); });
    dialog->setAction("cancelButton", [c] { c->onCancel(); });
    showSheet(*dialog, controller);
    whenShown(dialog, controller);
}

void QtNavigator::openSignInDone(vek::VekRequestRef request, VekListener* listener) {
    if (!enabled(vekService_ != nullptr, "Vestalink")) return;
    auto* dialog = new QtVekValidDialog(&window_);
    auto controller = std::make_shared<VekValidController>(*dialog);
    controller->listener = listener;
    controller->request = std::move(request);
    VekValidController* c = controller.get();
    dialog->setAction("continueButton", [c] { c->onContinue(); });
    showSheet(*dialog, controller);
    whenShown(dialog, controller);
}

void QtNavigator::openSignInAlert(vek::RespType type) {
    if (!enabled(vekService_ != nullptr, "Vestalink")) return;
    auto* dialog = new QtVekAlertDialog(&window_);
    auto controller = std::make_shared<VekAlertController>(*dialog);
    controller->type = type;
    VekAlertController* c = controller.get();
    dialog->setAction("closeButton", [c] { c->onClose(); });
    showSheet(*dialog, controller);
    whenShown(dialog, controller);
}

void QtNavigator::openQuitWhileSignedIn(VekListener* listener) {
    if (!enabled(vekService_ != nullptr, "Vestalink")) return;
    auto* dialog = new QtVekQuitDialog(&window_);
    auto controller = std::make_shared<VekQuitController>(*dialog);
    controller->listener = listener;
    VekQuitController* c = controller.get();
    dialog->setAction("quitButton", [c] { c->onQuit(); });
    dialog->setAction("cancelButton", [c] { c->onCancel(); });
    showSheet(*dialog, controller);
}

void QtNavigator::openSignOut(vek::VekRequestRef request, VekListener* listener) {
    if (!enabled(vekService_ != nullptr, "Vestalink")) return;
    auto* dialog = new QtVekDeauthDialog(&window_);
    auto controller = std::make_shared<VekDeauthController>(*dialog);
    controller->listener = listener;
    controller->request = std::move(request);
    VekDeauthController* c = controller.get();
    dialog->setAction("continueButton", [c] { c->onContinue(); });
    showSheet(*dialog, controller);
}

void QtNavigator::showSheet(QtSheetDialog& dialog, std::shared_ptr<void> controller) {
    dialog.keepAlive(std::move(controller));
    lastDialog_ = &dialog;
    dialog.present();
}

}  // namespace qel::qt
