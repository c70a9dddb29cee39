#pragma once
// The main window's links to functions built elsewhere (certificates view with the revocation
// check, trust installation, maintenance, authentication service, update wizard). Each is a small
// interface; an absent one leaves its button following the enablement table and does nothing else.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "management/trust/trust_installer.h"

namespace qel {

class Pkcs11Card;
class Pkcs11X509;

/// The certificates sub-view and its revocation check.
class CertificatesPane {
public:
    virtual ~CertificatesPane() = default;
    /// The sub-view is about to be shown in the container.
    virtual void viewWillAppear() {}
    /// Hands over the card's certificates; nothing empties the view.
    virtual void setCertificates(std::optional<std::vector<std::shared_ptr<Pkcs11X509>>> certificates) = 0;
    virtual std::size_t certificateCount() const = 0;
    /// Runs the revocation check of the certificates held; true when the card is revoked.
    virtual bool isCardRevoked() = 0;
};

/// The maintenance sub-view's buttons that follow the card state.
class MaintenancePane {
public:
    virtual ~MaintenancePane() = default;
    /// The sub-view is about to be shown: the selected reader's slot identifier (absent without a
    /// selected reader), its platform name without surrounding control characters, and its card.
    virtual void viewWillAppear(std::optional<unsigned long> slotId, const std::string& readerName,
                                std::shared_ptr<Pkcs11Card> card) {}
    virtual void setServicesTestEnabled(bool enabled) = 0;
    virtual void setDeleteDESfireEnabled(bool enabled) = 0;
};

/// The authentication service's settings and environment.
class VekSettings {
public:
    virtual ~VekSettings() = default;
    /// Loads the service settings (when the window loads), creating the file with the defaults.
    virtual void loadParams() = 0;
    /// The service's environment switch: the test environment for a test card.
    virtual void setTestEnvironment(bool isTestEnvironment) = 0;
};

/// The update service's availability check for the card in the reader.
class UpdateAvailability {
public:
    virtual ~UpdateAvailability() = default;
    /// Returns at once; `done` gets the status (1 update available, 0 up to date, -1 check failed)
    /// later, on the main thread.
    virtual void checkAvailability(const std::string& serial, std::function<void(int)> done) = 0;
};

/// Everything the main window reaches only through these hooks. Null members are not wired.
struct LaterHooks {
    CertificatesPane* certificates = nullptr;
    TrustInstaller* trust = nullptr;
    /// Null until the maintenance view exists.
    MaintenancePane* maintenance = nullptr;
    VekSettings* vek = nullptr;
    /// Null: the update badge stays hidden.
    UpdateAvailability* updates = nullptr;
};

}  // namespace qel
