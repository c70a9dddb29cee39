#include "app/pin_pad_controller.h"

#include <stdexcept>

#include "app/background_queue.h"
#include "app/pin_entry_controller.h"
#include "app/pin_fields.h"
#include "common/format.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_error.h"

namespace qel {

bool usesPinPad(Pkcs11Card& card) {
    return card.refreshTokenInfo() == CKR_OK && (card.tokenInfo.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
}

bool changesPinOnPinPad(const Pkcs11Card& card) { return card.label.starts_with("QEL3"); }

PinPadController::PinPadController(ui::PinPadView& view, MainQueue& mainQueue, BackgroundQueue& background, Step step)
    : view_(view), o_(view.widgets()), mainQueue_(mainQueue), background_(background), step_(step) {
    if (!o_.complete()) throw std::invalid_argument("PIN pad view: widgets missing");
    o_.retryButton->setClickHandler([this] { retry(); });
    o_.cancelButton->setClickHandler([this] { cancel(); });
}

void PinPadController::onShown() {
    o_.instructionLabel->setText(step_ == Step::login    ? kPinPadLoginText
                                 : step_ == Step::change ? kPinPadChangeText
                                                         : kPinPadUnlockText);
    // As the text field dialog does: why the PIN is asked again, and the last try, before the entry.
    std::string text = notice;
    if (pCard && step_ != Step::unlock && (pCard->tokenInfo.flags & CKF_USER_PIN_FINAL_TRY))
        text += (text.empty() ? "" : ".") + std::string(kLastTryWarning);
    start();
    if (!text.empty() && waiting_) showMessage(text);
}

void PinPadController::retry() {
    if (waiting_ || ended_) return;
    start();
}

void PinPadController::start() {
    o_.retryButton->setHidden(true);
    o_.messageLabel->setHidden(true);
    if (!pCard) {
        showMessage(step_ == Step::login    ? "Erreur lors de la tentative d'authentification"
                    : step_ == Step::change ? "Erreur lors de la modification du code PIN"
                                            : "Erreur lors du déblocage de la carte");
        return;
    }
    waiting_ = true;
    view_.setWaiting(true);
    // Made here, on the main thread: the background task only carries it back to the main queue,
    // where it runs only while this controller lives.
    auto deliver = lifetime_.guard([this](Outcome outcome) { finished(outcome); });
    MainQueue& mainQueue = mainQueue_;
    background_.post([card = pCard, step = step_, deliver, &mainQueue] {
        Outcome outcome;
        if (step == Step::login) {
            card->ensureSession();
            outcome.rv = card->login("", false);
        } else if (step == Step::unlock) {
            outcome.rv = card->unlockPin("", "");
        } else {
            // The reader sends the current PIN with the new one: no login needed, and the holder's
            // login, if any, stays.
            card->ensureSession();
            outcome.rv = card->changePin("", "");
        }
        card->refreshTokenInfo();
        outcome.lastTry =
            (card->tokenInfo.flags & (step == Step::unlock ? CKF_SO_PIN_FINAL_TRY : CKF_USER_PIN_FINAL_TRY)) != 0;
        mainQueue.post([deliver, outcome]() mutable { deliver(outcome); });
    });
}

void PinPadController::cancel() {
    if (waiting_) {
        showMessage(kPinPadPressCancelText);
        return;
    }
    view_.close();
    if (ended_) return;
    ended_ = true;
    if (step_ == Step::login && entryListener) entryListener->pinEntryCancelled();
}

void PinPadController::showMessage(const std::string& text, bool success) {
    if (success) o_.messageLabel->setTextColour(ui::colours::green);
    o_.messageLabel->setText(text);
    o_.messageLabel->setHidden(false);
}

void PinPadController::finished(Outcome outcome) {
    waiting_ = false;
    const bool retryable = report(outcome);
    o_.retryButton->setHidden(!retryable);
    view_.setWaiting(false);
}

bool PinPadController::report(Outcome outcome) {
    const bool login = step_ == Step::login;
    if (meansCardGone(outcome.rv)) {
        cardRemoved();
        return false;
    }
    if (step_ == Step::unlock) return reportUnlock(outcome);
    switch (outcome.rv) {
        case CKR_OK:
        case CKR_USER_ALREADY_LOGGED_IN:
            showMessage(login ? "Authentification réussie !" : "Modification du code PIN OK !", true);
            endLater(true, false);
            return false;
        case CKR_PIN_INCORRECT:
            showMessage(std::string(login ? "Le code PIN n'est pas valide !" : "L'ancien code PIN n'est pas valide !") +
                        (outcome.lastTry ? kLastTryWarning : ""));
            break;
        case CKR_PIN_LOCKED:
            showMessage("La carte est bloquée !");
            logError("Carte bloquée !");
            endLater(false, true);
            return false;
        case CKR_FUNCTION_CANCELED:
            showMessage(kPinPadCancelledText);
            logInfo("Saisie du code PIN annulée sur le clavier du lecteur");
            break;
        case CKR_FUNCTION_FAILED:
            showMessage(kPinPadTimedOutText);
            logWarning("Saisie du code PIN sur le clavier du lecteur sans résultat");
            break;
        case CKR_PIN_LEN_RANGE:
            showMessage("Le code PIN doit comporter 4 chiffres");
            break;
        case CKR_PIN_INVALID:
            showMessage(login ? "Le code PIN n'est pas valide !" : "Le code PIN n'est pas identique au précédent.");
            break;
        default:
            showMessage(login ? "Erreur lors de la tentative d'authentification"
                              : "Erreur lors de la modification du code PIN");
            logError(login ? format("Erreur dans C_Login: %lu", outcome.rv)
                           : format("Erreur dans C_SetPIN: %lu", outcome.rv));
            break;
    }
    return true;
}

bool PinPadController::reportUnlock(Outcome outcome) {
    switch (outcome.rv) {
        case CKR_OK:
            showMessage("Déblocage de la carte OK !", true);
            endLater(true, false);
            return false;
        case CKR_FUNCTION_CANCELED:
            showMessage(kPinPadCancelledText);
            logInfo("Saisie du code PUK annulée sur le clavier du lecteur");
            break;
        case CKR_FUNCTION_FAILED:
            showMessage(kPinPadTimedOutText);
            logWarning("Saisie du code PUK sur le clavier du lecteur sans résultat");
            break;
        // The reader and the card answer alike for two new codes that differ and for a new code the
        // card cannot take, and neither spends a try of the PUK: the line names both.
        case CKR_PIN_INVALID:
            showMessage("Le nouveau code PIN n'est pas valide : 4 chiffres, saisis deux fois à l'identique.");
            break;
        case CKR_PIN_LEN_RANGE:
            showMessage("Le code PUK doit comporter 8 chiffres et le nouveau code PIN 4 chiffres.");
            break;
        default:
            // As the unlock in the text fields: every other refusal is the PUK's.
            showMessage(
                std::string("Le code PUK est incorrect !") +
                (outcome.lastTry ? "⚠️ Attention: dernier essai avant le blocage DEFINITIF de la carte" : ""));
            break;
    }
    return true;
}

void PinPadController::cardRemoved() {
    ended_ = true;
    showMessage(kCardRemovedText);
    logWarning("Saisie du code PIN interrompue : la carte a été retirée du lecteur");
    mainQueue_.postAfter(1500, lifetime_.guard([this] {
        if (step_ == Step::login && entryListener) entryListener->pinEntryCancelled();
        view_.close();
    }));
}

void PinPadController::endLater(bool success, bool blocked) {
    ended_ = true;
    // The same pauses as the text field dialogs: half a second after a login, a second after a change.
    const bool login = step_ == Step::login;
    mainQueue_.postAfter(login ? 500 : 1000, lifetime_.guard([this, success, blocked, login] {
        if (login) {
            if (entryListener) {
                // Nothing typed here: the listener gets an empty code, the card holds the login.
                if (success) entryListener->pinEntered(SecretBytes());
                entryListener->pinEntryResult(success, context);
            }
        } else if (window) {
            if (blocked) window->setCardBlocked(true);
            if (step_ == Step::unlock && success) {
                // The PIN is set but not verified: a login on the keypad would be a third entry.
                window->setCardBlocked(false);
                window->setUserAuthenticated(false);
                window->showIdentificationPane(false);
            }
            window->updateUI();
        }
        view_.close();
    }));
}

}  // namespace qel
