// The exported PKCS#11 functions: each checks its arguments, then calls the module, and turns every
// exception into a return value. Nothing here knows about cards. The function lists and interfaces
// are constant data, so that they exist before any call and after every static destructor.
#include <cstring>
#include <type_traits>
#include <vector>

#include "token/p11/module_registry.h"

using qel::Bytes;
using qel::p11::CardPhase;
using qel::p11::Module;

namespace {

template <typename Work>
CK_RV call(Work&& work) noexcept {
    try {
        std::shared_ptr<Module> module = qel::p11::currentModule();
        if (!module) return CKR_CRYPTOKI_NOT_INITIALIZED;
        return work(*module);
    } catch (...) {
        return qel::p11::ckrForError(std::current_exception(), CardPhase::other);
    }
}

// After the initialisation check, the arguments (CKR_ARGUMENTS_BAD), then the module's work. Work
// that returns nothing has succeeded when it did not throw.
template <typename Work>
CK_RV checked(bool argumentsOk, Work&& work) noexcept {
    return call([&](Module& m) -> CK_RV {
        if (!argumentsOk) return CKR_ARGUMENTS_BAD;
        if constexpr (std::is_void_v<std::invoke_result_t<Work&, Module&>>) {
            work(m);
            return CKR_OK;
        } else {
            return work(m);
        }
    });
}

// The two-call convention for lists: a null buffer asks for the count, a short one is refused.
template <typename T>
CK_RV copyList(const std::vector<T>& list, T* out, CK_ULONG& count) {
    if (out != nullptr && count < list.size()) {
        count = list.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    if (out != nullptr) std::copy(list.begin(), list.end(), out);
    count = list.size();
    return CKR_OK;
}

bool bufferUsable(const void* data, CK_ULONG length) { return data != nullptr || length == 0; }

CK_RV notSupported() noexcept {
    return call([](Module&) { return CKR_FUNCTION_NOT_SUPPORTED; });
}

Bytes bytesOf(CK_BYTE_PTR data, CK_ULONG length) { return data ? Bytes(data, data + length) : Bytes{}; }

constexpr void setVersion(CK_VERSION& v, CK_BYTE major, CK_BYTE minor) {
    v.major = major;
    v.minor = minor;
}

CK_RV getInfo(CK_INFO_PTR pInfo, CK_BYTE major, CK_BYTE minor) {
    return checked(pInfo != nullptr, [&](Module&) {
        *pInfo = CK_INFO{};
        setVersion(pInfo->cryptokiVersion, major, minor);
        qel::p11::padded(pInfo->manufacturerID, sizeof pInfo->manufacturerID, "Oberlane");
        qel::p11::padded(pInfo->libraryDescription, sizeof pInfo->libraryDescription, "Sigilla QEL token driver");
        setVersion(pInfo->libraryVersion, 0, 1);
    });
}

// C_GetInfo of the 3.0 list: a host that asked for that interface is told the version it has.
CK_RV getInfo30(CK_INFO_PTR pInfo) { return getInfo(pInfo, 3, 0); }

template <typename List>
constexpr List functionList() {
    constexpr bool v30 = std::is_same_v<List, CK_FUNCTION_LIST_3_0>;
    List f{};
    if constexpr (v30)
        setVersion(f.version, 3, 0);
    else
        setVersion(f.version, 2, 40);
#define QEL_P11_ENTRY(name) f.name = name
    QEL_P11_ENTRY(C_Initialize);
    QEL_P11_ENTRY(C_Finalize);
    QEL_P11_ENTRY(C_GetInfo);
    QEL_P11_ENTRY(C_GetFunctionList);
    QEL_P11_ENTRY(C_GetSlotList);
    QEL_P11_ENTRY(C_GetSlotInfo);
    QEL_P11_ENTRY(C_GetTokenInfo);
    QEL_P11_ENTRY(C_GetMechanismList);
    QEL_P11_ENTRY(C_GetMechanismInfo);
    QEL_P11_ENTRY(C_InitToken);
    QEL_P11_ENTRY(C_InitPIN);
    QEL_P11_ENTRY(C_SetPIN);
    QEL_P11_ENTRY(C_OpenSession);
    QEL_P11_ENTRY(C_CloseSession);
    QEL_P11_ENTRY(C_CloseAllSessions);
    QEL_P11_ENTRY(C_GetSessionInfo);
    QEL_P11_ENTRY(C_GetOperationState);
    QEL_P11_ENTRY(C_SetOperationState);
    QEL_P11_ENTRY(C_Login);
    QEL_P11_ENTRY(C_Logout);
    QEL_P11_ENTRY(C_CreateObject);
    QEL_P11_ENTRY(C_CopyObject);
    QEL_P11_ENTRY(C_DestroyObject);
    QEL_P11_ENTRY(C_GetObjectSize);
    QEL_P11_ENTRY(C_GetAttributeValue);
    QEL_P11_ENTRY(C_SetAttributeValue);
    QEL_P11_ENTRY(C_FindObjectsInit);
    QEL_P11_ENTRY(C_FindObjects);
    QEL_P11_ENTRY(C_FindObjectsFinal);
    QEL_P11_ENTRY(C_EncryptInit);
    QEL_P11_ENTRY(C_Encrypt);
    QEL_P11_ENTRY(C_EncryptUpdate);
    QEL_P11_ENTRY(C_EncryptFinal);
    QEL_P11_ENTRY(C_DecryptInit);
    QEL_P11_ENTRY(C_Decrypt);
    QEL_P11_ENTRY(C_DecryptUpdate);
    QEL_P11_ENTRY(C_DecryptFinal);
    QEL_P11_ENTRY(C_DigestInit);
    QEL_P11_ENTRY(C_Digest);
    QEL_P11_ENTRY(C_DigestUpdate);
    QEL_P11_ENTRY(C_DigestKey);
    QEL_P11_ENTRY(C_DigestFinal);
    QEL_P11_ENTRY(C_SignInit);
    QEL_P11_ENTRY(C_Sign);
    QEL_P11_ENTRY(C_SignUpdate);
    QEL_P11_ENTRY(C_SignFinal);
    QEL_P11_ENTRY(C_SignRecoverInit);
    QEL_P11_ENTRY(C_SignRecover);
    QEL_P11_ENTRY(C_VerifyInit);
    QEL_P11_ENTRY(C_Verify);
    QEL_P11_ENTRY(C_VerifyUpdate);
    QEL_P11_ENTRY(C_VerifyFinal);
    QEL_P11_ENTRY(C_VerifyRecoverInit);
    QEL_P11_ENTRY(C_VerifyRecover);
    QEL_P11_ENTRY(C_DigestEncryptUpdate);
    QEL_P11_ENTRY(C_DecryptDigestUpdate);
    QEL_P11_ENTRY(C_SignEncryptUpdate);
    QEL_P11_ENTRY(C_DecryptVerifyUpdate);
    QEL_P11_ENTRY(C_GenerateKey);
    QEL_P11_ENTRY(C_GenerateKeyPair);
    QEL_P11_ENTRY(C_WrapKey);
    QEL_P11_ENTRY(C_UnwrapKey);
    QEL_P11_ENTRY(C_DeriveKey);
    QEL_P11_ENTRY(C_SeedRandom);
    QEL_P11_ENTRY(C_GenerateRandom);
    QEL_P11_ENTRY(C_GetFunctionStatus);
    QEL_P11_ENTRY(C_CancelFunction);
    QEL_P11_ENTRY(C_WaitForSlotEvent);
    if constexpr (v30) {
        f.C_GetInfo = getInfo30;
        QEL_P11_ENTRY(C_GetInterfaceList);
        QEL_P11_ENTRY(C_GetInterface);
        QEL_P11_ENTRY(C_LoginUser);
        QEL_P11_ENTRY(C_SessionCancel);
        QEL_P11_ENTRY(C_MessageEncryptInit);
        QEL_P11_ENTRY(C_EncryptMessage);
        QEL_P11_ENTRY(C_EncryptMessageBegin);
        QEL_P11_ENTRY(C_EncryptMessageNext);
        QEL_P11_ENTRY(C_MessageEncryptFinal);
        QEL_P11_ENTRY(C_MessageDecryptInit);
        QEL_P11_ENTRY(C_DecryptMessage);
        QEL_P11_ENTRY(C_DecryptMessageBegin);
        QEL_P11_ENTRY(C_DecryptMessageNext);
        QEL_P11_ENTRY(C_MessageDecryptFinal);
        QEL_P11_ENTRY(C_MessageSignInit);
        QEL_P11_ENTRY(C_SignMessage);
        QEL_P11_ENTRY(C_SignMessageBegin);
        QEL_P11_ENTRY(C_SignMessageNext);
        QEL_P11_ENTRY(C_MessageSignFinal);
        QEL_P11_ENTRY(C_MessageVerifyInit);
        QEL_P11_ENTRY(C_VerifyMessage);
        QEL_P11_ENTRY(C_VerifyMessageBegin);
        QEL_P11_ENTRY(C_VerifyMessageNext);
        QEL_P11_ENTRY(C_MessageVerifyFinal);
    }
#undef QEL_P11_ENTRY
    return f;
}

constinit CK_FUNCTION_LIST g_functions240 = functionList<CK_FUNCTION_LIST>();
constinit CK_FUNCTION_LIST_3_0 g_functions30 = functionList<CK_FUNCTION_LIST_3_0>();

constinit CK_CHAR g_interfaceName[] = "PKCS 11";
// The newest first: C_GetInterface without a version gives it.
constinit CK_INTERFACE g_interfaces[] = {{g_interfaceName, &g_functions30, 0}, {g_interfaceName, &g_functions240, 0}};
constexpr CK_ULONG kInterfaceCount = sizeof g_interfaces / sizeof g_interfaces[0];

const CK_VERSION& versionOf(const CK_INTERFACE& interface) {
    // Both lists begin with their version.
    return *static_cast<const CK_VERSION*>(interface.pFunctionList);
}

}  // namespace

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR pInitArgs) { return qel::p11::initializeModule(pInitArgs); }

