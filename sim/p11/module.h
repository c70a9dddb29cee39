#pragma once
#include <p11-kit/pkcs11.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/p11/card_backend.h"
#include "sim/p11/slot.h"
#include "sim/p11/trace.h"

namespace qel::simp11 {

using BackendFactory = std::function<std::unique_ptr<CardBackend>()>;

/// Replaces the smart-card service the next C_Initialize uses (unit tests); an empty factory
/// restores pcscd.
void setBackendFactory(BackendFactory factory);

/// The initialised library: slots (one per reader, numbered from 0 in the service's order and
/// kept for the module's life), the session directory and the slot-event bookkeeping.
/// Thread-safe; the module lock is never held while a slot's lock is taken or a wait blocks.
class Module {
public:
    explicit Module(std::unique_ptr<CardBackend> backend);
    ~Module();

    Trace& trace() { return trace_; }

    CK_RV getSlotList(bool tokenPresent, CK_SLOT_ID* list, CK_ULONG& count);
    /// The slot of an identifier, or nullptr.
    std::shared_ptr<Slot> slot(CK_SLOT_ID id);
    /// The slot a session was opened on, or nullptr.
    std::shared_ptr<Slot> slotOfSession(CK_SESSION_HANDLE handle);

    CK_RV openSession(CK_SLOT_ID id, CK_FLAGS flags, CK_SESSION_HANDLE& handle);
    CK_RV closeSession(CK_SESSION_HANDLE handle);
    CK_RV closeAllSessions(CK_SLOT_ID id);
    /// Drops a handle whose slot no longer knows it (closed by a card removal).
    void forgetSession(CK_SESSION_HANDLE handle);

    /// A slot whose card came or went since the last report (or since C_Initialize). Blocks
    /// unless CKF_DONT_BLOCK; CKR_CRYPTOKI_NOT_INITIALIZED when C_Finalize ends the wait.
    CK_RV waitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID& id);
    /// Ends blocked waits (C_Finalize).
    void shutdown();

private:
    void refreshSlots(const std::vector<ReaderStatus>& readers);

    std::unique_ptr<CardBackend> backend_;
    HandleCounter objectHandles_{0};
    Trace trace_;
    std::atomic<bool> shuttingDown_{false};

    std::mutex mutex_;
    std::vector<std::shared_ptr<Slot>> slots_;
    std::map<CK_SESSION_HANDLE, CK_SLOT_ID> sessionSlots_;
    CK_SESSION_HANDLE lastSession_ = 0;
    struct Seen {
        bool present = false;
        std::uint32_t eventCount = 0;
        bool operator!=(const Seen& o) const { return present != o.present || eventCount != o.eventCount; }
    };
    std::map<std::string, Seen> seen_;
};

/// The module of this process, or nullptr before C_Initialize, after C_Finalize and in a child
/// process forked after C_Initialize.
std::shared_ptr<Module> currentModule();
CK_RV initializeLibrary(const CK_C_INITIALIZE_ARGS* args);
CK_RV finalizeLibrary();

}  // namespace qel::simp11
