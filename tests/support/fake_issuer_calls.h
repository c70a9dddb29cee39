#pragma once
// What the in-process fakes of the issuer library share: the calls the binding makes of it (each
// fake defines them), blank padded texts and attribute values handed out as a PKCS#11 library does.
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "common/bytes.h"

namespace qel::test {

/// The calls the binding makes of the issuer library. Each test program links one fake library,
/// which defines them all.
namespace issuer {
CK_RV initialize(void* args);
CK_RV finalize(void* reserved);
CK_RV getSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count);
CK_RV getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info);
CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info);
CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, void* application, CK_NOTIFY notify, CK_SESSION_HANDLE_PTR session);
CK_RV closeSession(CK_SESSION_HANDLE session);
CK_RV getSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info);
CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE type, CK_UTF8CHAR_PTR pin, CK_ULONG length);
CK_RV logout(CK_SESSION_HANDLE session);
CK_RV setPin(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLength, CK_UTF8CHAR_PTR newPin,
             CK_ULONG newLength);
CK_RV initPin(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR pin, CK_ULONG length);
CK_RV findObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count);
CK_RV findObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max, CK_ULONG_PTR count);
CK_RV findObjectsFinal(CK_SESSION_HANDLE session);
CK_RV getAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                        CK_ULONG count);
}  // namespace issuer

/// A version 2.20 function list with the calls above; every other entry is null.
inline CK_FUNCTION_LIST issuerFunctionList() {
    CK_FUNCTION_LIST list{};
    list.version = {2, 20};
    list.C_Initialize = issuer::initialize;
    list.C_Finalize = issuer::finalize;
    list.C_GetSlotList = issuer::getSlotList;
    list.C_GetSlotInfo = issuer::getSlotInfo;
    list.C_GetTokenInfo = issuer::getTokenInfo;
    list.C_OpenSession = issuer::openSession;
    list.C_CloseSession = issuer::closeSession;
    list.C_GetSessionInfo = issuer::getSessionInfo;
    list.C_Login = issuer::login;
    list.C_Logout = issuer::logout;
    list.C_SetPIN = issuer::setPin;
    list.C_InitPIN = issuer::initPin;
    list.C_FindObjectsInit = issuer::findObjectsInit;
    list.C_FindObjects = issuer::findObjects;
    list.C_FindObjectsFinal = issuer::findObjectsFinal;
    list.C_GetAttributeValue = issuer::getAttributeValue;
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