CK_RV C_Finalize(CK_VOID_PTR pReserved) { return qel::p11::finalizeModule(pReserved); }

CK_RV C_GetInfo(CK_INFO_PTR pInfo) { return getInfo(pInfo, 2, 40); }

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    if (ppFunctionList == nullptr) return CKR_ARGUMENTS_BAD;
    *ppFunctionList = &g_functions240;
    return CKR_OK;
}

CK_RV C_GetInterfaceList(CK_INTERFACE_PTR pInterfacesList, CK_ULONG_PTR pulCount) {
    if (pulCount == nullptr) return CKR_ARGUMENTS_BAD;
    const std::vector<CK_INTERFACE> list(g_interfaces, g_interfaces + kInterfaceCount);
    return copyList(list, pInterfacesList, *pulCount);
}

CK_RV C_GetInterface(CK_UTF8CHAR_PTR pInterfaceName, CK_VERSION_PTR pVersion, CK_INTERFACE_PTR_PTR ppInterface,
                     CK_FLAGS flags) {
    if (ppInterface == nullptr) return CKR_ARGUMENTS_BAD;
    for (CK_INTERFACE& interface : g_interfaces) {
        if (pInterfaceName != nullptr && std::strcmp(reinterpret_cast<const char*>(pInterfaceName),
                                                     reinterpret_cast<const char*>(interface.pInterfaceName)) != 0)
            continue;
        const CK_VERSION& version = versionOf(interface);
        if (pVersion != nullptr && (pVersion->major != version.major || pVersion->minor != version.minor)) continue;
        if ((interface.flags & flags) != flags) continue;
        *ppInterface = &interface;
        return CKR_OK;
    }
    // The standard has no code of its own for an interface that is not offered.
    return CKR_ARGUMENTS_BAD;
}

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
    return checked(pulCount != nullptr,
                   [&](Module& m) { return copyList(m.slotList(tokenPresent != CK_FALSE), pSlotList, *pulCount); });
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    return checked(pInfo != nullptr, [&](Module& m) { m.slotInfo(slotID, *pInfo); });
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    return checked(pInfo != nullptr, [&](Module& m) { m.tokenInfo(slotID, *pInfo); });
}

CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved) {
    return checked(pSlot != nullptr && pReserved == nullptr,
                   [&](Module& m) { return m.waitForSlotEvent(flags, *pSlot); });
}

CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount) {
    return checked(pulCount != nullptr,
                   [&](Module& m) { return copyList(m.mechanismList(slotID), pMechanismList, *pulCount); });
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
    return checked(pInfo != nullptr, [&](Module& m) { m.mechanismInfo(slotID, type, *pInfo); });
}

CK_RV C_InitToken(CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR) { return notSupported(); }
CK_RV C_InitPIN(CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG) { return notSupported(); }
CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin,
               CK_ULONG ulNewLen) {
    // Only the keypad changes the PIN here: PINs typed into the host stay out of the module.
    if (pOldPin != nullptr || pNewPin != nullptr) return notSupported();
    return checked(ulOldLen == 0 && ulNewLen == 0, [&](Module& m) { m.changePinOnKeypad(hSession); });
}

CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR phSession) {
    return checked(phSession != nullptr, [&](Module& m) { *phSession = m.openSession(slotID, flags); });
}

CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
    return checked(true, [&](Module& m) { m.closeSession(hSession); });
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
    return checked(true, [&](Module& m) { m.closeAllSessions(slotID); });
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    return checked(pInfo != nullptr, [&](Module& m) { m.sessionInfo(hSession, *pInfo); });
}

