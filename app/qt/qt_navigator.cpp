#include "app/qt/qt_navigator.h"

#include <QTimer>
#include <memory>

#include "app/modif_pin_view_controller.h"
#include "app/qt/pin_dialogs.h"
#include "app/qt/tmaj_dialog.h"
#include "app/saisie_pin_view_controller.h"
#include "app/tmaj_view_controller.h"
#include "app/unlock_card_view_controller.h"
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
    showSheet(*dialog, controller);
    // Once the sheet is on screen, like an appearance callback.
    std::weak_ptr<SaisiePinViewController> weak = controller;
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
