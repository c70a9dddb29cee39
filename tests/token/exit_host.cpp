// sigilla-exit-host: a host that calls into the module while its process ends, as NSS does when it
// shuts down from an exit handler.
//   sigilla-exit-host exit|leave MODULE LABEL PIN
//   sigilla-exit-host twice MODULE LABEL PIN PROXY
// The exit handler is registered before the module is loaded, so that it runs after whatever the
// module set up for the end of the process; a static object of this program, built before main, is
// destroyed later still. In main: C_Initialize, two sessions on the token labelled LABEL, a login
// and a signature with each private key that accepts one.
//   exit   the exit handler and the static destructor call in, each after the other's C_Finalize;
//   leave  the process ends logged in, with no call of its own;
//   twice  the module is reached a second time through p11-kit's proxy (PROXY) in this process,
//          with its registration where the proxy looks, and each path is finalised in turn.
// Every call prints "<place> <function> <rv in hex>"; the caller compares.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "token/p11/pkcs11.h"

namespace {

CK_FUNCTION_LIST_PTR g_module = nullptr;
CK_SLOT_ID g_slot = 0;
std::string g_label;

void report(const char* place, const char* function, CK_RV rv) {
    std::printf("%s %s 0x%lx\n", place, function, static_cast<unsigned long>(rv));
    std::fflush(stdout);
}

CK_FUNCTION_LIST_PTR load(const char* path) {
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::printf("dlopen %s: %s\n", path, dlerror());
        std::exit(2);
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR list = nullptr;
    if (getList == nullptr || getList(&list) != CKR_OK) std::exit(2);
    return list;
}

// CKR_OK with the slot of the token labelled LABEL; CKR_TOKEN_NOT_PRESENT (and the labels seen, on
// standard error) when no slot holds it.
CK_RV slotWithLabel(CK_FUNCTION_LIST_PTR f, CK_SLOT_ID& found) {
    CK_SLOT_ID slots[64];
    CK_ULONG count = 64;
    if (CK_RV rv = f->C_GetSlotList(CK_TRUE, slots, &count); rv != CKR_OK) {
        // Which slot fails, on standard error.
        count = 64;
        if (f->C_GetSlotList(CK_FALSE, slots, &count) == CKR_OK) {
            for (CK_ULONG i = 0; i < count; ++i) {
                CK_SLOT_INFO info{};
                const CK_RV slotRv = f->C_GetSlotInfo(slots[i], &info);
                std::fprintf(stderr, "slot %lu [%.64s]: C_GetSlotInfo 0x%lx\n", static_cast<unsigned long>(slots[i]),
                             reinterpret_cast<const char*>(info.slotDescription), static_cast<unsigned long>(slotRv));
            }
        }
        return rv;
    }
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_TOKEN_INFO info{};
        if (CK_RV rv = f->C_GetTokenInfo(slots[i], &info); rv != CKR_OK) {
            std::fprintf(stderr, "slot %lu: C_GetTokenInfo 0x%lx\n", static_cast<unsigned long>(slots[i]),
                         static_cast<unsigned long>(rv));
            continue;
        }
        std::string text(reinterpret_cast<char*>(info.label), sizeof info.label);
        text.erase(text.find_last_not_of(' ') + 1);
        if (text == g_label) {
            found = slots[i];
            return CKR_OK;
        }
        std::fprintf(stderr, "slot %lu: token [%s]\n", static_cast<unsigned long>(slots[i]), text.c_str());
    }
    return CKR_TOKEN_NOT_PRESENT;
}

CK_RV login(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, const char* pin) {
    return f->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin)), std::strlen(pin));
}

// A signature with every private key that signs: the module's tables are all in use afterwards.
CK_RV signWithEachKey(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s) {
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE wanted{CKA_CLASS, &cls, sizeof cls};
    CK_OBJECT_HANDLE keys[8];
    CK_ULONG count = 0;
    if (CK_RV rv = f->C_FindObjectsInit(s, &wanted, 1); rv != CKR_OK) return rv;
    f->C_FindObjects(s, keys, 8, &count);
    f->C_FindObjectsFinal(s);
    if (count == 0) return CKR_GENERAL_ERROR;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
        if (CK_RV rv = f->C_SignInit(s, &mechanism, keys[i]); rv != CKR_OK) return rv;
        CK_BYTE data[] = "a text to sign";
        CK_BYTE signature[512];
        CK_ULONG length = sizeof signature;
        if (CK_RV rv = f->C_Sign(s, data, sizeof data, signature, &length); rv != CKR_OK) return rv;
    }
    return CKR_OK;
}

