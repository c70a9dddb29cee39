// Exported functions: objects, signatures, random, the APDU pass-through, the function list.
#include "sim/p11/entry_common.h"
#include "sim/p11/qelsim_pkcs11.h"

using namespace qel::simp11;
using namespace qel::simp11::entry;
using ModulePtr = std::shared_ptr<Module>;
using qel::Bytes;

namespace {

bool templateUsable(const CK_ATTRIBUTE* templ, CK_ULONG count) {
    if (templ == nullptr) return count == 0;
    for (CK_ULONG i = 0; i < count; ++i)
        if (templ[i].pValue == nullptr && templ[i].ulValueLen != 0) return false;
    return true;
}

std::string describeTemplate(const CK_ATTRIBUTE* templ, CK_ULONG count) {
    std::string s = "[";
    for (CK_ULONG i = 0; templ != nullptr && i < count; ++i)
        s += qel::format("%s%s/%lu", i ? " " : "", hex(templ[i].type).c_str(), templ[i].ulValueLen);
    return s + "]";
}

// A buffer given as pointer and length: a null pointer only with length zero.
bool bufferUsable(const void* data, CK_ULONG length) { return data != nullptr || length == 0; }

std::string describeInit(CK_SESSION_HANDLE hSession, const CK_MECHANISM* mechanism, CK_OBJECT_HANDLE hKey) {
    return qel::format("hSession=%lu, mechanism=%s, hKey=%lu", hSession,
                       mechanism ? hex(mechanism->mechanism).c_str() : "null", hKey);
}

CK_RV notSupported(const ModulePtr& m) { return m ? CKR_FUNCTION_NOT_SUPPORTED : CKR_CRYPTOKI_NOT_INITIALIZED; }

}  // namespace

QEL_EXPORT CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
    // The template is read only once the library is known to be initialised.
    return checkedCall(
        "C_FindObjectsInit", true,
        [&] {
            return qel::format("hSession=%lu, template=%s", hSession, describeTemplate(pTemplate, ulCount).c_str());
        },
        [&](Module& m) -> CK_RV {
            if (!templateUsable(pTemplate, ulCount)) return CKR_ARGUMENTS_BAD;
            return onSession(m, hSession, [&](Slot& s) { return s.findObjectsInit(hSession, pTemplate, ulCount); });
        });
}

QEL_EXPORT CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                               CK_ULONG_PTR pulObjectCount) {
    return sessionCall(
        "C_FindObjects", hSession, pulObjectCount != nullptr && (phObject != nullptr || ulMaxObjectCount == 0),
        [&] {
            return qel::format("hSession=%lu, max=%lu, found=%lu", hSession, ulMaxObjectCount,
                               pulObjectCount ? *pulObjectCount : 0UL);
        },
        [&](Slot& s) { return s.findObjects(hSession, phObject, ulMaxObjectCount, *pulObjectCount); });
}

QEL_EXPORT CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
    return sessionCall(
        "C_FindObjectsFinal", hSession, true, [&] { return qel::format("hSession=%lu", hSession); },
        [&](Slot& s) { return s.findObjectsFinal(hSession); });
}

QEL_EXPORT CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                                     CK_ULONG ulCount) {
    return sessionCall(
        "C_GetAttributeValue", hSession, pTemplate != nullptr || ulCount == 0,
        [&] {
            return qel::format("hSession=%lu, hObject=%lu, template=%s", hSession, hObject,
                               describeTemplate(pTemplate, ulCount).c_str());
        },
        [&](Slot& s) { return s.getAttributeValue(hSession, hObject, pTemplate, ulCount); });
}

QEL_EXPORT CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
    return sessionCall(
        "C_GetObjectSize", hSession, pulSize != nullptr,
        [&] { return qel::format("hSession=%lu, hObject=%lu", hSession, hObject); },
        [&](Slot& s) { return s.getObjectSize(hSession, hObject, *pulSize); });
}

QEL_EXPORT CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return sessionCall(
        "C_SignInit", hSession, pMechanism != nullptr, [&] { return describeInit(hSession, pMechanism, hKey); },
        [&](Slot& s) { return s.signInit(hSession, *pMechanism, hKey); });
}

QEL_EXPORT CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                        CK_ULONG_PTR pulSignatureLen) {
    return sessionCall(
        "C_Sign", hSession, bufferUsable(pData, ulDataLen) && pulSignatureLen != nullptr,
        [&] {
            return qel::format("hSession=%lu, dataLen=%lu, pSignature=%p, signatureLen=%lu", hSession, ulDataLen,
                               static_cast<void*>(pSignature), pulSignatureLen ? *pulSignatureLen : 0UL);
        },
        [&](Slot& s) { return s.sign(hSession, bytesOf(pData, ulDataLen), pSignature, *pulSignatureLen); });
}

