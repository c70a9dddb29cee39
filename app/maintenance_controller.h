#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/listeners.h"
#include "app/main_window_parts.h"
#include "app/links.h"
#include "management/views/alert_presenter.h"
#include "management/views/desktop_services.h"
#include "app/views/maintenance_view.h"
#include "app/views/navigator.h"
#include "common/bytes.h"
#include <p11-kit/pkcs11.h>

namespace qel {

class Pkcs11Card;
class Scard;

/// The issuer's support contact form (the main window's button opens the same).
inline constexpr const char* kSupportContactUrl = links::contactSupport;

/// The confirmation asked before the DESFire data is deleted.
inline constexpr const char* kDeleteDesfireQuestion =
    "Êtes-vous sûr(e) de vouloir supprimer vos données DESFire ? CETTE OPÉRATION EST IRRÉVERSIBLE.";

/// Whoever opened the services test: gets the card the test opened when the window closes.
class ServicesOwner {
public:
    virtual ~ServicesOwner() = default;
    /// The test is about to restart the library: nothing else may call it until the test ended.
    virtual void servicesTestStarted() {}
    /// The test restarted the library: this card (null when it opened none) replaces the main
    /// window's stale one.
    virtual void servicesTestEnded(std::shared_ptr<Pkcs11Card> card) = 0;
};

/// What the services test window gets when it opens.
struct ServicesTestRequest {
    /// The slot to test; absent when the main window has no reader selected.
    std::optional<CK_SLOT_ID> readerSelected;
    /// The PIN typed for the test, shared by the request's copies (the navigator's and the window's).
    /// Never logged; the test empties it after the login.
    std::shared_ptr<SecretBytes> secret;
    ServicesOwner* owner = nullptr;
    /// The card's reader has a keypad: no PIN here, the test's login asks for it on the reader.
    bool pinOnKeypad = false;
};

struct MaintenanceServices {
    ui::Navigator& navigator;
    ui::AlertPresenter& alerts;
    ui::UrlOpener& urlOpener;
    /// The main window, told every PIN entry's outcome first.
    PinEntryListener& mainWindow;
    /// Stores a card as the main window's card of the selected reader.
    std::function<void(std::shared_ptr<Pkcs11Card>)> replaceMainWindowCard;
    /// Builds the diagnostics archive and tells the user where it is; empty when not available.
    std::function<void()> exportDiagnostics;
    /// The contactless card layer, for the DESFire deletion; null leaves the deletion unavailable.
    Scard* scard = nullptr;
    /// Holds (true) or lets through again (false) the main window's card events, which call the
    /// library the services test restarts; empty when there is no main window.
    std::function<void(bool)> pauseMainWindowCardEvents = {};
};

/// The maintenance sub-view: the issuer library's trace switch, the diagnostics archive, the
/// services test (after a PIN entry) and the support contact. Main thread only.
class MaintenanceController final : public MaintenancePane, public PinEntryListener, public ServicesOwner {
public:
    /// The view's widgets must be complete; every control is wired here.
    MaintenanceController(ui::MaintenanceView& view, MaintenanceServices services);
    ~MaintenanceController() override;

    // MaintenancePane.
    void aboutToShow(std::optional<unsigned long> slotId, const std::string& readerName,
                     std::shared_ptr<Pkcs11Card> card) override;
    void setServicesTestEnabled(bool enabled) override;
    void setDeleteDESfireEnabled(bool enabled) override;

    /// The check box changed: rewrites the configuration; puts the box back when that fails.
    void onCheckTrace();
    /// The label button: flips the box, then as `onCheckTrace`.
    void onButtonTrace();
    void onExport();
    void onContactSupport();
    /// Opens the PIN entry; the services test follows a successful one.
    void onServicesTest();
    void onDeleteDESfire();

    // PinEntryListener.
    void pinEntryResult(bool success, const std::string& context) override;
    void pinEntered(const SecretBytes& pin) override;

    // ServicesOwner.
    void servicesTestStarted() override;
    void servicesTestEnded(std::shared_ptr<Pkcs11Card> card) override;

    const std::optional<CK_SLOT_ID>& readerSelected() const { return readerSelected_; }
    const std::optional<std::string>& readerNameSelected() const { return readerNameSelected_; }

private:
    void wipeSecret();
    /// Critical alert with the button "Fermer".
    void fail(const std::string& message, const std::string& informative = "");
    /// The contact path, after the PIN entry on the card in `contactReader_`.
    void deleteWithKeyFromCard();
    /// The presence test, the confirmation, the deletion and its alert.
    void deleteOn(const std::string& readerName, const Bytes& key, bool keyFromCard);

    const ui::MaintenanceWidgets& o_;
    MaintenanceServices s_;
    std::shared_ptr<Pkcs11Card> pCard_;
    std::optional<CK_SLOT_ID> readerSelected_;
    std::optional<SecretBytes> secret_;
    std::optional<std::string> readerNameSelected_;
    /// The contact reader whose card gives the key.
    std::string contactReader_;
};

}  // namespace qel
