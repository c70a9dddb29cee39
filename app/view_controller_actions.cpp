// The main window: button actions, dialogs, demo mode, closing.
#include <string_view>
#include <utility>

#include "app/app_delegate.h"
#include "app/view_controller.h"
#include "management/scard/card_readers.h"
#include "common/format.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_slot.h"

namespace qel {

void ViewController::wireControls() {
    o_.identification->setClickHandler([this] { showIdentification(); });
    o_.situation->setClickHandler([this] { showSituations(); });
    o_.certificate->setClickHandler([this] { showCertificates(); });
    o_.maintenance->setClickHandler([this] { showMaintenance(); });
    o_.pinCode->setClickHandler([this] { performSegue(ui::segue::saisiePin); });
    o_.pinCodeModif->setClickHandler([this] { performSegue(ui::segue::modifPin); });
    o_.unlockCard->setClickHandler([this] { performSegue(ui::segue::unlockCard); });
    o_.tmaj->setClickHandler([this] {
        updateWizardOpen_ = true;
        performSegue(ui::segue::tmaj);
    });
    o_.cardPinPadlock->setClickHandler([this] { cardPinPadlockClicked(); });
    o_.refreshButton->setClickHandler([this] { refreshReaders(); });
    o_.portalEQEL->setClickHandler([this] { openPortal(); });
    o_.diagQELButton->setClickHandler([this] { openDiagQEL(); });
    o_.testsSsl->setClickHandler([this] { openTestSsl(); });
    o_.contactSupport->setClickHandler([this] { openContactSupport(); });
    o_.VekAuthentication->setClickHandler([this] { VEKAuthenticate(); });
    o_.VekDisconnect->setClickHandler([this] { VEKDisconnect(); });
    o_.cardComboBox->setSelectionHandler([this] { readerSelection(0); });
    o_.activateDemoMenuItem->setTriggerHandler([this] { activateDemoMode(); });
    o_.desactivateDemoMenuItem->setTriggerHandler([this] { desactivateDemoMode(); });
    o_.quitMenuItem->setTriggerHandler([this] { quit(); });
    o_.aboutMenuItem->setTriggerHandler([this] { showAbout(); });
    view_.setCloseRequestHandler([this] { return windowShouldClose(); });
    view_.setHoverHandler([this](const std::string& name, bool entered) { checkButtonHover(name, entered); });
}

void ViewController::performSegue(const char* identifier, std::any sender) {
    ui::SegueValues values;
    values.pCard = selectedCard();
    values.delegate = this;
    values.saisieDelegate = this;
    values.tmajDelegate = this;
    values.vekDelegate = this;
    values.sender = std::move(sender);
    const std::string_view target = identifier;
    if (cardResetNotice_ && (target == ui::segue::saisiePin || target == ui::segue::saisiePinProg))
        values.notice = kCardResetNotice;
    s_.navigator.performSegue(identifier, values);
}

void ViewController::showIdentification() {
    view_.showSubView(ui::SubView::identification);
    view_.identificationView().setViewHidden(false);
}

bool ViewController::loginStillHolds() {
    followCardReset();
    // The library may know better still (a card that forgot its PIN in some other way).
    if (isUserAuthentified_) {
        const std::shared_ptr<Pkcs11Card> card = selectedCard();
        if (!card || !card->isUserLoggedIn()) {
            isUserAuthentified_ = false;
            updateUI();
        }
    }
    return isUserAuthentified_;
}

bool ViewController::followCardReset() {
    if (!resetWatch_) return false;
    std::uint32_t seen = resetsFollowed_;
    try {
        seen = resetWatch_->resetsByOthers();
    } catch (const TransportError& e) {
        // The card is gone or the service lost: the token watch follows that.
        logDebug(format("Réinitialisation de la carte non vérifiable : %s", e.what()));
        return false;
    }
    if (seen == resetsFollowed_) return false;
    resetsFollowed_ = seen;
    if (!isUserAuthentified_) return true;
    logWarning(kCardResetNotice);
    isUserAuthentified_ = false;
    cardResetNotice_ = true;
    updateUI();
    return true;
}

void ViewController::ownResetDone() {
    if (!resetWatch_) return;
    try {
        resetsFollowed_ = resetWatch_->resetsByOthers();
    } catch (const TransportError&) {
        // Nothing to follow on a card that left.
    }
}

void ViewController::watchCardResets(const std::string& reader) {
    resetWatch_.reset();
    resetsFollowed_ = 0;
    cardResetNotice_ = false;
    try {
        resetWatch_ = s_.readers.waitForCard(reader, std::chrono::milliseconds(0));
        if (resetWatch_) resetsFollowed_ = resetWatch_->resetsByOthers();
    } catch (const TransportError& e) {
        logDebug(
            format("Pas de suivi des réinitialisations de la carte du lecteur [%s] : %s", reader.c_str(), e.what()));
        resetWatch_.reset();
    }
}

void ViewController::scheduleResetCheck() {
    if (resetCheckScheduled_ || !resetWatch_) return;
    resetCheckScheduled_ = true;
    s_.mainQueue.postAfter(1000, lifetime_.guard([this] {
        resetCheckScheduled_ = false;
        if (!isUserAuthentified_) return;
        // The update session holds the card and resets it itself; its end reads the card anew.
        if (!updateWizardOpen_) followCardReset();
        if (isUserAuthentified_) scheduleResetCheck();
    }));
}

void ViewController::showSituations() {
    if (loginStillHolds()) {
        situations_.viewWillAppear();
        view_.showSubView(ui::SubView::situation);
    } else {
        authentFromSituationButton_ = true;
        performSegue(ui::segue::saisiePinProg);
    }
}

void ViewController::showCertificates() {
    if (s_.hooks.certificates) s_.hooks.certificates->viewWillAppear();
    view_.showSubView(ui::SubView::certificate);
}

void ViewController::showMaintenance() {
    if (s_.hooks.maintenance) {
        std::optional<unsigned long> slotId;
        if (readerSelected_ >= 0 && readerSelected_ < static_cast<int>(p11SlotDict_.size()))
            slotId = p11SlotDict_[static_cast<std::size_t>(readerSelected_)]->slotId;
        s_.hooks.maintenance->viewWillAppear(slotId, selectedReaderName(), selectedCard());
    }
    view_.showSubView(ui::SubView::maintenance);
    updateUI();
}

void ViewController::replaceSelectedCard(std::shared_ptr<Pkcs11Card> card) {
    if (readerSelected_ < 0 || readerSelected_ == 99 || !card) return;
    p11Card_[static_cast<unsigned>(readerSelected_)] = card;
    appDel_.currentCard = std::move(card);
    // The services test restarted the library and ended its own login: nobody is logged in now.
    isUserAuthentified_ = false;
    updateUI();
}

void ViewController::cardPinPadlockClicked() {
    if (!loginStillHolds()) performSegue(ui::segue::saisiePinProg);
}

void ViewController::openPortal() {
    logInfo("Clic sur le lien 'Portail e-QEL'");
    s_.urlOpener.openUrl(isTestCard_ ? links::portalTest : links::portalProduction);
}

void ViewController::openDiagQEL() {
    logInfo("Clic sur le lien 'Diag QEL'");
    s_.urlOpener.openUrl(links::diagQEL);
}

void ViewController::openTestSsl() {
    logInfo("Clic sur le lien 'Test SSL'");
    s_.urlOpener.openUrl(links::testSsl);
}

void ViewController::openContactSupport() {
    logInfo("Clic sur le lien 'Contacter le support'");
    s_.urlOpener.openUrl(links::contactSupport);
}

void ViewController::showAbout() {
    logInfo("Ouverture fenêtre 'A propos'");
    view_.showAboutPanel();
}

void ViewController::checkButtonHover(const std::string& buttonName, bool entered) {
    const std::pair<const char*, ui::Button*> buttons[] = {
        {"IDENTIFICATION", o_.identification},
        {"SITUATIONS", o_.situation},
        {"TÉLÉMISE À JOUR", o_.tmaj},
        {"SAISIE CODE PIN", o_.pinCode},
        {"MODIFICATION CODE PIN", o_.pinCodeModif},
        {"DÉBLOCAGE CARTE", o_.unlockCard},
        {"MAINTENANCE", o_.maintenance},
        {"DIAG QEL", o_.diagQELButton},
        {"TEST SSL", o_.testsSsl},
        {"PORTAIL e-QEL", o_.portalEQEL},
        {"CONTACTER LE SUPPORT", o_.contactSupport},
        {"AUTHENTIFICATION", o_.VekAuthentication},
        {"DÉCONNEXION", o_.VekDisconnect},
    };
    ui::Button* button = nullptr;
    for (const auto& [title, candidate] : buttons)
        if (buttonName == title) button = candidate;
    if (!button && buttonName.find("ENREGISTREMENT") != std::string::npos) button = o_.certificate;
    if (!button) {
        logError("checkButtonHover: bouton inconnu !");
        return;
    }
    button->setTitleColour(entered ? ui::colours::hover : ui::colours::normalButtonTitle);
}

void ViewController::pinEntryFinished(bool success) {
    if (!success) {
        isCardBlocked_ = true;
    } else {
        isUserAuthentified_ = true;
        cardResetNotice_ = false;
        scheduleResetCheck();
        if (authentFromSituationButton_) {
            authentFromSituationButton_ = false;
            showSituations();
        } else if (authButton_) {
            authButton_ = false;
            // The request starts afresh, for the holder of the card now logged in.
            afterDialogCloses([this] { VEKAuthenticate(); });
        } else if (disconnectAfterPin_) {
            disconnect(*std::exchange(disconnectAfterPin_, std::nullopt));
        }
    }
    updateUI();
}

void ViewController::pinEntryCancelled() {
    // What the PIN was asked for is given up with it: the next PIN entry only logs in.
    authentFromSituationButton_ = false;
    authButton_ = false;
    disconnectAfterPin_.reset();
}

void ViewController::whenCardRemoved(std::function<void()> handler) {
    cardRemovalHandlers_.push_back(std::move(handler));
}

void ViewController::cardWentAway() {
    for (auto& handler : std::exchange(cardRemovalHandlers_, {})) handler();
}

void ViewController::activateDemoMode() {
    isDemoMode_ = true;
    o_.activateDemoMenuItem->setEnabled(false);
    o_.desactivateDemoMenuItem->setEnabled(true);
    resetCardState();
    o_.cardStatus->setText("");
    o_.demoModeTitle->setHidden(false);
    o_.refreshButton->setHidden(true);
    o_.cardComboBox->addItem("Absence de carte", kDemoNoCardKey);
    o_.cardComboBox->addItem("Carte insérée", kDemoCardKey);
}

void ViewController::desactivateDemoMode() {
    o_.activateDemoMenuItem->setEnabled(true);
    o_.desactivateDemoMenuItem->setEnabled(false);
    showIdentificationPane(true);
    o_.demoModeTitle->setHidden(true);
    o_.refreshButton->setHidden(false);
    isDemoMode_ = false;
    refreshReaders();
}

bool ViewController::windowShouldClose() {
    // Only while sessions are open: after a disconnection there is nothing to close.
    if (!vekRequests_.empty() && isVekAuthenticated_ && isCardInserted_) {
        performSegue(ui::segue::vekQuit);
        return false;
    }
    return true;
}

void ViewController::quit() {
    if (!windowShouldClose()) return;
    s_.mainQueue.post(lifetime_.guard([this] { view_.closeWindow(); }));
}

}  // namespace qel