QEL_EXPORT CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return sessionCall(
        "C_SignUpdate", hSession, bufferUsable(pPart, ulPartLen),
        [&] { return qel::format("hSession=%lu, partLen=%lu", hSession, ulPartLen); },
        [&](Slot& s) { return s.signUpdate(hSession, bytesOf(pPart, ulPartLen)); });
}

QEL_EXPORT CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    return sessionCall(
        "C_SignFinal", hSession, pulSignatureLen != nullptr,
        [&] { return qel::format("hSession=%lu, pSignature=%p", hSession, static_cast<void*>(pSignature)); },
        [&](Slot& s) { return s.signFinal(hSession, pSignature, *pulSignatureLen); });
}

QEL_EXPORT CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
    return sessionCall(
        "C_VerifyInit", hSession, pMechanism != nullptr, [&] { return describeInit(hSession, pMechanism, hKey); },
        [&](Slot& s) { return s.verifyInit(hSession, *pMechanism, hKey); });
}

QEL_EXPORT CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
                          CK_ULONG ulSignatureLen) {
    return sessionCall(
        "C_Verify", hSession, bufferUsable(pData, ulDataLen) && bufferUsable(pSignature, ulSignatureLen),
        [&] { return qel::format("hSession=%lu, dataLen=%lu, signatureLen=%lu", hSession, ulDataLen, ulSignatureLen); },
        [&](Slot& s) { return s.verify(hSession, bytesOf(pData, ulDataLen), bytesOf(pSignature, ulSignatureLen)); });
}

QEL_EXPORT CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
    return sessionCall(
        "C_VerifyUpdate", hSession, bufferUsable(pPart, ulPartLen),
        [&] { return qel::format("hSession=%lu, partLen=%lu", hSession, ulPartLen); },
        [&](Slot& s) { return s.verifyUpdate(hSession, bytesOf(pPart, ulPartLen)); });
}

QEL_EXPORT CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    return sessionCall(
        "C_VerifyFinal", hSession, bufferUsable(pSignature, ulSignatureLen),
        [&] { return qel::format("hSession=%lu, signatureLen=%lu", hSession, ulSignatureLen); },
        [&](Slot& s) { return s.verifyFinal(hSession, bytesOf(pSignature, ulSignatureLen)); });
}

QEL_EXPORT CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG) {
    return guarded(
        "C_SeedRandom", [&] { return qel::format("hSession=%lu", hSession); },
        [&](ModulePtr& m) -> CK_RV { return m ? CKR_RANDOM_SEED_NOT_SUPPORTED : CKR_CRYPTOKI_NOT_INITIALIZED; });
}

QEL_EXPORT CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData, CK_ULONG ulRandomLen) {
    return sessionCall(
        "C_GenerateRandom", hSession, bufferUsable(pRandomData, ulRandomLen),
        [&] { return qel::format("hSession=%lu, length=%lu", hSession, ulRandomLen); },
        [&](Slot& s) { return s.generateRandom(hSession, pRandomData, ulRandomLen); });
}

QEL_EXPORT CK_RV C_TransmitMessage(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pApdu, CK_ULONG ulApduLen,
                                   CK_BYTE_PTR pResponse, CK_ULONG_PTR pulResponseLen, CK_BBOOL followUp) {
    return sessionCall(
        "C_TransmitMessage", hSession,
        pApdu != nullptr && ulApduLen >= 4 && pResponse != nullptr && pulResponseLen != nullptr,
        [&] {
            // Command bytes are not traced: a VERIFY relayed here carries a PIN.
            return qel::format("hSession=%lu, apduLen=%lu, responseLen=%lu, followUp=%d", hSession, ulApduLen,
                               pulResponseLen ? *pulResponseLen : 0UL, followUp);
        },
        [&](Slot& s) {
            Bytes apdu = bytesOf(pApdu, ulApduLen);
            CK_RV rv = s.transmit(hSession, apdu, pResponse, *pulResponseLen);
            qel::wipe(apdu);  // the command may carry a PIN
            return rv;
        });
}

QEL_EXPORT CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE) {
    return guarded(
        "C_GetFunctionStatus", [] { return std::string(); },
        [&](ModulePtr& m) -> CK_RV { return m ? CKR_FUNCTION_NOT_PARALLEL : CKR_CRYPTOKI_NOT_INITIALIZED; });
}

QEL_EXPORT CK_RV C_CancelFunction(CK_SESSION_HANDLE) {
    return guarded(
        "C_CancelFunction", [] { return std::string(); },
        [&](ModulePtr& m) -> CK_RV { return m ? CKR_FUNCTION_NOT_PARALLEL : CKR_CRYPTOKI_NOT_INITIALIZED; });
}

