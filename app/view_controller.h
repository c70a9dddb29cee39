#pragma once
#include <any>
#include <cstdint>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "app/delegates.h"
#include "app/identification_view_controller.h"
#include "app/later_hooks.h"
#include "app/lifetime.h"
#include "app/links.h"
#include "app/situation_view_controller.h"
#include "app/tmaj_view_controller.h"
#include "management/views/alert_presenter.h"
#include "management/views/desktop_services.h"
#include "app/views/main_window_view.h"
#include "app/views/navigator.h"
#include "app/signin/vek_delegate.h"
#include "authservice/vek_operations.h"
#include "common/main_queue.h"
#include "issuerlib/holder_infos.h"

namespace qel {

class AppDelegate;
class CardReaders;
class Pkcs11Card;
class Pkcs11Library;
class Pkcs11Slot;
class Scard;
class TokenWatch;
struct TokenReader;

class SmartCard;

/// The status line while a QEL4 is read without contact.
inline constexpr const char* kContactlessCardStatus = "Carte QEL4 sans contact : identification de la carte seulement";

/// The card state line, and what the professional can do about it (its tooltip).
inline constexpr const char* kExpiredCardText = "Carte expirée : à renouveler";
inline constexpr const char* kExpiredCardAdvice =
    "Cette carte a dépassé sa date de fin de validité : elle ne permet plus de s'authentifier. "
    "Demandez une nouvelle carte à votre ordre ou à votre autorité d'enregistrement.";
inline constexpr const char* kRevokedCardText = "Carte opposée : à remplacer";
inline constexpr const char* kRevokedCardAdvice =
    "Cette carte a été mise en opposition : elle ne permet plus de s'authentifier. "
    "Si vous n'en êtes pas à l'origine, contactez le support ; commandez une carte de remplacement "
    "auprès de votre ordre ou de votre autorité d'enregistrement.";

/// The PIN dialog's line when another program's reset ended the holder's login.
inline constexpr const char* kCardResetNotice = "La carte a été réinitialisée par une autre application";

/// The main window's collaborators, created at the program's edge.
struct ViewControllerServices {
    Pkcs11Library& library;
    MainQueue& mainQueue;
    ui::Navigator& navigator;
    ui::UrlOpener& urlOpener;
    ui::Clipboard& clipboard;
    Scard& scard;
    /// The platform's readers, for matching a token to its reader.
    CardReaders& readers;
    /// Null when the platform has no token watch (no card insertion is followed then). Must be
    /// stopped before the controller is destroyed.
    TokenWatch* watcher = nullptr;
    LaterHooks hooks;
    /// The current time (tests fix it); the system clock when empty.
    std::function<std::chrono::system_clock::time_point()> clock;
    /// Confirmations (the disconnection); none asked when null.
    ui::AlertPresenter* alerts = nullptr;
};

/// The main window: loads the PKCS#11 library, lists the readers, follows card insertion and
/// removal, reads the card of the selected reader, shows the holder summary, keeps the flags that
/// decide which functions are available and opens every other view and dialog.
///
/// Main thread only, except the token watch handlers, which hand their work to the main queue.
class ViewController final : public MainWindowDelegate,
                             public SaisieDelegate,
                             public TmajDelegate,
                             public VekDelegate,
                             public CardHolderSource {
public:
    /// Marks a reader selection made by the program rather than by the user.
    static constexpr int algoSender = 111;

    /// The view's outlets must be complete; every control's handler is installed here.
    ViewController(ui::MainWindowView& view, AppDelegate& appDel, ViewControllerServices services);
    ~ViewController() override;

    ViewController(const ViewController&) = delete;
    ViewController& operator=(const ViewController&) = delete;

    // Window life.
    void viewDidLoad();
    void viewDidAppear();
    /// Whether the window may close now (otherwise the quit confirmation is shown).
    bool windowShouldClose();
    /// The quit menu item.
    void quit();

    // Cards and readers.
    /// Lists the readers anew; the reader selected before stays selected while it is listed.
    void refreshReaders();
    /// A reader was selected in the list, by the user (any other `sender`) or by the program
    /// (`algoSender`, which always reads).
    void readerSelection(int sender);
    void readSelectedCard();
    void showHolder(const HolderInfos& holder);
    void showBlocked();
    void clearHolderLabels();
    void onTokenInserted(const std::string& tokenID);
    void onTokenRemoved(const std::string& tokenID);
    /// Holds the card events (insertion, removal) while another part owns the library (the
    /// services test restarts it); released, they run in the order they came.
    void pauseCardEvents(bool paused);

    // Dialog results.
    void pinEntryFinished(bool success);
    /// The update wizard closed: the badge hides; the card is read again when it was updated.
    void updateWizardClosed(bool cardUpdated) override;
    /// Resets the card, so that every program that reads it through PC/SC takes it for a new card,
    /// opens the issuer's library again (it reads a card's token once) and reads the card anew.
    void updateSucceeded() override;

    // Button actions.
    void showIdentification();
    void showSituations();
    void showCertificates();
    void showMaintenance();
    /// The services test restarted the library: its card replaces the selected reader's stale one.
    void replaceSelectedCard(std::shared_ptr<Pkcs11Card> card);
    void cardPinPadlockClicked();
    /// Looks whether another program reset the selected card (a PC/SC event that the reader state
    /// does not show): its verified PIN is gone, so the padlock opens and the next PIN request says
    /// why. True when that happened now. Kartello's own resets must be acknowledged first
    /// (ownResetDone), or they count as another program's.
    bool followCardReset();
    /// A reset of the selected card made by Kartello itself (a logout, the end of an update).
    void ownResetDone();
    void openPortal();
    void openDiagQEL();
    void openTestSsl();
    void openContactSupport();
    void showAbout();
    void VEKAuthenticate();
    void VEKDisconnect();
    void activateDemoMode();
    void desactivateDemoMode();
    /// The pointer entered or left the button with that title.
    void checkButtonHover(const std::string& buttonName, bool entered);

    // VekDelegate: each does its work 0.1 s later on the main queue.
    void pendingRequestDone(vek::RespType outcome, VekRequestRef request) override;
    void authorisationDone(vek::RespType outcome, VekRequestRef request) override;
    void codeStepDone(vek::RespType outcome, VekRequestRef request) override;
    void codeChosen(vek::RespType outcome, VekRequestRef request) override;
    void validationDone(vek::RespType outcome, VekRequestRef request) override;
    void disconnectionDone(vek::RespType outcome, bool silent) override;
    void refuseRequest(VekRequestRef request, bool reported) override;
    void disconnect(bool silent) override;

    // CardHolderSource.
    std::string currentHolderIdentifier() override;

    /// The sign-in requests answered since the start (the first one is used for disconnection).
    const std::vector<VekRequestRef>& vekRequests() const { return vekRequests_; }

    // MainWindowDelegate.
    void setCardBlocked(bool blocked) override { isCardBlocked_ = blocked; }
    void setUserAuthentified(bool authentified) override { isUserAuthentified_ = authentified; }
    void updateUI() override;
    void showIdentificationPane(bool hidden) override;
    std::shared_ptr<Pkcs11Card> selectedCard() override;
    void beginCardReading() override;
    void endCardReading() override;
    void whenCardRemoved(std::function<void()> handler) override;

    // SaisieDelegate.
    void pinEntryResult(bool success, const std::string& context) override { pinEntryFinished(success); }
    void pinEntered(const SecretBytes&) override {}
    void pinEntryCancelled() override;

    IdentificationViewController& identificationViewController() { return identification_; }
    SituationViewController& situationViewController() { return situations_; }

    // The card state the controls are derived from (read-only: the operations above change it).
    /// The list position of the reader read last, with or without a card; 99 before any read and
    /// after the list was rebuilt.
    int readerSelected() const { return readerSelected_; }
    bool isDemoMode() const { return isDemoMode_; }
    bool isCardInserted() const { return isCardInserted_; }
    /// False for a card read through a contactless reader.
    bool isContactQEL() const { return isContactQEL_; }
    bool isCardBlocked() const { return isCardBlocked_; }
    bool isTestCard() const { return isTestCard_; }
    /// The holder data's expiry is later than now.
    bool isValidCard() const { return isValidCard_; }
    /// The card's authentication certificate is listed as revoked.
    bool isCardRevoked() const { return isCardRevoked_; }
    bool isUserAuthentified() const { return isUserAuthentified_; }
    /// A sign-in request was answered and its sessions are open (cleared by a disconnection).
    bool isVekAuthenticated() const { return isVekAuthenticated_; }
    /// A PIN entry opened by the situations button, which shows the situations once it succeeds.
    bool authentFromSituationButton() const { return authentFromSituationButton_; }
    /// The card serial of the last contactless token matched to a reader.
    const std::string& contactLessSerial() const { return contactLessSerial_; }

private:
    void resetCardAfterUpdate(const std::string& reader);
    /// Whether the holder's login still holds: no reset by another program, and the library still
    /// reports the user logged in. Clears the verified flag otherwise.
    bool loginStillHolds();
    /// Opens a connection of our own to the card just read, whose resets by others it reports.
    void watchCardResets(const std::string& reader);
    /// While the holder is logged in, looks for another program's reset every second.
    void scheduleResetCheck();
    void wireControls();
    void resetCardState();
    void readCardInSlot(Pkcs11Slot& slot);
    void logoutCard(Pkcs11Card& card);
    void contactlessCheck();
    void showDemoHolder();
    void showSummaryExpiry(const std::string& expiryText, bool valid);
    void performSegue(const char* identifier, std::any sender = {});
    /// The selected card left its reader: the removal handlers run.
    void cardWentAway();
    void selectReaderOfToken(const TokenReader& match, const std::string& tokenID);
    /// Rebuilds the reader list and reads the card of `preferredReader` (a reader key) when it
    /// holds one, else the first card listed.
    void rebuildReaderList(const std::string& preferredReader);
    /// The entry of that reader key, −1 when it is not listed.
    int readerEntry(const std::string& readerKey) const;
    /// Titles the entry of a reader: the reader's name, after the holder's when a card was read.
    void titleReaderEntry(int index, const std::string& holderName);
    void whenCardEventsFlow(std::function<void()> event);
    /// Runs `task` 0.1 s later on the main queue, while this window lives.
    void afterDialogCloses(std::function<void()> task);
    void showVekAlert(vek::RespType outcome);
    /// Shows the update badge when the service has an update for that card (answer on the main queue).
    void checkUpdateAvailability(const Pkcs11Card& card);
    /// The selected reader's platform name (the slot's name, which is also its entry's key),
    /// without surrounding control characters.
    std::string selectedReaderName() const;
    std::chrono::system_clock::time_point now() const;

    // The demo list's keys (that list holds no reader).
    static constexpr const char* kDemoNoCardKey = "démo: sans carte";
    static constexpr const char* kDemoCardKey = "démo: carte";

    std::vector<std::unique_ptr<Pkcs11Slot>> p11SlotDict_;
    std::map<unsigned, std::shared_ptr<Pkcs11Card>> p11Card_;
    int readerSelected_ = 99;
    std::string readerNameSelected_;
    bool isDemoMode_ = false;
    bool isCardInserted_ = false;
    bool isContactQEL_ = true;
    bool isCardBlocked_ = false;
    bool isTestCard_ = false;
    bool isValidCard_ = false;
    bool isCardRevoked_ = false;
    bool isVekAuthenticated_ = false;
    bool isUserAuthentified_ = false;
    /// The updated card was read anew as the session ended: closing the wizard need not do it.
    bool renewedCardRead_ = false;
    bool authentFromSituationButton_ = false;
    bool authButton_ = false;
    /// A disconnection (silent when quitting) waiting for the PIN entry it opened.
    std::optional<bool> disconnectAfterPin_;
    /// Run once when the selected card leaves its reader (dialogs that need it close).
    std::vector<std::function<void()>> cardRemovalHandlers_;
    bool cardEventsPaused_ = false;
    std::vector<std::function<void()>> pausedCardEvents_;
    std::string contactLessSerial_;
    // The reader whose contactless identity the window shows; reading it again costs a card session
    // and would pull every sub-view back to the identification.
    std::optional<std::string> contactlessShownFor_;
    /// Whether the DESFire application answered on the contactless card of that reader: asked once
    /// per card, since the presence test costs a card session and updateUI runs often.
    std::optional<std::pair<std::string, bool>> desfirePresence_;
    std::vector<VekRequestRef> vekRequests_;
    // A connection to the selected card, kept to learn of other programs' resets, and the count of
    // them already followed.
    std::unique_ptr<SmartCard> resetWatch_;
    std::uint32_t resetsFollowed_ = 0;
    bool resetCheckScheduled_ = false;
    bool updateWizardOpen_ = false;
    /// Another program's reset ended the login: the next PIN request says so.
    bool cardResetNotice_ = false;

    ui::MainWindowView& view_;
    const ui::MainWindowOutlets& o_;
    AppDelegate& appDel_;
    ViewControllerServices s_;
    IdentificationViewController identification_;
    SituationViewController situations_;
    HolderInfos holder_;
    // Set for a card whose PUK is blocked too: nothing can unblock it any more.
    bool definitivelyBlocked_ = false;
    Lifetime lifetime_;
};

}  // namespace qel
