#include "app/qt/qt_navigator.h"

#include <QTimer>
#include <memory>

#include "app/modif_pin_view_controller.h"
#include "app/qt/pin_dialogs.h"
#include "app/saisie_pin_view_controller.h"
#include "app/unlock_card_view_controller.h"
#include "common/format.h"
#include "common/logger.h"

namespace qel::qt {

QtNavigator::QtNavigator(QWidget& window, MainQueue& mainQueue, Scard& scard)
    : window_(window), mainQueue_(mainQueue), scard_(scard) {
    const Opener saisie = [this](const ui::SegueValues& v) { openSaisiePin(v); };
    openers_[ui::segue::saisiePin] = saisie;
    openers_[ui::segue::saisiePinProg] = saisie;
    openers_[ui::segue::modifPin] = [this](const ui::SegueValues& v) { openModifPin(v); };
    openers_[ui::segue::unlockCard] = [this](const ui::SegueValues& v) { openUnlockCard(v); };
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
    dialog->keepAlive(controller);
    lastDialog_ = dialog;
    dialog->present();
    // Once the sheet is on screen, like an appearance callback.
    std::weak_ptr<SaisiePinViewController> weak = controller;
    QTimer::singleShot(0, dialog, [weak] {
        if (auto c = weak.lock()) c->viewDidAppear();
    });
}

void QtNavigator::openModifPin(const ui::SegueValues& values) {
    auto* dialog = new QtModifPinDialog(&window_);
    auto controller = std::make_shared<ModifPinViewController>(*dialog, mainQueue_);
    controller->delegate = values.delegate;
    controller->pCard = values.pCard;
    dialog->keepAlive(controller);
    lastDialog_ = dialog;
    dialog->present();
}

void QtNavigator::openUnlockCard(const ui::SegueValues& values) {
    auto* dialog = new QtUnlockCardDialog(&window_);
    auto controller = std::make_shared<UnlockCardViewController>(*dialog, mainQueue_);
    controller->delegate = values.delegate;
    controller->pCard = values.pCard;
    dialog->keepAlive(controller);
    lastDialog_ = dialog;
    dialog->present();
}

}  // namespace qel::qt