CK_RV C_GetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return notSupported(); }
CK_RV C_SetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE) {
    return notSupported();
}

CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
    // Without a PIN: the reader's keypad, or a card that another application has verified.
    if (pPin == nullptr) return checked(ulPinLen == 0, [&](Module& m) { m.loginWithoutPin(hSession, userType); });
    return checked(true, [&](Module& m) {
        m.login(hSession, userType, std::string_view(reinterpret_cast<const char*>(pPin), ulPinLen));
    });
}

CK_RV C_LoginUser(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen,
                  CK_UTF8CHAR_PTR pUsername, CK_ULONG ulUsernameLen) {
    if (ulUsernameLen > 0) {
        const CK_RV rv = checked(pUsername != nullptr, [&](Module& m) {
            m.checkUsername(hSession, std::string_view(reinterpret_cast<const char*>(pUsername), ulUsernameLen));
        });
        if (rv != CKR_OK) return rv;
    }
    return C_Login(hSession, userType, pPin, ulPinLen);
}

CK_RV C_SessionCancel(CK_SESSION_HANDLE hSession, CK_FLAGS flags) {
    return checked(true, [&](Module& m) { m.cancelOperations(hSession, flags); });
}

CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
    return checked(true, [&](Module& m) { m.logout(hSession); });
}

CK_RV C_CreateObject(CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) { return notSupported(); }
CK_RV C_CopyObject(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return notSupported();
}
CK_RV C_DestroyObject(CK_SESSION_HANDLE, CK_OBJECT_HANDLE) { return notSupported(); }
CK_RV C_GetObjectSize(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ULONG_PTR) { return notSupported(); }

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
    return checked(bufferUsable(pTemplate, ulCount),
                   [&](Module& m) { return m.getAttributeValue(hSession, hObject, pTemplate, ulCount); });
}

CK_RV C_SetAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) { return notSupported(); }

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    return checked(bufferUsable(pTemplate, ulCount), [&](Module& m) {
        // The entries are read only once the module is known to be initialised.
        for (CK_ULONG i = 0; i < ulCount; ++i)
            if (!bufferUsable(pTemplate[i].pValue, pTemplate[i].ulValueLen)) return CKR_ARGUMENTS_BAD;
        m.findObjectsInit(hSession, pTemplate, ulCount);
        return CKR_OK;
    });
}

CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                    CK_ULONG_PTR pulObjectCount) {
    return checked(pulObjectCount != nullptr && bufferUsable(phObject, ulMaxObjectCount),
                   [&](Module& m) { *pulObjectCount = m.findObjects(hSession, phObject, ulMaxObjectCount); });
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
    return checked(true, [&](Module& m) { m.findObjectsFinal(hSession); });
}

CK_RV C_EncryptInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return notSupported(); }
CK_RV C_Encrypt(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return notSupported(); }
CK_RV C_EncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return notSupported(); }
CK_RV C_EncryptFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return notSupported(); }

CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return checked(pMechanism != nullptr, [&](Module& m) { m.decryptInit(hSession, *pMechanism, hKey); });
}

CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData, CK_ULONG ulEncryptedDataLen, CK_BYTE_PTR pData,
                CK_ULONG_PTR pulDataLen) {
    return checked(pulDataLen != nullptr && bufferUsable(pEncryptedData, ulEncryptedDataLen), [&](Module& m) {
        return m.decrypt(hSession, bytesOf(pEncryptedData, ulEncryptedDataLen), pData, *pulDataLen);
    });
}

CK_RV C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart, CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR,
                      CK_ULONG_PTR pulPartLen) {
    return checked(pulPartLen != nullptr && bufferUsable(pEncryptedPart, ulEncryptedPartLen), [&](Module& m) {
        m.decryptUpdate(hSession, bytesOf(pEncryptedPart, ulEncryptedPartLen));
        // RSA deciphers the whole cryptogram at once: the parts give no output.
        *pulPartLen = 0;
    });
}

CK_RV C_DecryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart, CK_ULONG_PTR pulLastPartLen) {
    return checked(pulLastPartLen != nullptr,
                   [&](Module& m) { return m.decryptFinal(hSession, pLastPart, *pulLastPartLen); });
}

