#pragma once
#include <memory>
#include <string>

#include "authservice/vek_request.h"

namespace qel {
class Pkcs11Card;
class MainWindowListener;
class PinEntryListener;
class TmajListener;
class VekListener;
struct ServicesTestRequest;
}  // namespace qel

namespace qel::ui {

/// What the PIN entry dialog gets when it opens. The receivers are not owned and outlive every
/// dialog (the main window lives until the program ends); the card is shared, so that a card read
/// again while the dialog is open (token removal) does not pull it from under the dialog.
struct PinEntryRequest {
    /// The card of the selected reader; may be null (no card, or the maintenance view's deletion).
    std::shared_ptr<Pkcs11Card> card;
    /// Told the dialog's result (the main window, or the maintenance view).
    PinEntryListener* receiver = nullptr;
    /// The main window, which tells the dialog when the card leaves its reader.
    MainWindowListener* window = nullptr;
    /// Opened by the program before an action that needs the login, rather than by the PIN button.
    bool askedByProgram = false;
    /// PIN entry opened by the maintenance view: context "DeleteDESfire" and the reader's platform
    /// name (the card stays null then).
    std::string context;
    std::string readerNameQEL4;
    /// PIN entry asked again because the login ended behind the holder's back: the line that says
    /// why, shown as the dialog opens (empty otherwise).
    std::string notice;
};

/// Opens the main window's dialogs, one function per dialog: builds the dialog's view and
/// controller, hands over what it needs, and shows it as a sheet of the main window. The receivers
/// passed are not owned and outlive every dialog. Main thread only.
class Navigator {
public:
    virtual ~Navigator() = default;

    /// PIN entry (a login on the card).
    virtual void openPinEntry(const PinEntryRequest& request) = 0;
    /// PIN change, on `card` (may be null); `window` is told the outcome.
    virtual void openPinChange(std::shared_ptr<Pkcs11Card> card, MainWindowListener* window) = 0;
    /// Card unlock with the PUK, on `card` (may be null); `window` is told the outcome.
    virtual void openUnlock(std::shared_ptr<Pkcs11Card> card, MainWindowListener* window) = 0;
    /// The update wizard for `card` (may be null), closed and finished towards `owner`.
    virtual void openUpdateWizard(std::shared_ptr<Pkcs11Card> card, TmajListener* owner) = 0;
    /// The services test window, after the maintenance view's PIN entry. `request` carries the PIN
    /// (shared, wiped by the test).
    virtual void openServicesTest(const ServicesTestRequest& request) = 0;

    // The sign-in flow's dialogs; each reports to `listener`.
    /// The wait while a call to the sign-in service runs (the request's action says which).
    virtual void openSignInWait(vek::VekRequestRef request, VekListener* listener) = 0;
    /// The pending sign-in request: accept, or refuse it.
    virtual void openSignIn(vek::VekRequestRef request, VekListener* listener) = 0;
    /// The choice among the three codes.
    virtual void openSignInCodes(vek::VekRequestRef request, VekListener* listener) = 0;
    /// The sign-in succeeded.
    virtual void openSignInDone(vek::VekRequestRef request, VekListener* listener) = 0;
    /// The end of the sessions at the service.
    virtual void openSignOut(vek::VekRequestRef request, VekListener* listener) = 0;
    /// An alert of the sign-in flow, by the kind of answer.
    virtual void openSignInAlert(vek::RespType type) = 0;
    /// The question asked when the window closes while sessions are open.
    virtual void openQuitWhileSignedIn(VekListener* listener) = 0;
};

}  // namespace qel::ui
