#pragma once
#include <memory>
#include <string>

#include "app/background_queue.h"
#include "app/lifetime.h"
#include "app/ui/tmaj_view.h"
#include "common/main_queue.h"

namespace qel {

class Pkcs11Card;
class TmajBackend;

/// What the update wizard asks of the main window. Main thread only.
class TmajDelegate {
public:
    virtual ~TmajDelegate() = default;
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

/// The card update wizard: (1) asks the service whether an update waits, (2) takes the PIN and logs
/// in, (3) runs the session on the background queue with its progress, (4) shows the result. One
/// button, `next`, moves it on. Main thread only; the session's progress and outcome come back
/// through the main queue, and are dropped once the wizard is gone.
class TmajViewController {
public:
    /// The view's outlets must be complete; the buttons and the PIN field are wired here.
    TmajViewController(ui::TmajView& view, MainQueue& mainQueue, BackgroundQueue& background, TmajBackend& backend);

    void onNext();
    void onCancel();
    /// The keystroke filter of the PIN field.
    void controlTextDidChange();

    bool verifyPin();
    void startUpdate();
    void showFinish();

    TmajDelegate* delegate = nullptr;
    /// The card to update, set before the wizard is shown.
    std::shared_ptr<Pkcs11Card> pCard;
    /// 1 to 4.
    int step = 1;
    /// The session is on the background queue.
    bool sessionRunning() const { return sessionRunning_; }

private:
    void checkAvailability();
    void sessionEnded(bool isError, const std::string& resultMessage);
    void close();

    ui::TmajView& view_;
    const ui::TmajOutlets& o_;
    MainQueue& mainQueue_;
    BackgroundQueue& background_;
    TmajBackend& backend_;
    bool sessionRunning_ = false;
    bool cardUpdated_ = false;
    bool closed_ = false;
    // Checked on the main thread by what the session posts back; the worker only copies it.
    std::shared_ptr<char> alive_ = std::make_shared<char>(0);
    Lifetime lifetime_;
};

}  // namespace qel