// What the card cannot do: objects are fixed, and the keys only sign.
#define QEL_NOT_SUPPORTED(name, params)                                                          \
    QEL_EXPORT CK_RV name params {                                                               \
        return guarded(                                                                          \
            #name, [] { return std::string(); }, [&](ModulePtr& m) { return notSupported(m); }); \
    }

QEL_NOT_SUPPORTED(C_GetOperationState, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
QEL_NOT_SUPPORTED(C_SetOperationState, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE))
QEL_NOT_SUPPORTED(C_CreateObject, (CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR))
QEL_NOT_SUPPORTED(C_CopyObject, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR))
QEL_NOT_SUPPORTED(C_DestroyObject, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE))
QEL_NOT_SUPPORTED(C_SetAttributeValue, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG))
QEL_NOT_SUPPORTED(C_EncryptInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
QEL_NOT_SUPPORTED(C_Encrypt, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
QEL_NOT_SUPPORTED(C_EncryptUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
QEL_NOT_SUPPORTED(C_EncryptFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
QEL_NOT_SUPPORTED(C_DecryptInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
QEL_NOT_SUPPORTED(C_Decrypt, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
QEL_NOT_SUPPORTED(C_DecryptUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
QEL_NOT_SUPPORTED(C_DecryptFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
QEL_NOT_SUPPORTED(C_DigestInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR))
QEL_NOT_SUPPORTED(C_Digest, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
QEL_NOT_SUPPORTED(C_DigestUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG))
QEL_NOT_SUPPORTED(C_DigestKey, (CK_SESSION_HANDLE, CK_OBJECT_HANDLE))
QEL_NOT_SUPPORTED(C_DigestFinal, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
QEL_NOT_SUPPORTED(C_SignRecoverInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
QEL_NOT_SUPPORTED(C_SignRecover, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
QEL_NOT_SUPPORTED(C_VerifyRecoverInit, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE))
QEL_NOT_SUPPORTED(C_VerifyRecover, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
QEL_NOT_SUPPORTED(C_DigestEncryptUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
QEL_NOT_SUPPORTED(C_DecryptDigestUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
QEL_NOT_SUPPORTED(C_SignEncryptUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
QEL_NOT_SUPPORTED(C_DecryptVerifyUpdate, (CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR))
QEL_NOT_SUPPORTED(C_GenerateKey,
                  (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR))
QEL_NOT_SUPPORTED(C_GenerateKeyPair, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR,
                                      CK_ULONG, CK_OBJECT_HANDLE_PTR, CK_OBJECT_HANDLE_PTR))
QEL_NOT_SUPPORTED(C_WrapKey,
                  (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR))
QEL_NOT_SUPPORTED(C_UnwrapKey, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG,
                                CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR))
QEL_NOT_SUPPORTED(C_DeriveKey, (CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                                CK_OBJECT_HANDLE_PTR))

#undef QEL_NOT_SUPPORTED

namespace {

CK_FUNCTION_LIST functionList = {
    {2, 20},
    C_Initialize,
    C_Finalize,
    C_GetInfo,
    C_GetFunctionList,
    C_GetSlotList,
    C_GetSlotInfo,
    C_GetTokenInfo,
    C_GetMechanismList,
    C_GetMechanismInfo,
    C_InitToken,
    C_InitPIN,
    C_SetPIN,
    C_OpenSession,
    C_CloseSession,
    C_CloseAllSessions,
    C_GetSessionInfo,
    C_GetOperationState,
    C_SetOperationState,
    C_Login,
    C_Logout,
    C_CreateObject,
    C_CopyObject,
    C_DestroyObject,
    C_GetObjectSize,
    C_GetAttributeValue,
    C_SetAttributeValue,
    C_FindObjectsInit,
    C_FindObjects,
    C_FindObjectsFinal,
    C_EncryptInit,
    C_Encrypt,
    C_EncryptUpdate,
    C_EncryptFinal,
    C_DecryptInit,
    C_Decrypt,
    C_DecryptUpdate,
    C_DecryptFinal,
    C_DigestInit,
    C_Digest,
    C_DigestUpdate,
    C_DigestKey,
    C_DigestFinal,
    C_SignInit,
    C_Sign,
    C_SignUpdate,
    C_SignFinal,
    C_SignRecoverInit,
    C_SignRecover,
    C_VerifyInit,
    C_Verify,
    C_VerifyUpdate,
    C_VerifyFinal,
    C_VerifyRecoverInit,
    C_VerifyRecover,
    C_DigestEncryptUpdate,
    C_DecryptDigestUpdate,
    C_SignEncryptUpdate,
    C_DecryptVerifyUpdate,
    C_GenerateKey,
    C_GenerateKeyPair,
    C_WrapKey,
    C_UnwrapKey,
    C_DeriveKey,
    C_SeedRandom,
    C_GenerateRandom,
    C_GetFunctionStatus,
    C_CancelFunction,
    C_WaitForSlotEvent,
};

}  // namespace

QEL_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    if (ppFunctionList == nullptr) return CKR_ARGUMENTS_BAD;
    *ppFunctionList = &functionList;
    return CKR_OK;
}
