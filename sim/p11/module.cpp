#include "sim/p11/module.h"

#include <unistd.h>

#include "sim/p11/pcsc_backend.h"

namespace qel::simp11 {

namespace {

struct Library {
    std::mutex mutex;
    std::shared_ptr<Module> module;
    pid_t pid = 0;
    BackendFactory factory;
};

Library& library() {
    static Library lib;
    return lib;
}

}  // namespace

void setBackendFactory(BackendFactory factory) {
    std::lock_guard lock(library().mutex);
    library().factory = std::move(factory);
}

std::shared_ptr<Module> currentModule() {
    Library& lib = library();
    std::lock_guard lock(lib.mutex);
    if (!lib.module || lib.pid != getpid()) return nullptr;
    return lib.module;
}

CK_RV initializeLibrary(const CK_C_INITIALIZE_ARGS* args) {
    if (args != nullptr) {
        if (args->pReserved != nullptr) return CKR_ARGUMENTS_BAD;
        int given = (args->CreateMutex != nullptr) + (args->DestroyMutex != nullptr) + (args->LockMutex != nullptr) +
                    (args->UnlockMutex != nullptr);
        if (given != 0 && given != 4) return CKR_ARGUMENTS_BAD;
        // Our own locks are OS locks: usable unless the application insists on its functions.
        if (given == 4 && !(args->flags & CKF_OS_LOCKING_OK)) return CKR_CANT_LOCK;
    }
    Library& lib = library();
    std::lock_guard lock(lib.mutex);
    if (lib.module && lib.pid == getpid()) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    if (lib.module) {
        // Forked after C_Initialize: the parent's PC/SC connections are not ours to close.
        new std::shared_ptr<Module>(std::move(lib.module));
    }
    std::unique_ptr<CardBackend> backend = lib.factory ? lib.factory() : std::make_unique<PcscBackend>();
    lib.module = std::make_shared<Module>(std::move(backend));
    lib.pid = getpid();
    return CKR_OK;
}

CK_RV finalizeLibrary() {
    std::shared_ptr<Module> module;
    {
        Library& lib = library();
        std::lock_guard lock(lib.mutex);
        if (!lib.module || lib.pid != getpid()) return CKR_CRYPTOKI_NOT_INITIALIZED;
        module = std::move(lib.module);
    }
    module->shutdown();
    return CKR_OK;
}

Module::Module(std::unique_ptr<CardBackend> backend) : backend_(std::move(backend)) {
    trace_.configure();
    // Listing readers talks to the service, not to any card.
    std::vector<ReaderStatus> readers = backend_->readers();
    std::lock_guard lock(mutex_);
    refreshSlots(readers);
    for (const ReaderStatus& r : readers) seen_[r.name] = Seen{r.cardPresent, r.eventCount};
}

Module::~Module() { trace_.close(); }

void Module::shutdown() {
    shuttingDown_.store(true);
    backend_->cancelWait();
    std::vector<std::shared_ptr<Slot>> slots;
    {
        std::lock_guard lock(mutex_);
        slots = slots_;
        sessionSlots_.clear();
    }
    for (auto& s : slots) s->closeAllSessions();
}

void Module::refreshSlots(const std::vector<ReaderStatus>& readers) {
    for (const ReaderStatus& r : readers) {
        bool known = false;
        for (const auto& s : slots_) known = known || s->readerName() == r.name;
        if (!known) slots_.push_back(std::make_shared<Slot>(slots_.size(), r.name, *backend_, objectHandles_));
    }
}

CK_RV Module::getSlotList(bool tokenPresent, CK_SLOT_ID* list, CK_ULONG& count) {
    std::vector<ReaderStatus> readers = backend_->readers();
    std::vector<CK_SLOT_ID> ids;
    {
        std::lock_guard lock(mutex_);
        refreshSlots(readers);
        for (const ReaderStatus& r : readers) {
            if (tokenPresent && !(r.cardPresent && generationFromAtr(r.atr))) continue;
            for (const auto& s : slots_)
                if (s->readerName() == r.name) ids.push_back(s->id());
        }
    }
    if (list == nullptr) {
        count = ids.size();
        return CKR_OK;
    }
    if (count < ids.size()) {
        count = ids.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(ids.begin(), ids.end(), list);
    count = ids.size();
    return CKR_OK;
}

std::shared_ptr<Slot> Module::slot(CK_SLOT_ID id) {
    std::lock_guard lock(mutex_);
    return id < slots_.size() ? slots_[id] : nullptr;
}

std::shared_ptr<Slot> Module::slotOfSession(CK_SESSION_HANDLE handle) {
    std::lock_guard lock(mutex_);
    auto it = sessionSlots_.find(handle);
    return it == sessionSlots_.end() ? nullptr : slots_[it->second];
}

CK_RV Module::openSession(CK_SLOT_ID id, CK_FLAGS flags, CK_SESSION_HANDLE& handle) {
    std::shared_ptr<Slot> s = slot(id);
    if (!s) return CKR_SLOT_ID_INVALID;
    CK_SESSION_HANDLE h;
    {
        std::lock_guard lock(mutex_);
        h = ++lastSession_;
    }
    CK_RV rv = s->openSession(h, flags);
    if (rv != CKR_OK) return rv;
    std::lock_guard lock(mutex_);
    sessionSlots_[h] = id;
    handle = h;
    return CKR_OK;
}

CK_RV Module::closeSession(CK_SESSION_HANDLE handle) {
    std::shared_ptr<Slot> s = slotOfSession(handle);
    if (!s) return CKR_SESSION_HANDLE_INVALID;
    CK_RV rv = s->closeSession(handle);
    std::lock_guard lock(mutex_);
    sessionSlots_.erase(handle);
    return rv;
}

CK_RV Module::closeAllSessions(CK_SLOT_ID id) {
    std::shared_ptr<Slot> s = slot(id);
    if (!s) return CKR_SLOT_ID_INVALID;
    s->closeAllSessions();
    std::lock_guard lock(mutex_);
    for (auto it = sessionSlots_.begin(); it != sessionSlots_.end();)
        it = it->second == id ? sessionSlots_.erase(it) : std::next(it);
    return CKR_OK;
}

void Module::forgetSession(CK_SESSION_HANDLE handle) {
    std::lock_guard lock(mutex_);
    sessionSlots_.erase(handle);
}

CK_RV Module::waitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID& id) {
    while (!shuttingDown_.load()) {
        std::vector<ReaderStatus> readers = backend_->readers();
        {
            std::lock_guard lock(mutex_);
            refreshSlots(readers);
            for (const ReaderStatus& r : readers) {
                Seen now{r.cardPresent, r.eventCount};
                auto it = seen_.find(r.name);
                bool changed = it == seen_.end() ? r.cardPresent : it->second != now;
                seen_[r.name] = now;
                if (!changed) continue;
                for (const auto& s : slots_)
                    if (s->readerName() == r.name) id = s->id();
                return CKR_OK;
            }
        }
        if (flags & CKF_DONT_BLOCK) return CKR_NO_EVENT;
        if (!backend_->waitForChange(readers)) break;
    }
    return CKR_CRYPTOKI_NOT_INITIALIZED;
}

}  // namespace qel::simp11
