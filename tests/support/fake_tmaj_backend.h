#pragma once
// The update service and the wizard's owner as test stand-ins.
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <optional>
#include <string>
#include <vector>

#include "app/tmaj_backend.h"
#include "app/tmaj_view_controller.h"
#include "issuerlib/pkcs11_card.h"
#include "update/tmaj_service.h"

namespace qel::test {

/// The service answers `status` (with `httpStatus` and `failure` when it fails); the session
/// reports `progress` and ends with `outcome`, once the test calls release() when `holdSession` is
/// set. A held session that is asked to stop ends at once with the session's cancelled outcome.
struct ScriptedBackend : TmajBackend {
    TmajCheck checkTmaj(const std::string& serial) override {
        checkedSerials.push_back(serial);
        return TmajCheck{status, httpStatus, failure};
    }
    ApduResult performUpdate(Pkcs11Card& card, const std::function<void(int)>& report, std::stop_token stop) override {
        updatedSerial = card.serial;
        for (int p : progress) {
            report(p);
            std::lock_guard lock(mutex);
            ++reportedCount;
        }
        std::unique_lock lock(mutex);
        opened.wait(lock, stop, [this] { return !holdSession; });
        if (stop.stop_requested()) {
            stopped = true;
            return ApduResult::failure(ApduResultCode::CODE_INTERNAL_ERROR, tmaj_messages::cancelled);
        }
        return outcome;
    }
    void release() {
        {
            std::lock_guard lock(mutex);
            holdSession = false;
        }
        opened.notify_all();
    }

    int status = 1;
    long httpStatus = 0;
    std::string failure;
    /// The session saw the stop request.
    bool stopped = false;
    std::vector<int> progress{20, 40, 60, 80, 90, 100};
    /// How many progress values the session reported so far (any thread).
    int reported() {
        std::lock_guard lock(mutex);
        return reportedCount;
    }
    ApduResult outcome = ApduResult::success();
    bool holdSession = false;
    int reportedCount = 0;
    std::mutex mutex;
    std::condition_variable_any opened;
    std::vector<std::string> checkedSerials;
    std::string updatedSerial;
};

struct RecordingTmajDelegate : TmajDelegate {
    void setCardBlocked(bool b) override { blocked = b; }
    void updateUI() override { ++updates; }
    void updateWizardClosed(bool cardUpdated) override { closings.push_back(cardUpdated); }
    void updateSucceeded() override { ++successes; }
    std::optional<bool> blocked;
    int updates = 0;
    std::vector<bool> closings;
    int successes = 0;  ///< told as each successful session ended
};

}  // namespace qel::test
