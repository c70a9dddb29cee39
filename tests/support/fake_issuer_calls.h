#pragma once
// What the in-process fakes of the issuer library share: the calls the binding makes of it, blank
// padded texts and attribute values handed out as a PKCS#11 library does.
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "common/bytes.h"

namespace qel::test {

/// The calls the binding makes of the issuer library.
struct IssuerCalls {
    CK_C_Initialize initialize;
    CK_C_Finalize finalize;
    CK_C_GetSlotList getSlotList;
    CK_C_GetSlotInfo getSlotInfo;
    CK_C_GetTokenInfo getTokenInfo;
    CK_C_OpenSession openSession;
    CK_C_CloseSession closeSession;
    CK_C_GetSessionInfo getSessionInfo;
    CK_C_Login login;
    CK_C_Logout logout;
    CK_C_SetPIN setPin;
    CK_C_InitPIN initPin;
    CK_C_FindObjectsInit findObjectsInit;
    CK_C_FindObjects findObjects;
    CK_C_FindObjectsFinal findObjectsFinal;
    CK_C_GetAttributeValue getAttributeValue;
};

/// A version 2.20 function list with these calls; every other entry is null.
inline CK_FUNCTION_LIST issuerFunctionList(const IssuerCalls& calls) {
    CK_FUNCTION_LIST list{};
    list.version = {2, 20};
    list.C_Initialize = calls.initialize;
    list.C_Finalize = calls.finalize;
    list.C_GetSlotList = calls.getSlotList;
    list.C_GetSlotInfo = calls.getSlotInfo;
    list.C_GetTokenInfo = calls.getTokenInfo;
    list.C_OpenSession = calls.openSession;
    list.C_CloseSession = calls.closeSession;
    list.C_GetSessionInfo = calls.getSessionInfo;
    list.C_Login = calls.login;
    list.C_Logout = calls.logout;
    list.C_SetPIN = calls.setPin;
    list.C_InitPIN = calls.initPin;
    list.C_FindObjectsInit = calls.findObjectsInit;
    list.C_FindObjects = calls.findObjects;
    list.C_FindObjectsFinal = calls.findObjectsFinal;
    list.C_GetAttributeValue = calls.getAttributeValue;
    return list;
}

/// Writes `text` into a fixed-size field, blank padded and cut to the field.
inline void pad(unsigned char* field, std::size_t size, const std::string& text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

/// Hands out `value` through one template entry: its size alone when pValue is null,
/// CKR_BUFFER_TOO_SMALL (size left as it was) when it does not fit.
inline CK_RV copyAttributeValue(CK_ATTRIBUTE& attribute, const Bytes& value) {
    if (attribute.pValue) {
        if (attribute.ulValueLen < value.size()) return CKR_BUFFER_TOO_SMALL;
        std::memcpy(attribute.pValue, value.data(), value.size());
    }
    attribute.ulValueLen = value.size();
    return CKR_OK;
}

}  // namespace qel::test