// What the static destructor does: a new module life from start to end, and calls after it.
void lateLife(const char* place) {
    CK_ULONG count = 0;
    report(place, "C_Initialize", g_module->C_Initialize(nullptr));
    report(place, "C_GetSlotList", g_module->C_GetSlotList(CK_TRUE, nullptr, &count));
    CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
    report(place, "C_OpenSession", g_module->C_OpenSession(g_slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s));
    report(place, "C_CloseAllSessions", g_module->C_CloseAllSessions(g_slot));
    report(place, "C_Finalize", g_module->C_Finalize(nullptr));
    report(place, "C_CloseAllSessions", g_module->C_CloseAllSessions(g_slot));
    report(place, "C_GetSlotList", g_module->C_GetSlotList(CK_TRUE, nullptr, &count));
}

void exitHandler() {
    if (g_module == nullptr) return;
    CK_ULONG count = 0;
    CK_SESSION_INFO info{};
    report("atexit", "C_GetSlotList", g_module->C_GetSlotList(CK_TRUE, nullptr, &count));
    report("atexit", "C_GetSessionInfo", g_module->C_GetSessionInfo(1, &info));
    report("atexit", "C_CloseAllSessions", g_module->C_CloseAllSessions(g_slot));
    report("atexit", "C_Finalize", g_module->C_Finalize(nullptr));
    report("atexit", "C_GetSlotList", g_module->C_GetSlotList(CK_TRUE, nullptr, &count));
    report("atexit", "C_CloseAllSessions", g_module->C_CloseAllSessions(g_slot));
}

struct LateCaller {
    LateCaller() = default;
    LateCaller(const LateCaller&) = delete;
    LateCaller& operator=(const LateCaller&) = delete;
    ~LateCaller() {
        if (g_module != nullptr) lateLife("destructor");
    }
};
LateCaller g_lateCaller;

// Both paths see the token: a session, a login and a signature through each.
void useThrough(const char* place, CK_FUNCTION_LIST_PTR f, const char* pin) {
    CK_SLOT_ID slot = 0;
    if (CK_RV rv = slotWithLabel(f, slot); rv != CKR_OK) {
        report(place, "token", rv);
        return;
    }
    CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
    report(place, "C_OpenSession", f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s));
    const CK_RV rv = login(f, s, pin);
    report(place, "C_Login", rv == CKR_USER_ALREADY_LOGGED_IN ? CKR_OK : rv);
    report(place, "C_Sign", signWithEachKey(f, s));
}

int twice(const char* pin, const char* proxyPath) {
    CK_FUNCTION_LIST_PTR proxy = load(proxyPath);
    report("direct", "C_Initialize", g_module->C_Initialize(nullptr));
    report("proxy", "C_Initialize", proxy->C_Initialize(nullptr));
    useThrough("direct", g_module, pin);
    useThrough("proxy", proxy, pin);
    // The proxy found the module initialised and leaves its end to the host that began it.
    report("proxy", "C_Finalize", proxy->C_Finalize(nullptr));
    useThrough("direct", g_module, pin);
    report("direct", "C_Finalize", g_module->C_Finalize(nullptr));

    // The other way round: the proxy begins, the host finds the module initialised; the proxy's end
    // ends it for both, and the host's later calls are answered, not crashed on.
    report("proxy", "C_Initialize", proxy->C_Initialize(nullptr));
    report("direct", "C_Initialize", g_module->C_Initialize(nullptr));
    useThrough("proxy", proxy, pin);
    report("proxy", "C_Finalize", proxy->C_Finalize(nullptr));
    CK_ULONG count = 0;
    report("direct", "C_GetSlotList", g_module->C_GetSlotList(CK_TRUE, nullptr, &count));
    g_module = nullptr;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) return 2;
    const std::string mode = argv[1];
    g_label = argv[3];
    std::atexit(exitHandler);
    g_module = load(argv[2]);
    if (mode == "twice") return argc == 6 ? twice(argv[4], argv[5]) : 2;

    report("main", "C_Initialize", g_module->C_Initialize(nullptr));
    if (CK_RV rv = slotWithLabel(g_module, g_slot); rv != CKR_OK) {
        report("main", "token", rv);
        g_module = nullptr;
        return 1;
    }
    CK_SESSION_HANDLE first = CK_INVALID_HANDLE;
    CK_SESSION_HANDLE second = CK_INVALID_HANDLE;
    report("main", "C_OpenSession", g_module->C_OpenSession(g_slot, CKF_SERIAL_SESSION, nullptr, nullptr, &first));
    report("main", "C_OpenSession", g_module->C_OpenSession(g_slot, CKF_SERIAL_SESSION, nullptr, nullptr, &second));
    report("main", "C_Login", login(g_module, first, argv[4]));
    report("main", "C_Sign", signWithEachKey(g_module, second));
    if (mode == "leave") g_module = nullptr;
    return 0;
}
