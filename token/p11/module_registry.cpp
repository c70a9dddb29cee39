#include "token/p11/module_registry.h"

#include <openssl/crypto.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/format.h"
#include "common/logger.h"

namespace qel::p11 {

namespace {

// What the C functions reach. It is never destroyed: hosts call in from their exit handlers and
// static destructors (NSS shuts down from one), which may run after this library's own static
// destructors. Reachable from a global pointer, so leak checkers do not report it.
struct Registry {
    std::shared_ptr<Module> module;
    pid_t pid = 0;
    std::function<std::shared_ptr<ReaderService>()> factory;
    /// Modules of the parent, left untouched in a child: their locks and smart-card connections
    /// belong to the parent.
    std::vector<std::shared_ptr<Module>> abandoned;
    bool prepared = false;  ///< the once-per-process set-up of the first C_Initialize is done
};

// Only trivially destructible objects at namespace scope. A plain pthread mutex, so that a child
// process can start over with a fresh one: another thread of the parent may have held it at fork time.
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
Registry* g_registry = nullptr;

// Caller holds g_mutex.
Registry& registry() {
    if (g_registry == nullptr) g_registry = new Registry;
    return *g_registry;
}

void abandonModule(Registry& r) {
    if (!r.module) return;
    r.abandoned.push_back(std::move(r.module));
    r.module.reset();
}

void childAfterFork() {
    g_mutex = PTHREAD_MUTEX_INITIALIZER;
    if (g_registry != nullptr) abandonModule(*g_registry);
}

struct Lock {
    Lock() { pthread_mutex_lock(&g_mutex); }
    ~Lock() { pthread_mutex_unlock(&g_mutex); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
};

// The process ends: no card this process verified stays verified for the programs that outlive it,
// whether or not the host finalises the module. The module itself goes on answering, since a later
// exit handler of the host may still call in.
void endLoginsAtExit() {
    std::shared_ptr<Module> module;
    {
        Lock lock;
        if (g_registry == nullptr || g_registry->pid != ::getpid()) return;
        module = g_registry->module;
    }
    if (!module) return;
    try {
        module->endLogins(true);
    } catch (...) {
        logError("Sigilla : the logins could not be ended at the end of the process");
    }
}

// The switch names the process that asks: the programs it starts inherit the variable, not the
// permission.
bool adoptionAsked() {
    const char* value = std::getenv(kAdoptVerifiedCardVariable);
    return value != nullptr && std::to_string(::getpid()) == value;
}

}  // namespace

std::shared_ptr<Module> currentModule() {
    Lock lock;
    if (g_registry == nullptr) return nullptr;
    Registry& r = *g_registry;
    // A child of a process that did not run our fork handler (clone without it) still finds out.
    if (r.module && r.pid != ::getpid()) abandonModule(r);
    return r.module;
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
    try {
        Lock lock;
        Registry& r = registry();
        if (!r.prepared) {
            r.prepared = true;
            // OpenSSL's own exit handler would run before those of a host that loaded it through
            // this module, which may still call in.
            OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
            pthread_atfork(nullptr, nullptr, childAfterFork);
            std::atexit(endLoginsAtExit);
            Logger::configure("/SigillaDriver", "Sigilla");
        }
        if (r.module && r.pid == ::getpid()) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
        abandonModule(r);
        r.module = std::make_shared<Module>(r.factory ? r.factory() : makePcscReaderService(), adoptionAsked());
        r.pid = ::getpid();
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
        if (g_registry == nullptr) return CKR_CRYPTOKI_NOT_INITIALIZED;
        Registry& r = *g_registry;
        if (!r.module || r.pid != ::getpid()) {
            abandonModule(r);
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        }
        module = std::move(r.module);
        r.module.reset();
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
    registry().factory = std::move(factory);
}

}  // namespace qel::p11