CK_RV C_DigestInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR) { return notSupported(); }
CK_RV C_Digest(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return notSupported(); }
CK_RV C_DigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) { return notSupported(); }
CK_RV C_DigestKey(CK_SESSION_HANDLE, CK_OBJECT_HANDLE) { return notSupported(); }
CK_RV C_DigestFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) { return notSupported(); }

CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return checked(pMechanism != nullptr, [&](Module& m) { m.signInit(hSession, *pMechanism, hKey); });
}

CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
             CK_ULONG_PTR pulSignatureLen) {
    return checked(pulSignatureLen != nullptr && bufferUsable(pData, ulDataLen), [&](Module& m) {
        return m.sign(hSession, bytesOf(pData, ulDataLen), pSignature, *pulSignatureLen);
    });
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return checked(bufferUsable(pPart, ulPartLen), [&](Module& m) { m.signUpdate(hSession, pPart, ulPartLen); });
}

CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    return checked(pulSignatureLen != nullptr,
                   [&](Module& m) { return m.signFinal(hSession, pSignature, *pulSignatureLen); });
}

CK_RV C_SignRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return notSupported(); }
CK_RV C_SignRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return notSupported(); }
CK_RV C_VerifyInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return notSupported(); }
CK_RV C_Verify(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG) { return notSupported(); }
CK_RV C_VerifyUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) { return notSupported(); }
CK_RV C_VerifyFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG) { return notSupported(); }
CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return notSupported(); }
CK_RV C_VerifyRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return notSupported(); }
CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported();
}
CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported();
}
CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported();
}
CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported();
}
CK_RV C_GenerateKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return notSupported();
}
CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR, CK_ULONG,
                        CK_OBJECT_HANDLE_PTR, CK_OBJECT_HANDLE_PTR) {
    return notSupported();
}
CK_RV C_WrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported();
}
CK_RV C_UnwrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR,
                  CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return notSupported();
}
CK_RV C_DeriveKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                  CK_OBJECT_HANDLE_PTR) {
    return notSupported();
}
CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen) {
    return checked(bufferUsable(pSeed, ulSeedLen), [&](Module& m) {
        m.seedRandom(hSession);
        return CKR_RANDOM_SEED_NOT_SUPPORTED;
    });
}
CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen) {
    return checked(bufferUsable(pRandomData, ulRandomLen),
                   [&](Module& m) { m.generateRandom(hSession, pRandomData, ulRandomLen); });
}
CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE) {
    return call([](Module&) { return CKR_FUNCTION_NOT_PARALLEL; });
}
CK_RV C_CancelFunction(CK_SESSION_HANDLE) {
    return call([](Module&) { return CKR_FUNCTION_NOT_PARALLEL; });
}

// Message-based operations: the card signs and deciphers whole inputs with RSA only.
CK_RV C_MessageEncryptInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return notSupported(); }
CK_RV C_EncryptMessage(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG,
                       CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported();
}
CK_RV C_EncryptMessageBegin(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG) { return notSupported(); }
CK_RV C_EncryptMessageNext(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR,
                           CK_FLAGS) {
    return notSupported();
}
CK_RV C_MessageEncryptFinal(CK_SESSION_HANDLE) { return notSupported(); }
CK_RV C_MessageDecryptInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return notSupported(); }
CK_RV C_DecryptMessage(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG,
                       CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported();
}
CK_RV C_DecryptMessageBegin(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG) { return notSupported(); }
CK_RV C_DecryptMessageNext(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR,
                           CK_FLAGS) {
    return notSupported();
}
CK_RV C_MessageDecryptFinal(CK_SESSION_HANDLE) { return notSupported(); }
CK_RV C_MessageSignInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return notSupported(); }
CK_RV C_SignMessage(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported();
}
CK_RV C_SignMessageBegin(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG) { return notSupported(); }
CK_RV C_SignMessageNext(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return notSupported();
}
CK_RV C_MessageSignFinal(CK_SESSION_HANDLE) { return notSupported(); }
CK_RV C_MessageVerifyInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return notSupported(); }
CK_RV C_VerifyMessage(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG) {
    return notSupported();
}
CK_RV C_VerifyMessageBegin(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG) { return notSupported(); }
CK_RV C_VerifyMessageNext(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG) {
    return notSupported();
}
CK_RV C_MessageVerifyFinal(CK_SESSION_HANDLE) { return notSupported(); }

}  // extern "C"
