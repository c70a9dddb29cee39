// The main window: button actions, dialogs, demo mode, closing.
#include <utility>

#include "app/kartello_session.h"
#include "app/main_window_controller.h"
#include "management/scard/card_readers.h"
#include "common/format.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_slot.h"

namespace qel {

void MainWindowController::wireControls() {
    o_.identification->setClickHandler([this] { showIdentification(); });
    o_.situation->setClickHandler([this] { showSituations(); });
    o_.certificate->setClickHandler([this] { showCertificates(); });
    o_.maintenance->setClickHandler([this] { showMaintenance(); });
    o_.pinCode->setClickHandler([this] { askForPin(false); });
    o_.pinCodeModif->setClickHandler([this] { s_.navigator.openPinChange(selectedCard(), this); });
    o_.unlockCard->setClickHandler([this] { s_.navigator.openUnlock(selectedCard(), this); });
    o_.tmaj->setClickHandler([this] {
        updateWizardOpen_ = true;
        s_.navigator.openUpdateWizard(selectedCard(), this);
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

void MainWindowController::askForPin(bool byProgram) {
    ui::PinEntryRequest request;
    request.card = selectedCard();
    request.receiver = this;
    request.window = this;
    request.askedByProgram = byProgram;
    if (cardResetNotice_) request.notice = kCardResetNotice;
    s_.navigator.openPinEntry(request);
}

void MainWindowController::showIdentification() {
    view_.showSubView(ui::SubView::identification);
    view_.identificationView().setViewHidden(false);
}

bool MainWindowController::loginStillHolds() {
    followCardReset();
    // The library may know better still (a card that forgot its PIN in some other way).
    if (isUserAuthenticated_) {
        const std::shared_ptr<Pkcs11Card> card = selectedCard();
        if (!card || !card->isUserLoggedIn()) {
            isUserAuthenticated_ = false;
            updateUI();
        }
    }
    return isUserAuthenticated_;
}

bool MainWindowController::followCardReset() {
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
    if (!isUserAuthenticated_) return true;
    logWarning(kCardResetNotice);
    isUserAuthenticated_ = false;
    cardResetNotice_ = true;
    updateUI();
    return true;
}

void MainWindowController::ownResetDone() {
    if (!resetWatch_) return;
    try {
        resetsFollowed_ = resetWatch_->resetsByOthers();
    } catch (const TransportError&) {
        // Nothing to follow on a card that left.
    }
}

void MainWindowController::watchCardResets(const std::string& reader) {
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

void MainWindowController::scheduleResetCheck() {
    if (resetCheckScheduled_ || !resetWatch_) return;
    resetCheckScheduled_ = true;
    s_.mainQueue.postAfter(1000, lifetime_.guard([this] {
        resetCheckScheduled_ = false;
        if (!isUserAuthenticated_) return;
        // The update session holds the card and resets it itself; its end reads the card anew.
        if (!updateWizardOpen_) followCardReset();
        if (isUserAuthenticated_) scheduleResetCheck();
    }));
}

void MainWindowController::showSituations() {
    if (loginStillHolds()) {
        situations_.aboutToShow();
        view_.showSubView(ui::SubView::situation);
    } else {
        authentFromSituationButton_ = true;
        askForPin(true);
    }
}

void MainWindowController::showCertificates() {
    if (s_.parts.certificates) s_.parts.certificates->aboutToShow();
    view_.showSubView(ui::SubView::certificate);
}

void MainWindowController::showMaintenance() {
    if (s_.parts.maintenance) {
        std::optional<unsigned long> slotId;
        if (readerSelected_ >= 0 && readerSelected_ < static_cast<int>(p11SlotDict_.size()))
            slotId = p11SlotDict_[static_cast<std::size_t>(readerSelected_)]->slotId;
        s_.parts.maintenance->aboutToShow(slotId, selectedReaderName(), selectedCard());
    }
    view_.showSubView(ui::SubView::maintenance);
    updateUI();
}

void MainWindowController::replaceSelectedCard(std::shared_ptr<Pkcs11Card> card) {
    if (readerSelected_ < 0 || readerSelected_ == 99 || !card) return;
    p11Card_[static_cast<unsigned>(readerSelected_)] = card;
    session_.currentCard = std::move(card);
    // The services test restarted the library and ended its own login: nobody is logged in now.
    isUserAuthenticated_ = false;
    updateUI();
}

void MainWindowController::cardPinPadlockClicked() {
    if (!loginStillHolds()) askForPin(true);
}

void MainWindowController::openPortal() {
    logInfo("Clic sur le lien 'Portail e-QEL'");
    s_.urlOpener.openUrl(isTestCard_ ? links::portalTest : links::portalProduction);
}

void MainWindowController::openDiagQEL() {
    logInfo("Clic sur le lien 'Diag QEL'");
    s_.urlOpener.openUrl(links::diagQEL);
}

void MainWindowController::openTestSsl() {
    logInfo("Clic sur le lien 'Test SSL'");
    s_.urlOpener.openUrl(links::testSsl);
}

void MainWindowController::openContactSupport() {
    logInfo("Clic sur le lien 'Contacter le support'");
    s_.urlOpener.openUrl(links::contactSupport);
}

void MainWindowController::showAbout() {
    logInfo("Ouverture fenêtre 'A propos'");
    view_.showAboutPanel();
}

void MainWindowController::checkButtonHover(const std::string& buttonName, bool entered) {
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

void MainWindowController::pinEntryFinished(bool success) {
    if (!success) {
        isCardBlocked_ = true;
    } else {
        isUserAuthenticated_ = true;
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

void MainWindowController::pinEntryCancelled() {
    // What the PIN was asked for is given up with it: the next PIN entry only logs in.
    authentFromSituationButton_ = false;
    authButton_ = false;
    disconnectAfterPin_.reset();
}

void MainWindowController::whenCardRemoved(std::function<void()> handler) {
    cardRemovalHandlers_.push_back(std::move(handler));
}

void MainWindowController::cardWentAway() {
    for (auto& handler : std::exchange(cardRemovalHandlers_, {})) handler();
}

void MainWindowController::activateDemoMode() {
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

void MainWindowController::desactivateDemoMode() {
    o_.activateDemoMenuItem->setEnabled(true);
    o_.desactivateDemoMenuItem->setEnabled(false);
    showIdentificationPane(true);
    o_.demoModeTitle->setHidden(true);
    o_.refreshButton->setHidden(false);
    isDemoMode_ = false;
    refreshReaders();
}

bool MainWindowController::windowShouldClose() {
    // Only while sessions are open: after a disconnection there is nothing to close.
    if (!vekRequests_.empty() && isVekAuthenticated_ && isCardInserted_) {
        s_.navigator.openQuitWhileSignedIn(this);
        return false;
    }
    return true;
}

void MainWindowController::quit() {
    if (!windowShouldClose()) return;
    s_.mainQueue.post(lifetime_.guard([this] { view_.closeWindow(); }));
}

}  // namespace qel
