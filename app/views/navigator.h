#pragma once
#include <any>
#include <memory>
#include <string>

namespace qel {
class Pkcs11Card;
class MainWindowDelegate;
class SaisieDelegate;
class TmajDelegate;
class VekDelegate;
}  // namespace qel

namespace qel::ui {

/// Identifiers of the transitions the main window starts.
namespace segue {
inline constexpr const char* saisiePin = "SaisiePinSegue";
inline constexpr const char* saisiePinProg = "SaisiePinSegueProg";
inline constexpr const char* modifPin = "ModifPinSegue";
inline constexpr const char* unlockCard = "UnlockCardSegue";
inline constexpr const char* tmaj = "TmajSegue";
inline constexpr const char* vekAuth = "VekAuthSegue";
inline constexpr const char* vekWait = "vekWait";
inline constexpr const char* vekCodes = "vekCodes";
inline constexpr const char* vekValid = "vekValid";
inline constexpr const char* vekDeauth = "vekDeauth";
inline constexpr const char* vekAlert = "vekAlert";
inline constexpr const char* vekQuit = "vekQuit";
}  // namespace segue

/// What a transition hands to the dialog before it opens. The delegates are not owned and outlive
/// every dialog (the main window lives until the program ends); the card is shared, so that a card
/// read again while a dialog is open (token removal) does not pull it from under the dialog.
struct SegueValues {
    /// The card of the selected reader: "SaisiePinSegue", "SaisiePinSegueProg", "ModifPinSegue",
    /// "UnlockCardSegue", "TmajSegue". May be null (no card).
    std::shared_ptr<Pkcs11Card> pCard;
    /// The main window, for every dialog it opens (flags, updateUI).
    MainWindowDelegate* delegate = nullptr;
    /// The PIN entry dialog's result receiver (the main window, or the maintenance view).
    SaisieDelegate* saisieDelegate = nullptr;
    /// The update wizard's owner (the main window).
    TmajDelegate* tmajDelegate = nullptr;
    /// PIN entry opened by the maintenance view: context "DeleteDESfire" and the reader's platform
    /// name (pCard stays null then).
    std::string context;
    std::string readerNameQEL4;
    /// PIN entry asked again because the login ended behind the holder's back: the line that says
    /// why, shown as the dialog opens (empty otherwise).
    std::string notice;
    /// The authentication-service dialogs' delegate (the main window).
    VekDelegate* vekDelegate = nullptr;
    /// The sender of the authentication-service transitions: the request (VekRequestRef) for
    /// "VekAuthSegue", "vekWait", "vekCodes", "vekValid", "vekDeauth"; the alert type
    /// (vek::RespType) for "vekAlert".
    std::any sender;
};

/// Opens dialogs by transition identifier: builds the dialog's view and controller, hands over the
/// values, and shows it as a sheet of the main window. Main thread only.
class Navigator {
public:
    virtual ~Navigator() = default;
    virtual void performSegue(const std::string& identifier, const SegueValues& values) = 0;
};

}  // namespace qel::ui
