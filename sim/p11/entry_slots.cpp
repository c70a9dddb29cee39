// Exported functions: library, slots, tokens, sessions, login.
#include <cstring>

#include "sim/p11/entry_common.h"
#include "sim/p11/mechanisms.h"

using namespace qel::simp11;
using namespace qel::simp11::entry;
using ModulePtr = std::shared_ptr<Module>;
using qel::SecretBytes;

namespace {

void blankPad(CK_UTF8CHAR* field, std::size_t size, const char* text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text, std::min(size, std::strlen(text)));
}

}  // namespace

QEL_EXPORT CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
    return guarded(
        "C_Initialize", [&] { return qel::format("pInitArgs=%p", pInitArgs); },
        [&](ModulePtr&) { return initializeLibrary(static_cast<const CK_C_INITIALIZE_ARGS*>(pInitArgs)); });
}

QEL_EXPORT CK_RV C_Finalize(CK_VOID_PTR pReserved) {
    return checkedCall(
        "C_Finalize", pReserved == nullptr, [&] { return qel::format("pReserved=%p", pReserved); },
        [](Module&) { return finalizeLibrary(); });
}

QEL_EXPORT CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
    return checkedCall(
        "C_GetInfo", pInfo != nullptr, [] { return std::string(); },
        [&](Module&) {
            pInfo->cryptokiVersion = {2, 20};
            blankPad(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "Oberlane");
            pInfo->flags = 0;
            blankPad(pInfo->libraryDescription, sizeof pInfo->libraryDescription, "QEL PKCS#11");
            pInfo->libraryVersion = {1, 0};
            return CKR_OK;
        });
}

QEL_EXPORT CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
    return checkedCall(
        "C_GetSlotList", pulCount != nullptr,
        [&] {
            return qel::format("tokenPresent=%d, pSlotList=%p, count=%lu", tokenPresent, static_cast<void*>(pSlotList),
                               pulCount ? *pulCount : 0UL);
        },
        [&](Module& m) { return m.getSlotList(tokenPresent != CK_FALSE, pSlotList, *pulCount); });
}

QEL_EXPORT CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    return slotCall(
        "C_GetSlotInfo", slotID, pInfo != nullptr, [&] { return qel::format("slotID=%lu", slotID); },
        [&](Slot& slot) { return slot.getSlotInfo(*pInfo); });
}

QEL_EXPORT CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    return slotCall(
        "C_GetTokenInfo", slotID, pInfo != nullptr, [&] { return qel::format("slotID=%lu", slotID); },
        [&](Slot& slot) { return slot.getTokenInfo(*pInfo); });
}

QEL_EXPORT CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved) {
    return checkedCall(
        "C_WaitForSlotEvent", pSlot != nullptr && pReserved == nullptr,
        [&] { return qel::format("flags=%s", hex(flags).c_str()); },
        [&](Module& m) { return m.waitForSlotEvent(flags, *pSlot); });
}

QEL_EXPORT CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pList, CK_ULONG_PTR pulCount) {
    return slotCall(
        "C_GetMechanismList", slotID, pulCount != nullptr, [&] { return qel::format("slotID=%lu", slotID); },
        [&](Slot& slot) -> CK_RV {
            if (CK_RV rv = slot.tokenPresence(); rv != CKR_OK) return rv;
            const auto& list = supportedMechanisms();
            if (pList == nullptr) {
                *pulCount = list.size();
                return CKR_OK;
            }
            if (*pulCount < list.size()) {
                *pulCount = list.size();
                return CKR_BUFFER_TOO_SMALL;
            }
            std::copy(list.begin(), list.end(), pList);
            *pulCount = list.size();
            return CKR_OK;
        });
}

