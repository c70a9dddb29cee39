#include "tests/pkcs11/fake_module.h"

#include <algorithm>
#include <cstring>

#include "tests/support/fake_issuer_calls.h"

namespace qel::test {
namespace {

FakeModule* current = nullptr;
CK_FUNCTION_LIST functionList{};

FakeModule& m(const char* call) {
    current->calls.emplace_back(call);
    return *current;
}

struct Search {
    std::string label;
    bool active = false;
    bool done = false;
};
Search search;

}  // namespace

namespace issuer {

CK_RV initialize(void*) {
    m("C_Initialize");
    return CKR_OK;
}

CK_RV finalize(void*) {
    auto& f = m("C_Finalize");
    f.openSessions.clear();
    f.userLoggedIn = false;
    f.nextHandle = 1;  // handles start over, as real modules' do
    return CKR_OK;
}

CK_RV getSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    auto& f = m("C_GetSlotList");
    if (!list) {
        *count = f.slots.size();
        return CKR_OK;
    }
    if (*count < f.slots.size()) {
        *count = f.slots.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(f.slots.begin(), f.slots.end(), list);
    *count = f.slots.size();
    return CKR_OK;
}

CK_RV getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
    auto& f = m("C_GetSlotInfo");
    if (std::find(f.slots.begin(), f.slots.end(), slot) == f.slots.end()) return CKR_SLOT_ID_INVALID;
    *info = CK_SLOT_INFO{};
    pad(info->slotDescription, sizeof info->slotDescription, f.slotDescription);
    info->flags = CKF_TOKEN_PRESENT;
    return CKR_OK;
}

CK_RV getTokenInfo(CK_SLOT_ID, CK_TOKEN_INFO_PTR info) {
    auto& f = m("C_GetTokenInfo");
    *info = CK_TOKEN_INFO{};
    pad(info->label, sizeof info->label, f.tokenLabel);
    pad(info->manufacturerID, sizeof info->manufacturerID, f.tokenManufacturer);
    pad(info->model, sizeof info->model, "QEL3");
    pad(info->serialNumber, sizeof info->serialNumber, f.tokenSerial);
    return CKR_OK;
}

CK_RV openSession(CK_SLOT_ID, CK_FLAGS, void*, CK_NOTIFY, CK_SESSION_HANDLE_PTR session) {
    auto& f = m("C_OpenSession");
    *session = f.nextHandle++;
    f.openSessions.insert(*session);
    return CKR_OK;
}

CK_RV closeSession(CK_SESSION_HANDLE session) {
    auto& f = m("C_CloseSession");
    return f.openSessions.erase(session) ? CKR_OK : CKR_SESSION_HANDLE_INVALID;
}

CK_RV getSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
    auto& f = m("C_GetSessionInfo");
    if (!f.openSessions.count(session)) return CKR_SESSION_HANDLE_INVALID;
    *info = CK_SESSION_INFO{};
    info->state = f.userLoggedIn ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION;
    return CKR_OK;
}

CK_RV login(CK_SESSION_HANDLE, CK_USER_TYPE type, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    auto& f = m("C_Login");
    if (f.forcedLoginResult != CKR_OK) return f.forcedLoginResult;
    std::string code(reinterpret_cast<char*>(pin), length);
    if (code != (type == CKU_SO ? f.puk : f.pin)) return CKR_PIN_INCORRECT;
    if (type == CKU_USER) f.userLoggedIn = true;
    return CKR_OK;
}

CK_RV logout(CK_SESSION_HANDLE) {
    auto& f = m("C_Logout");
    f.userLoggedIn = false;
    return CKR_USER_NOT_LOGGED_IN;
}

CK_RV setPin(CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG) {
    m("C_SetPIN");
    return CKR_OK;
}

CK_RV initPin(CK_SESSION_HANDLE, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    auto& f = m("C_InitPIN");
    f.pin.assign(reinterpret_cast<char*>(pin), length);
    return CKR_OK;
}

CK_RV findObjectsInit(CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    auto& f = m("C_FindObjectsInit");
    search = Search{};
    search.active = true;
    for (CK_ULONG i = 0; i < count; ++i) {
        if (attributes[i].type == CKA_LABEL) {
            search.label.assign(static_cast<char*>(attributes[i].pValue), attributes[i].ulValueLen);
            f.searchedLabels.push_back(search.label);
        }
    }
    return CKR_OK;
}

CK_RV findObjects(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max, CK_ULONG_PTR count) {
    auto& f = m("C_FindObjects");
    *count = 0;
    if (!search.active) return CKR_OPERATION_NOT_INITIALIZED;
    auto it = f.objects.find(search.label);
    bool visible = it != f.objects.end() && (!f.privateLabels.count(search.label) || f.userLoggedIn);
    if (visible && !search.done && max > 0) {
        objects[0] = static_cast<CK_OBJECT_HANDLE>(std::distance(f.objects.begin(), it) + 1);
        *count = 1;
    }
    search.done = true;
    return CKR_OK;
}

CK_RV findObjectsFinal(CK_SESSION_HANDLE) {
    m("C_FindObjectsFinal");
    bool wasActive = search.active;
    search = Search{};
    return wasActive ? CKR_OK : CKR_OPERATION_NOT_INITIALIZED;
}

CK_RV getAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attribute, CK_ULONG) {
    auto& f = m("C_GetAttributeValue");
    if (object == 0 || object > f.objects.size() || attribute->type != CKA_VALUE)
        return CKR_ATTRIBUTE_TYPE_INVALID;
    return copyAttributeValue(*attribute, std::next(f.objects.begin(), static_cast<long>(object - 1))->second);
}

}  // namespace issuer

FakeModule::FakeModule() {
    current = this;
    search = Search{};
    functionList = issuerFunctionList();
}

FakeModule::~FakeModule() { current = nullptr; }

CK_FUNCTION_LIST* FakeModule::functions() { return &functionList; }

CK_RV FakeModule::transmit(CK_SESSION_HANDLE, CK_BYTE_PTR apdu, CK_ULONG length, CK_BYTE_PTR response,
                           CK_ULONG_PTR responseLength, CK_BBOOL flag) {
    auto& f = m("C_TransmitMessage");
    f.apdus.emplace_back(apdu, apdu + length);
    f.apduFlags.push_back(flag == CK_TRUE);
    if (f.transmitResult != CKR_OK) return f.transmitResult;
    Bytes answer = f.card ? f.card(f.apdus.back()) : Bytes{0x90, 0x00};
    if (answer.size() > *responseLength) return CKR_BUFFER_TOO_SMALL;
    std::memcpy(response, answer.data(), answer.size());
    *responseLength = answer.size();
    return CKR_OK;
}

int FakeModule::count(const std::string& call) const {
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
}

}  // namespace qel::test
