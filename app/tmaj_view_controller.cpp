#include "app/tmaj_view_controller.h"

#include <stdexcept>

#include "app/pin_fields.h"
#include "app/tmaj_backend.h"
#include "common/logger.h"
#include "pkcs11/pkcs11_card.h"

namespace qel {

namespace {
constexpr const char* kUpdateFailedText =
    "Une erreur est survenue lors de la télémise à jour... Veuillez réessayer ultérieurement.";
// The PIN field takes up to eight digits; the card's PIN has four.
constexpr std::size_t kTmajPinFieldLength = 8;
}  // namespace

TmajViewController::TmajViewController(ui::TmajView& view, MainQueue& mainQueue, BackgroundQueue& background,
                                       TmajBackend& backend)
    : view_(view), o_(view.outlets()), mainQueue_(mainQueue), background_(background), backend_(backend) {
    if (!o_.complete()) throw std::invalid_argument("update wizard view: outlets missing");
    o_.next->setClickHandler([this] { onNext(); });
    o_.cancel->setClickHandler([this] { onCancel(); });
    o_.pinCode->setEditHandler([this] { controlTextDidChange(); });
}

void TmajViewController::onNext() {
    // Both buttons are hidden while the session runs; a stray action must not start a second one.
    if (sessionRunning_ || closed_) return;
    switch (step) {
        case 1:
            checkAvailability();
            break;
        case 2:
            if (verifyPin()) startUpdate();
            break;
        case 3:
            o_.message->setText("Votre QEL a bien été mise à jour.");
            showFinish();
            break;
        case 4:
            close();
            break;
        default:
            logDebug("TMAJ onNext: étape inconnue !");
            break;
    }
}

void TmajViewController::onCancel() {
    if (sessionRunning_) return;
    close();
}

void TmajViewController::checkAvailability() {
    // Blocks the main thread for at most the request timeout: the wizard has nothing to show until
    // the service answers.
    const int status = pCard && !pCard->serial.empty() ? backend_.checkTmaj(pCard->serial) : -1;
    if (status == 0) {
        logSuccess("QEL déjà à jour");
        o_.message->setText("Votre QEL est déjà à jour.");
        showFinish();
    } else if (status == 1) {
        o_.stepper->setImage("step2");
        o_.consigne->setHidden(false);
        o_.message->setHidden(true);
        o_.pinCode->setHidden(false);
        view_.focusPinField();
        step = 2;
    } else {
        o_.message->setText("Aucune mise à jour disponible actuellement, veuillez réessayer ultérieurement.");
        o_.message->setHidden(false);
        o_.stepper->setImage("step4");
        o_.cancel->setHidden(true);
        o_.next->setTitle("Terminer");
        step = 4;
    }
}

void TmajViewController::controlTextDidChange() {
    o_.errorTextField->setHidden(true);
    filterCodeField(*o_.pinCode, kTmajPinFieldLength);
}

bool TmajViewController::verifyPin() {
    std::string pin = o_.pinCode->text();
    if (pin.size() < kPinLength) {
        wipe(pin);
        o_.errorTextField->setText("Le code PIN doit comporter 4 chiffres");
        o_.errorTextField->setHidden(false);
        return false;
    }
    CK_RV rv = CKR_DEVICE_REMOVED;
    if (pCard) {
        pCard->ensureSession();
        rv = pCard->login(pin, false);
    }
    wipe(pin);
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) return true;

    o_.errorTextField->setHidden(false);
    if (rv == CKR_PIN_LOCKED) {
        logWarning("Carte bloquée !");
        o_.errorTextField->setText("La carte est bloquée !");
        mainQueue_.postAfter(1000, lifetime_.guard([this] {
            if (!delegate) return;
            delegate->setCardBlocked(true);
            delegate->updateUI();
        }));
    } else if (rv == CKR_PIN_INCORRECT) {
        std::string text = "Le code PIN n'est pas valide !";
        pCard->refreshTokenInfo();
        if (pCard->tokenInfo.flags & CKF_USER_PIN_FINAL_TRY) text += kLastTryWarning;
        o_.errorTextField->setText(text);
    } else {
        logWarning("Carte arrachée");
        o_.errorTextField->setText("La carte n'est plus dans le lecteur !");
        o_.pinCode->setEnabled(false);
        o_.cancel->setHidden(true);
        o_.next->setTitle("Terminer");
        step = 4;
    }
    return false;
}

void TmajViewController::startUpdate() {
    o_.stepper->setImage("step3");
    o_.pinCode->setHidden(true);
    o_.errorTextField->setHidden(true);
    logInfo("Télémise à jour en cours...");
    o_.consigne->setText("Télémise à jour en cours... Veuillez ne pas retirer la carte pendant le processus.");
    o_.progressBar->setValue(0);
    o_.progressBar->setHidden(false);
    o_.cancel->setHidden(true);
    o_.next->setHidden(true);
    sessionRunning_ = true;

    // The worker may outlive the wizard: it holds only the card, the queues and the backend (all of
    // which outlive it), never the wizard itself outside what it posts back to the main queue.
    std::weak_ptr<char> alive = alive_;
    MainQueue& mainQueue = mainQueue_;
    TmajBackend& backend = backend_;
    ui::ProgressBar* progressBar = o_.progressBar;
    background_.post([this, alive, &mainQueue, &backend, progressBar, card = pCard] {
        auto onMain = [alive, &mainQueue](std::function<void()> task) {
            mainQueue.post([alive, task = std::move(task)] {
                if (alive.lock()) task();
            });
        };
        if (!card) {
            onMain([this] { sessionEnded(true, "Pas de carte à mettre à jour"); });
            return;
        }
        const ApduResult outcome = backend.performUpdate(
            *card, [&](int percent) { onMain([progressBar, percent] { progressBar->setValue(percent); }); });
        onMain([this, outcome] { sessionEnded(outcome.isError, outcome.resultMessage); });
    });
}

void TmajViewController::sessionEnded(bool isError, const std::string& resultMessage) {
    sessionRunning_ = false;
    if (isError) {
        logError("Erreur lors de la TMAJ: " + resultMessage);
        o_.stepper->setImage("step4");
        o_.consigne->setHidden(true);
        o_.progressBar->setHidden(true);
        o_.message->setTextColour(kTmajErrorColour);
        o_.message->setText(kUpdateFailedText);
        o_.message->setHidden(false);
        o_.next->setTitle("Terminer");
        o_.next->setHidden(false);
        step = 4;
        return;
    }
    logSuccess("Télémise à jour réussie !");
    cardUpdated_ = true;
    if (delegate) delegate->updateSucceeded();
    step = 3;
    onNext();
}

void TmajViewController::showFinish() {
    o_.stepper->setImage("step4");
    o_.consigne->setHidden(true);
    o_.progressBar->setHidden(true);
    o_.message->setHidden(false);
    o_.cancel->setHidden(true);
    o_.next->setTitle("Terminer");
    o_.next->setHidden(false);
    step = 4;
}

void TmajViewController::close() {
    if (closed_) return;
    closed_ = true;
    if (delegate) delegate->updateWizardClosed(cardUpdated_);
    view_.close();
}

}  // namespace qel
