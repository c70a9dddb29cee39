#include "app/tmaj_controller.h"

#include <stdexcept>

#include "app/pin_fields.h"
#include "app/pin_pad_controller.h"
#include "app/tmaj_backend.h"
#include "common/format.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_card.h"

namespace qel {

namespace {
constexpr const char* kUpdateFailedText =
    "Une erreur est survenue lors de la télémise à jour... Veuillez réessayer ultérieurement.";
constexpr const char* kCardGoneText = "La carte n'est plus dans le lecteur !";
constexpr const char* kCancelledText = "La télémise à jour a été interrompue. Vous pourrez la relancer ultérieurement.";
// The PIN field takes up to eight digits; the card's PIN has four.
constexpr std::size_t kTmajPinFieldLength = 8;

/// What the holder is told when the availability check failed: the service's fault, not the
/// absence of an update.
std::string checkFailureText(const TmajCheck& check) {
    if (check.httpStatus != 0 && (check.httpStatus < 200 || check.httpStatus > 299))
        return format(
            "Le service de télémise à jour a répondu par une erreur (code %ld). Veuillez réessayer "
            "ultérieurement.",
            check.httpStatus);
    if (check.httpStatus != 0)
        return "Le service de télémise à jour a envoyé une réponse illisible. Veuillez réessayer ultérieurement.";
    return "Le service de télémise à jour est injoignable. Vérifiez la connexion au réseau puis réessayez "
           "ultérieurement.";
}
}  // namespace

TmajController::TmajController(ui::TmajView& view, MainQueue& mainQueue, BackgroundQueue& background,
                               TmajBackend& backend)
    : view_(view), o_(view.widgets()), mainQueue_(mainQueue), background_(background), backend_(backend) {
    if (!o_.complete()) throw std::invalid_argument("update wizard view: widgets missing");
    o_.next->setClickHandler([this] { onNext(); });
    o_.cancel->setClickHandler([this] { onCancel(); });
    o_.pinCode->setEditHandler([this] { controlTextDidChange(); });
}

void TmajController::onNext() {
    // Next is hidden while the session runs; a stray action must not start a second one.
    if (sessionRunning_ || closed_) return;
    switch (step) {
        case 1:
            checkAvailability();
            break;
        case 2:
            if (keypad_) {
                startKeypadLogin();
            } else if (verifyPin()) {
                startUpdate();
            }
            break;
        case 3:
            o_.message->setText("Votre QEL a bien été mise à jour.");
            o_.stepper->setImage(tmaj_pictures::updated);
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

void TmajController::onCancel() {
    if (keypadWaiting_) {
        // PC/SC cannot stop the reader's entry: the holder ends it there, and the wizard goes on.
        o_.errorTextField->setText(kPinPadPressCancelText);
        o_.errorTextField->setHidden(false);
        return;
    }
    if (sessionRunning_) {
        stopSession();
        return;
    }
    close();
}

void TmajController::stopSession() {
    if (stop_.stop_requested()) return;
    logInfo("Interruption de la télémise à jour demandée");
    stop_.request_stop();
    o_.cancel->setEnabled(false);
    o_.consigne->setText("Interruption de la télémise à jour en cours...");
}

void TmajController::checkAvailability() {
    if (!pCard || pCard->serial.empty()) {
        logWarning("TMAJ : pas de carte à vérifier");
        finish(tmaj_pictures::checkFailed, kCardGoneText, true);
        return;
    }
    // Blocks the main thread for at most the request timeout: the wizard has nothing to show until
    // the service answers.
    const TmajCheck check = backend_.checkTmaj(pCard->serial);
    if (check.availability == TmajAvailability::upToDate) {
        logSuccess("QEL déjà à jour");
        finish(tmaj_pictures::upToDate, "Votre QEL est déjà à jour.", false);
    } else if (check.availability == TmajAvailability::updateAvailable) {
        o_.stepper->setImage("step2");
        o_.consigne->setHidden(false);
        o_.message->setHidden(true);
        o_.pinCode->setHidden(false);
        view_.focusPinField();
        step = 2;
        if (usesPinPad(*pCard)) {
            keypad_ = true;
            o_.pinCode->setHidden(true);
            startKeypadLogin();
        }
    } else {
        logError("TMAJ : vérification impossible : " + check.failure);
        finish(tmaj_pictures::checkFailed, checkFailureText(check), true);
    }
}

void TmajController::controlTextDidChange() {
    o_.errorTextField->setHidden(true);
    filterCodeField(*o_.pinCode, kTmajPinFieldLength);
}

void TmajController::clearPin() { o_.pinCode->setSecret({}); }

bool TmajController::verifyPin() {
    const SecretBytes pin = o_.pinCode->secret();
    if (pin.size() < kPinLength) {
        o_.errorTextField->setText("Le code PIN doit comporter 4 chiffres");
        o_.errorTextField->setHidden(false);
        return false;
    }
    CK_RV rv = CKR_DEVICE_REMOVED;
    if (pCard) {
        pCard->ensureSession();
        rv = pCard->login(pin.view(), false);
    }
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
        clearPin();
        return true;
    }
    loginFailed(rv);
    return false;
}

void TmajController::startKeypadLogin() {
    keypadWaiting_ = true;
    o_.consigne->setText(kPinPadLoginText);
    o_.consigne->setHidden(false);
    o_.errorTextField->setHidden(true);
    o_.next->setHidden(true);
    std::weak_ptr<char> alive = alive_;
    MainQueue& mainQueue = mainQueue_;
    background_.post([this, alive, &mainQueue, card = pCard] {
        CK_RV rv = CKR_DEVICE_REMOVED;
        if (card) {
            card->ensureSession();
            rv = card->login("", false);
        }
        mainQueue.post([this, alive, rv] {
            if (alive.lock()) keypadLoginEnded(rv);
        });
    });
}

void TmajController::keypadLoginEnded(unsigned long rv) {
    keypadWaiting_ = false;
    o_.next->setHidden(false);
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
        startUpdate();
        return;
    }
    loginFailed(rv);
}

void TmajController::loginFailed(unsigned long rv) {
    o_.errorTextField->setHidden(false);
    if (rv == CKR_FUNCTION_CANCELED && keypad_) {
        o_.errorTextField->setText(kPinPadCancelledText);
    } else if (rv == CKR_FUNCTION_FAILED && keypad_) {
        o_.errorTextField->setText(kPinPadTimedOutText);
    } else if (rv == CKR_PIN_LEN_RANGE) {
        // The field takes up to eight digits, the card's PIN has four: nothing reached the card.
        o_.errorTextField->setText("Le code PIN doit comporter 4 chiffres");
    } else if (rv == CKR_PIN_LOCKED) {
        logWarning("Carte bloquée !");
        o_.errorTextField->setText("La carte est bloquée !");
        mainQueue_.postAfter(1000, lifetime_.guard([this] {
            if (!listener) return;
            listener->setCardBlocked(true);
            listener->updateUI();
        }));
    } else if (rv == CKR_PIN_INCORRECT) {
        std::string text = "Le code PIN n'est pas valide !";
        pCard->refreshTokenInfo();
        if (pCard->tokenInfo.flags & CKF_USER_PIN_FINAL_TRY) text += kLastTryWarning;
        o_.errorTextField->setText(text);
    } else {
        logWarning("Carte arrachée");
        o_.errorTextField->setText(kCardGoneText);
        o_.pinCode->setEnabled(false);
        clearPin();
        o_.stepper->setImage(tmaj_pictures::pinFailed);
        o_.cancel->setHidden(true);
        o_.next->setTitle("Terminer");
        step = 4;
    }
}

void TmajController::startUpdate() {
    o_.stepper->setImage("step3");
    o_.pinCode->setHidden(true);
    o_.errorTextField->setHidden(true);
    logInfo("Télémise à jour en cours...");
    o_.consigne->setText("Télémise à jour en cours... Veuillez ne pas retirer la carte pendant le processus.");
    o_.progressBar->setValue(0);
    o_.progressBar->setHidden(false);
    // Cancel stays: it stops the session cleanly at its next command.
    o_.cancel->setHidden(false);
    o_.cancel->setEnabled(true);
    o_.next->setHidden(true);
    sessionRunning_ = true;

    // The worker may outlive the wizard: it holds only the card, the queues and the backend (all of
    // which outlive it), never the wizard itself outside what it posts back to the main queue.
    std::weak_ptr<char> alive = alive_;
    MainQueue& mainQueue = mainQueue_;
    TmajBackend& backend = backend_;
    ui::ProgressBar* progressBar = o_.progressBar;
    background_.post([this, alive, &mainQueue, &backend, progressBar, card = pCard, stop = stop_.get_token()] {
        auto onMain = [alive, &mainQueue](std::function<void()> task) {
            mainQueue.post([alive, task = std::move(task)] {
                if (alive.lock()) task();
            });
        };
        if (!card) {
            onMain([this] {
                sessionEnded(ApduResult::failure(ApduResultCode::CODE_CARD_MISSING, "Pas de carte à mettre à jour"));
            });
            return;
        }
        const ApduResult outcome = backend.performUpdate(
            *card, [&](int percent) { onMain([progressBar, percent] { progressBar->setValue(percent); }); }, stop);
        onMain([this, outcome] { sessionEnded(outcome); });
    });
}

void TmajController::sessionEnded(const ApduResult& outcome) {
    sessionRunning_ = false;
    o_.cancel->setEnabled(true);
    if (outcome.isError && stop_.stop_requested()) {
        logInfo("Télémise à jour interrompue : " + outcome.resultMessage);
        finish(tmaj_pictures::cancelled, kCancelledText, false);
        return;
    }
    if (outcome.isError) {
        logError("Erreur lors de la TMAJ: " + outcome.resultMessage);
        finish(tmaj_pictures::updateFailed, kUpdateFailedText, true);
        return;
    }
    // A stop asked too late to matter: the session had already reached its end marker.
    logSuccess("Télémise à jour réussie !");
    cardUpdated_ = true;
    if (listener) listener->updateSucceeded();
    step = 3;
    onNext();
}

void TmajController::finish(const char* picture, const std::string& text, bool error) {
    if (error) o_.message->setTextColour(kTmajErrorColour);
    o_.message->setText(text);
    o_.stepper->setImage(picture);
    showFinish();
}

void TmajController::showFinish() {
    o_.consigne->setHidden(true);
    o_.progressBar->setHidden(true);
    o_.message->setHidden(false);
    o_.cancel->setHidden(true);
    o_.next->setTitle("Terminer");
    o_.next->setHidden(false);
    step = 4;
}

void TmajController::close() {
    if (closed_) return;
    closed_ = true;
    clearPin();
    if (listener) listener->updateWizardClosed(cardUpdated_);
    view_.close();
}

}  // namespace qel
