#pragma once
#include <functional>
#include <string>

#include "app/background_queue.h"
#include "app/later_hooks.h"
#include "common/main_queue.h"
#include "update/apdu_command.h"

namespace qel {

class Pkcs11Card;
class TmajManager;
class TmajService;

/// What the update wizard and the main window need of the update service.
class TmajBackend {
public:
    virtual ~TmajBackend() = default;
    /// Blocks for at most the request timeout: 1 update available, 0 up to date, -1 check failed.
    virtual int checkTmaj(const std::string& serial) = 0;
    /// Blocks for the whole session; never on the main thread. `progress` is called on the
    /// caller's thread.
    virtual ApduResult performUpdate(Pkcs11Card& card, const std::function<void(int)>& progress) = 0;
};

/// The program's update client and session.
class ServiceTmajBackend final : public TmajBackend {
public:
    ServiceTmajBackend(TmajManager& manager, TmajService& service) : manager_(manager), service_(service) {}
    int checkTmaj(const std::string& serial) override;
    ApduResult performUpdate(Pkcs11Card& card, const std::function<void(int)>& progress) override;

private:
    TmajManager& manager_;
    TmajService& service_;
};

/// The main window's availability check, run on the background queue so that reading a card never
/// waits for the service; the status comes back on the main queue.
class BackgroundUpdateCheck final : public UpdateAvailability {
public:
    BackgroundUpdateCheck(TmajBackend& backend, BackgroundQueue& background, MainQueue& mainQueue)
        : backend_(backend), background_(background), mainQueue_(mainQueue) {}
    void checkAvailability(const std::string& serial, std::function<void(int)> done) override;

private:
    TmajBackend& backend_;
    BackgroundQueue& background_;
    MainQueue& mainQueue_;
};

}  // namespace qel
