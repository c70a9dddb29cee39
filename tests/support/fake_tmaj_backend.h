#pragma once
// The update service and the wizard's owner as test stand-ins.
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/tmaj_backend.h"
#include "app/tmaj_view_controller.h"
#include "pkcs11/pkcs11_card.h"

namespace qel::test {

/// The service answers `status`; the session reports `progress` and ends with `outcome`, once the
/// test calls release() when `holdSession` is set.
struct ScriptedBackend : TmajBackend {
    int checkTmaj(const std::string& serial) override {
        checkedSerials.push_back(serial);
        return status;
    }
    ApduResult performUpdate(Pkcs11Card& card, const std::function<void(int)>& report) override {
        updatedSerial = card.serial;
        for (int p : progress) {
            report(p);
            std::lock_guard lock(mutex);
            ++reportedCount;
        }
        std::unique_lock lock(mutex);
        opened.wait(lock, [this] { return !holdSession; });
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
    std::condition_variable opened;
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