QEL_EXPORT CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
    return slotCall(
        "C_GetMechanismInfo", slotID, pInfo != nullptr,
        [&] { return qel::format("slotID=%lu, type=%s", slotID, hex(type).c_str()); },
        [&](Slot& slot) -> CK_RV {
            if (CK_RV rv = slot.tokenPresence(); rv != CKR_OK) return rv;
            if (!isSupportedMechanism(type)) return CKR_MECHANISM_INVALID;
            pInfo->ulMinKeySize = 1024;
            pInfo->ulMaxKeySize = 4096;
            pInfo->flags = CKF_HW | CKF_SIGN | CKF_VERIFY;
            return CKR_OK;
        });
}

QEL_EXPORT CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR) {
    return guarded(
        "C_InitToken", [&] { return qel::format("slotID=%lu", slotID); },
        [&](ModulePtr& m) -> CK_RV { return m ? CKR_FUNCTION_NOT_SUPPORTED : CKR_CRYPTOKI_NOT_INITIALIZED; });
}

QEL_EXPORT CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                               CK_SESSION_HANDLE_PTR phSession) {
    return checkedCall(
        "C_OpenSession", phSession != nullptr,
        [&] {
            return qel::format("slotID=%lu, flags=%s, hSession=%lu", slotID, hex(flags).c_str(),
                               phSession ? *phSession : 0UL);
        },
        [&](Module& m) { return m.openSession(slotID, flags, *phSession); });
}

QEL_EXPORT CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
    return guarded(
        "C_CloseSession", [&] { return qel::format("hSession=%lu", hSession); },
        [&](ModulePtr& m) -> CK_RV { return m ? m->closeSession(hSession) : CKR_CRYPTOKI_NOT_INITIALIZED; });
}

QEL_EXPORT CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
    return guarded(
        "C_CloseAllSessions", [&] { return qel::format("slotID=%lu", slotID); },
        [&](ModulePtr& m) -> CK_RV { return m ? m->closeAllSessions(slotID) : CKR_CRYPTOKI_NOT_INITIALIZED; });
}

QEL_EXPORT CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    return sessionCall(
        "C_GetSessionInfo", hSession, pInfo != nullptr,
        [&] { return qel::format("hSession=%lu, state=%lu", hSession, pInfo ? pInfo->state : 0UL); },
        [&](Slot& s) { return s.getSessionInfo(hSession, *pInfo); });
}

QEL_EXPORT CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    return sessionCall(
        "C_Login", hSession, pPin != nullptr || ulPinLen == 0,
        [&] {
            return qel::format("hSession=%lu, userType=%lu, pPin=%s", hSession, userType, maskedPin(ulPinLen).c_str());
        },
        [&](Slot& s) { return s.login(hSession, userType, SecretBytes(pPin, pPin ? ulPinLen : 0)); });
}

QEL_EXPORT CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
    return sessionCall(
        "C_Logout", hSession, true, [&] { return qel::format("hSession=%lu", hSession); },
        [&](Slot& s) { return s.logout(hSession); });
}

QEL_EXPORT CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    return sessionCall(
        "C_InitPIN", hSession, pPin != nullptr || ulPinLen == 0,
        [&] { return qel::format("hSession=%lu, pPin=%s", hSession, maskedPin(ulPinLen).c_str()); },
        [&](Slot& s) { return s.initPin(hSession, SecretBytes(pPin, pPin ? ulPinLen : 0)); });
}

QEL_EXPORT CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
                          CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
    return sessionCall(
        "C_SetPIN", hSession, (pOldPin != nullptr || ulOldLen == 0) && (pNewPin != nullptr || ulNewLen == 0),
        [&] {
            return qel::format("hSession=%lu, pOldPin=%s, pNewPin=%s", hSession, maskedPin(ulOldLen).c_str(),
                               maskedPin(ulNewLen).c_str());
        },
        [&](Slot& s) {
            return s.setPin(hSession, SecretBytes(pOldPin, pOldPin ? ulOldLen : 0),
                            SecretBytes(pNewPin, pNewPin ? ulNewLen : 0));
        });
}
