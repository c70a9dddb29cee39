#pragma once
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "app/background_queue.h"
#include "app/main_window_parts.h"
#include "common/main_queue.h"
#include "update/apdu_command.h"
#include "update/tmaj_manager.h"

namespace qel {

class Pkcs11Card;
class TmajService;
class HeldUpdateCard;
namespace pcsc {
class PcscApi;
}

/// What the update wizard and the main window need of the update service.
class TmajBackend {
public:
    virtual ~TmajBackend() = default;
    /// Blocks for at most the request timeout: status 1 update available, 0 up to date, -1 check
    /// failed (with why).
    virtual TmajCheck checkTmaj(const std::string& serial) = 0;
    /// Blocks for the whole session; never on the main thread. `progress` is called on the
    /// caller's thread. A stop request ends the session at its next command or request.
    virtual ApduResult performUpdate(Pkcs11Card& card, const std::function<void(int)>& progress,
                                     std::stop_token stop) = 0;
};

/// The program's update client and session. The session holds the card in its reader from the first
/// command to the last (see HeldUpdateCard); only when the library's reader is not one the smart-card
/// service knows does it fall back to the library's pass-through, without the hold (logged).
class ServiceTmajBackend final : public TmajBackend {
public:
    ServiceTmajBackend(TmajManager& manager, TmajService& service);
    ServiceTmajBackend(TmajManager& manager, TmajService& service, std::shared_ptr<pcsc::PcscApi> pcsc);
    TmajCheck checkTmaj(const std::string& serial) override;
    ApduResult performUpdate(Pkcs11Card& card, const std::function<void(int)>& progress, std::stop_token stop) override;

private:
    /// Where every held session ends, whatever its outcome.
    void endSession(HeldUpdateCard& held, Pkcs11Card& card, const ApduResult& outcome, bool cancelled);

    TmajManager& manager_;
    TmajService& service_;
    std::shared_ptr<pcsc::PcscApi> pcsc_;
};

/// The main window's availability check, run on the background queue so that reading a card never
/// waits for the service; the status comes back on the main queue.
class BackgroundUpdateCheck final : public UpdateAvailability {
public:
    BackgroundUpdateCheck(TmajBackend& backend, BackgroundQueue& background, MainQueue& mainQueue)
        : backend_(backend), background_(background), mainQueue_(mainQueue) {}
    void checkAvailability(const std::string& serial, std::function<void(TmajAvailability)> done) override;

private:
    TmajBackend& backend_;
    BackgroundQueue& background_;
    MainQueue& mainQueue_;
};

}  // namespace qel
