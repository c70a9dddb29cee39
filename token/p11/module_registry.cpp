#include "token/p11/module_registry.h"

#include <pthread.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "common/format.h"
#include "common/logger.h"

namespace qel::p11 {

namespace {

// A plain pthread mutex so that a child process can start over with a fresh one: another thread of
// the parent may have held it at fork time.
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
std::shared_ptr<Module> g_module;
pid_t g_pid = 0;
std::function<std::shared_ptr<ReaderService>()> g_factory;

// Modules of the parent, left untouched in a child: their locks and smart-card connections belong
// to the parent. Kept reachable so that leak checkers do not report them.
std::vector<std::shared_ptr<Module>>* g_abandoned = nullptr;

void abandonModule() {
    if (!g_module) return;
    if (g_abandoned == nullptr) g_abandoned = new std::vector<std::shared_ptr<Module>>;
    g_abandoned->push_back(std::move(g_module));
    g_module.reset();
}

void childAfterFork() {
    g_mutex = PTHREAD_MUTEX_INITIALIZER;
    abandonModule();
}

struct Lock {
    Lock() { pthread_mutex_lock(&g_mutex); }
    ~Lock() { pthread_mutex_unlock(&g_mutex); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
};

}  // namespace

std::shared_ptr<Module> currentModule() {
    Lock lock;
    // A child of a process that did not run our fork handler (clone without it) still finds out.
    if (g_module && g_pid != ::getpid()) abandonModule();
    return g_module;
}

CK_RV initializeModule(CK_VOID_PTR args) noexcept {
    if (args != nullptr) {
        const auto* a = static_cast<const CK_C_INITIALIZE_ARGS*>(args);
        if (a->pReserved != nullptr) return CKR_ARGUMENTS_BAD;
        const int given = (a->CreateMutex != nullptr) + (a->DestroyMutex != nullptr) + (a->LockMutex != nullptr) +
                          (a->UnlockMutex != nullptr);
        if (given != 0 && given != 4) return CKR_ARGUMENTS_BAD;
        if (given == 4 && !(a->flags & CKF_OS_LOCKING_OK)) return CKR_CANT_LOCK;
    }
    static std::once_flag once;
    try {
        std::call_once(once, [] {
            pthread_atfork(nullptr, nullptr, childAfterFork);
            SwiftLogger::configure("/SigillaDriver", "Sigilla");
        });
        Lock lock;
        if (g_module && g_pid == ::getpid()) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
        abandonModule();
        g_module = std::make_shared<Module>(g_factory ? g_factory() : makePcscReaderService());
        g_pid = ::getpid();
        return CKR_OK;
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

CK_RV finalizeModule(CK_VOID_PTR reserved) noexcept {
    if (reserved != nullptr) return CKR_ARGUMENTS_BAD;
    std::shared_ptr<Module> module;
    {
        Lock lock;
        if (!g_module || g_pid != ::getpid()) {
            abandonModule();
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        module = std::move(g_module);
        g_module.reset();
    }
    // The module is forgotten whatever fails here; what failed is said in the log.
    try {
        module->cancelWaits();
    } catch (const std::exception& e) {
        logError(format("Sigilla : C_Finalize could not end the waits for slot events : %s", e.what()));
    } catch (...) {
        logError("Sigilla : C_Finalize could not end the waits for slot events");
    }
    try {
        module->endLogins();
    } catch (const std::exception& e) {
        logError(format("Sigilla : C_Finalize could not end the logins : %s", e.what()));
    } catch (...) {
        logError("Sigilla : C_Finalize could not end the logins");
    }
    return CKR_OK;
}

void setReaderServiceFactory(std::function<std::shared_ptr<ReaderService>()> factory) {
    Lock lock;
    g_factory = std::move(factory);
}

}  // namespace qel::p11
