#pragma once
// Helpers of the exported C functions: the boundary checks arguments, then runs the C++ inside a
// catch-all, and writes one trace line when traces are on.
#include <p11-kit/pkcs11.h>

#include <new>
#include <string>

#include "common/format.h"
#include "sim/p11/module.h"

#define QEL_EXPORT extern "C" __attribute__((visibility("default")))

namespace qel::simp11::entry {

/// Runs `body` (returning CK_RV) with no exception escaping, and traces the call with the text
/// that `describe` builds (called only when traces are on).
template <typename Describe, typename Body>
CK_RV guarded(const char* function, Describe&& describe, Body&& body) {
    std::shared_ptr<Module> module;
    CK_RV rv;
    try {
        module = currentModule();
        rv = body(module);
    } catch (const std::bad_alloc&) {
        rv = CKR_HOST_MEMORY;
    } catch (...) {
        rv = CKR_GENERAL_ERROR;
    }
    try {
        if (!module) module = currentModule();
        if (module && module->trace().enabled()) module->trace().write(function, describe(), rv);
    } catch (...) {
    }
    return rv;
}

/// Runs fn(slot) for the slot of a session; unknown handles give CKR_SESSION_HANDLE_INVALID.
template <typename Fn>
CK_RV onSession(Module& module, CK_SESSION_HANDLE handle, Fn&& fn) {
    std::shared_ptr<Slot> slot = module.slotOfSession(handle);
    if (!slot) return CKR_SESSION_HANDLE_INVALID;
    CK_RV rv = fn(*slot);
    if (rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_DEVICE_REMOVED) module.forgetSession(handle);
    return rv;
}

/// The shape of most exported functions: CKR_CRYPTOKI_NOT_INITIALIZED before C_Initialize, then
/// CKR_ARGUMENTS_BAD unless `argumentsOk`, then body(module); traced and guarded as `guarded` does.
template <typename Describe, typename Body>
CK_RV checkedCall(const char* function, bool argumentsOk, Describe&& describe, Body&& body) {
    return guarded(function, describe, [&](std::shared_ptr<Module>& m) -> CK_RV {
        if (!m) return CKR_CRYPTOKI_NOT_INITIALIZED;
        if (!argumentsOk) return CKR_ARGUMENTS_BAD;
        return body(*m);
    });
}

/// checkedCall whose body is fn(slot) on the slot of a session (see onSession).
template <typename Describe, typename Fn>
CK_RV sessionCall(const char* function, CK_SESSION_HANDLE handle, bool argumentsOk, Describe&& describe, Fn&& fn) {
    return checkedCall(function, argumentsOk, describe, [&](Module& m) { return onSession(m, handle, fn); });
}

/// checkedCall whose body is fn(slot) on a slot by its identifier; unknown ones give
/// CKR_SLOT_ID_INVALID.
template <typename Describe, typename Fn>
CK_RV slotCall(const char* function, CK_SLOT_ID id, bool argumentsOk, Describe&& describe, Fn&& fn) {
    return checkedCall(function, argumentsOk, describe, [&](Module& m) -> CK_RV {
        std::shared_ptr<Slot> slot = m.slot(id);
        return slot ? fn(*slot) : CKR_SLOT_ID_INVALID;
    });
}

inline std::string hex(unsigned long v) { return qel::format("0x%lx", v); }

/// A PIN as the trace shows it: one FF per byte, never the code.
inline std::string maskedPin(CK_ULONG length) {
    std::string s;
    for (CK_ULONG i = 0; i < length && i < 64; ++i) s += "FF";
    return s;
}

inline Bytes bytesOf(const CK_BYTE* data, CK_ULONG length) {
    return data == nullptr ? Bytes{} : Bytes(data, data + length);
}

}  // namespace qel::simp11::entry
