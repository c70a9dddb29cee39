#pragma once
#include <memory>
#include <stop_token>
#include <string>

#include "app/background_queue.h"
#include "app/lifetime.h"
#include "app/views/tmaj_view.h"
#include "common/main_queue.h"
#include "update/apdu_command.h"

namespace qel {

class Pkcs11Card;
class TmajBackend;

/// What the update wizard asks of the main window. Main thread only.
class TmajListener {
public:
    virtual ~TmajListener() = default;
    virtual void setCardBlocked(bool blocked) = 0;
    /// Recomputes the controls from the card state.
    virtual void updateUI() = 0;
    /// The wizard closed: the update badge hides and the card display is refreshed; the card is read
    /// again when its contents changed (`cardUpdated`).
    virtual void updateWizardClosed(bool cardUpdated) = 0;
    /// The session rewrote the card: called as it ends, before the wizard shows its result.
    virtual void updateSucceeded() {}
};

/// Red of the failed-update text.
inline const ui::Colour kTmajErrorColour = ui::Colour::fromRgb(205, 3, 55);

/// Pictures of the last step: each ticks only the steps that ran to their end.
namespace tmaj_pictures {
inline constexpr const char* updated = "step4";                    ///< every step done
inline constexpr const char* upToDate = "step4-uptodate";          ///< checked; no PIN, no update needed
inline constexpr const char* checkFailed = "step4-checkfailed";    ///< the check itself failed
inline constexpr const char* pinFailed = "step4-pinfailed";        ///< checked; the login could not be made
inline constexpr const char* updateFailed = "step4-updatefailed";  ///< PIN given; the session failed
inline constexpr const char* cancelled = "step4-cancelled";        ///< PIN given; the session was stopped
}  // namespace tmaj_pictures

/// The card update wizard: (1) asks the service whether an update waits, (2) takes the PIN and logs
/// in, (3) runs the session on the background queue with its progress, (4) shows the result. One
/// button, `next`, moves it on; `cancel` stays during the session and stops it at its next command
/// (the card is then reset by the backend). Main thread only; the session's progress and outcome come
/// back through the main queue, and are dropped once the wizard is gone.
class TmajController {
public:
    /// The view's widgets must be complete; the buttons and the PIN field are wired here.
    TmajController(ui::TmajView& view, MainQueue& mainQueue, BackgroundQueue& background, TmajBackend& backend);

    void onNext();
    void onCancel();
    /// The keystroke filter of the PIN field.
    void controlTextDidChange();

    bool verifyPin();
    void startUpdate();
    void showFinish();

    TmajListener* listener = nullptr;
    /// The card to update, set before the wizard is shown.
    std::shared_ptr<Pkcs11Card> pCard;
    /// 1 to 4.
    int step = 1;
    /// The session is on the background queue.
    bool sessionRunning() const { return sessionRunning_; }

private:
    void checkAvailability();
    /// The PIN typed on the reader's keypad, off the main thread; the outcome comes back as for the
    /// field's PIN.
    void startKeypadLogin();
    void keypadLoginEnded(unsigned long rv);
    /// Shows why the login failed; a blocked or missing card ends the wizard.
    void loginFailed(unsigned long rv);
    void sessionEnded(const ApduResult& outcome);
    /// Asks the running session to stop; its outcome then ends the wizard.
    void stopSession();
    /// The final step with `picture` and `text` in `message`, red when `error`.
    void finish(const char* picture, const std::string& text, bool error);
    void clearPin();
    void close();

    ui::TmajView& view_;
    const ui::TmajWidgets& o_;
    MainQueue& mainQueue_;
    BackgroundQueue& background_;
    TmajBackend& backend_;
    bool sessionRunning_ = false;
    /// The card's reader has a keypad: the PIN is typed there, not in the field.
    bool keypad_ = false;
    bool keypadWaiting_ = false;
    std::stop_source stop_;
    bool cardUpdated_ = false;
    bool closed_ = false;
    // Checked on the main thread by what the session posts back; the worker only copies it.
    std::shared_ptr<char> alive_ = std::make_shared<char>(0);
    Lifetime lifetime_;
};

}  // namespace qel
