#include "tests/support/fake_issuer_module.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace qel::test {
namespace {

FakeIssuerModule* current = nullptr;
CK_FUNCTION_LIST functionList{};

constexpr std::string_view kCalls[] = {
    "C_Initialize",      "C_Finalize",    "C_GetSlotList",      "C_GetSlotInfo",
    "C_GetTokenInfo",    "C_OpenSession", "C_CloseSession",     "C_GetSessionInfo",
    "C_Login",           "C_Logout",      "C_SetPIN",           "C_InitPIN",
    "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal", "C_GetAttributeValue",
    "C_TransmitMessage",
};

struct Search {
    CK_SLOT_ID slot = 0;
    std::string label;
    bool data = false;
    bool done = false;
};
std::map<CK_SESSION_HANDLE, Search> searches;

struct Call {
    FakeIssuerModule& f;
    std::optional<CK_RV> failure;  ///< injected by failOn: answered instead of the work
};

Call enter(const char* name) {
    current->calls.emplace_back(name);
    auto it = current->failures.find(name);
    return {*current, it == current->failures.end() ? std::nullopt : std::optional<CK_RV>(it->second)};
}

FakeSlot* findSlot(CK_SLOT_ID id) {
    for (auto& s : current->slotList)
        if (s.id == id) return &s;
    return nullptr;
}

FakeSlot* slotOfSession(CK_SESSION_HANDLE session) {
    auto it = current->sessions.find(session);
    if (it == current->sessions.end()) return nullptr;
    FakeSlot* slot = findSlot(it->second.slot);
    return slot && slot->present ? slot : nullptr;
}

// The objects as the library knows them.
const FakeToken& objectsOf(FakeIssuerModule& f, const FakeSlot& slot) {
    if (!f.readsTokenOnce) return slot.token;
    return f.tokensRead.try_emplace(slot.id, slot.token).first->second;
}

CK_FLAGS tokenFlags(const FakeToken& t) {
    CK_FLAGS flags = CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED;
    if (t.keypadEntry) flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
    if (t.pinTries == 0)
        flags |= CKF_USER_PIN_LOCKED;
    else if (t.pinTries == 1)
        flags |= CKF_USER_PIN_FINAL_TRY;
    if (t.soLocked || t.pukTries == 0)
        flags |= CKF_SO_PIN_LOCKED;
    else if (t.pukTries == 1)
        flags |= CKF_SO_PIN_FINAL_TRY;
    return flags;
}

// An entry on the reader's keypad: what the holder did instead of typing, or nothing.
std::optional<CK_RV> keypadRefusal(const FakeToken& t) {
    if (t.keypadEntry == "cancel") return CKR_FUNCTION_CANCELED;
    if (t.keypadEntry == "timeout") return CKR_FUNCTION_FAILED;
    return std::nullopt;
}

CK_RV checkCode(std::string_view given, const std::string& expected, int& tries) {
    if (tries == 0) return CKR_PIN_LOCKED;
    if (given == expected) {
        tries = 3;
        return CKR_OK;
    }
    return --tries == 0 ? CKR_PIN_LOCKED : CKR_PIN_INCORRECT;
}

/// Writes `text` into a fixed-size field, blank padded and cut to the field.
void pad(unsigned char* field, std::size_t size, const std::string& text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

/// Hands out `value` through one template entry: its size alone when pValue is null,
/// CKR_BUFFER_TOO_SMALL (size left as it was) when it does not fit.
CK_RV copyAttributeValue(CK_ATTRIBUTE& attribute, const Bytes& value) {
    if (attribute.pValue) {
        if (attribute.ulValueLen < value.size()) return CKR_BUFFER_TOO_SMALL;
        std::memcpy(attribute.pValue, value.data(), value.size());
    }
    attribute.ulValueLen = value.size();
    return CKR_OK;
}

CK_RV initialize(void*) {
    auto [f, failure] = enter("C_Initialize");
    return failure.value_or(CKR_OK);
}

CK_RV finalize(void*) {
    auto [f, failure] = enter("C_Finalize");
    if (failure) return *failure;
    f.sessions.clear();
    f.userLoggedIn.clear();
    f.nextHandle = 1;
    f.tokensRead.clear();
    searches.clear();
    return CKR_OK;
}

CK_RV getSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    auto [f, failure] = enter("C_GetSlotList");
    if (failure) return *failure;
    if (list && *count < f.slotList.size()) {
        *count = f.slotList.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    if (list)
        for (std::size_t i = 0; i < f.slotList.size(); ++i) list[i] = f.slotList[i].id;
    *count = f.slotList.size();
    return CKR_OK;
}

CK_RV getSlotInfo(CK_SLOT_ID id, CK_SLOT_INFO_PTR info) {
    auto [f, failure] = enter("C_GetSlotInfo");
    if (failure) return *failure;
    FakeSlot* slot = findSlot(id);
    if (!slot) return CKR_SLOT_ID_INVALID;
    *info = CK_SLOT_INFO{};
    pad(info->slotDescription, sizeof info->slotDescription, slot->description);
    info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (slot->present ? CKF_TOKEN_PRESENT : 0);
    return CKR_OK;
}

CK_RV getTokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO_PTR info) {
    auto [f, failure] = enter("C_GetTokenInfo");
    if (failure) return *failure;
    FakeSlot* slot = findSlot(id);
    if (!slot) return CKR_SLOT_ID_INVALID;
    if (!slot->present) return CKR_TOKEN_NOT_PRESENT;
    *info = CK_TOKEN_INFO{};
    pad(info->label, sizeof info->label, slot->token.label);
    pad(info->manufacturerID, sizeof info->manufacturerID, slot->token.manufacturer);
    pad(info->model, sizeof info->model, "QEL3");
    pad(info->serialNumber, sizeof info->serialNumber, slot->token.serial);
    info->flags = tokenFlags(slot->token);
    return CKR_OK;
}

CK_RV openSession(CK_SLOT_ID id, CK_FLAGS, void*, CK_NOTIFY, CK_SESSION_HANDLE_PTR session) {
    auto [f, failure] = enter("C_OpenSession");
    if (failure) return *failure;
    FakeSlot* slot = findSlot(id);
    if (!slot) return CKR_SLOT_ID_INVALID;
    if (!slot->present) return CKR_TOKEN_NOT_PRESENT;
    *session = f.nextHandle++;
    f.sessions[*session] = {id};
    return CKR_OK;
}

CK_RV closeSession(CK_SESSION_HANDLE session) {
    auto [f, failure] = enter("C_CloseSession");
    if (failure) return *failure;
    searches.erase(session);
    return f.sessions.erase(session) ? CKR_OK : CKR_SESSION_HANDLE_INVALID;
}

CK_RV getSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
    auto [f, failure] = enter("C_GetSessionInfo");
    if (failure) return *failure;
    FakeSlot* slot = slotOfSession(session);
    if (!slot) return CKR_SESSION_HANDLE_INVALID;
    *info = CK_SESSION_INFO{};
    info->slotID = slot->id;
    info->state = f.userLoggedIn[slot->id] ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION;
    return CKR_OK;
}

CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE type, CK_UTF8CHAR_PTR code, CK_ULONG length) {
    auto [f, failure] = enter("C_Login");
    if (failure) return *failure;
    FakeSlot* slot = slotOfSession(session);
    if (!slot) return CKR_SESSION_HANDLE_INVALID;
    std::string_view given(reinterpret_cast<char*>(code), length);
    FakeToken& t = slot->token;
    if (type == CKU_SO) {
        if (t.soLocked) return CKR_PIN_LOCKED;
        return checkCode(given, t.puk, t.pukTries);
    }
    if (f.userLoggedIn[slot->id]) return CKR_USER_ALREADY_LOGGED_IN;
    if (length == 0 && t.keypadEntry) {
        if (auto refused = keypadRefusal(t)) return *refused;
        given = *t.keypadEntry;
    }
    CK_RV rv = checkCode(given, t.pin, t.pinTries);
    if (rv == CKR_OK) f.userLoggedIn[slot->id] = true;
    return rv;
}

CK_RV logout(CK_SESSION_HANDLE session) {
    auto [f, failure] = enter("C_Logout");
    if (failure) return *failure;
    FakeSlot* slot = slotOfSession(session);
    if (!slot) return CKR_SESSION_HANDLE_INVALID;
    if (!f.userLoggedIn[slot->id]) return CKR_USER_NOT_LOGGED_IN;
    f.userLoggedIn[slot->id] = false;
    return CKR_OK;
}

CK_RV setPin(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLength, CK_UTF8CHAR_PTR newPin,
             CK_ULONG newLength) {
    auto [f, failure] = enter("C_SetPIN");
    if (failure) return *failure;
    FakeSlot* slot = slotOfSession(session);
    if (!slot) return CKR_SESSION_HANDLE_INVALID;
    FakeToken& t = slot->token;
    if (oldLength == 0 && newLength == 0 && t.keypadEntry) {
        if (auto refused = keypadRefusal(t)) return *refused;
        CK_RV rv = checkCode(*t.keypadEntry, t.pin, t.pinTries);
        if (rv == CKR_OK) t.pin = t.keypadNewPin;
        return rv;
    }
    if (!f.userLoggedIn[slot->id]) return CKR_USER_NOT_LOGGED_IN;
    if (std::string(reinterpret_cast<char*>(oldPin), oldLength) != slot->token.pin) return CKR_PIN_INCORRECT;
    slot->token.pin.assign(reinterpret_cast<char*>(newPin), newLength);
    return CKR_OK;
}

CK_RV initPin(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    auto [f, failure] = enter("C_InitPIN");
    if (failure) return *failure;
    FakeSlot* slot = slotOfSession(session);
    if (!slot) return CKR_SESSION_HANDLE_INVALID;
    slot->token.pin.assign(reinterpret_cast<char*>(pin), length);
    slot->token.pinTries = 3;
    return CKR_OK;
}

CK_RV findObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    auto [f, failure] = enter("C_FindObjectsInit");
    if (failure) return *failure;
    FakeSlot* slot = slotOfSession(session);
    if (!slot) return CKR_SESSION_HANDLE_INVALID;
    Search search;
    search.slot = slot->id;
    for (CK_ULONG i = 0; i < count; ++i) {
        if (attributes[i].type == CKA_LABEL) {
            search.label.assign(static_cast<char*>(attributes[i].pValue), attributes[i].ulValueLen);
            f.searchedLabels.push_back(search.label);
        }
        if (attributes[i].type == CKA_CLASS)
            search.data = *static_cast<CK_OBJECT_CLASS*>(attributes[i].pValue) == CKO_DATA;
    }
    searches[session] = search;
    return CKR_OK;
}

// Object handles: slot id * 1000 + position among the slot's labels (public first).
CK_RV findObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max, CK_ULONG_PTR count) {
    auto [f, failure] = enter("C_FindObjects");
    *count = 0;
    if (failure) return *failure;
    auto it = searches.find(session);
    FakeSlot* slot = slotOfSession(session);
    if (it == searches.end() || !slot) return CKR_OPERATION_NOT_INITIALIZED;
    Search& search = it->second;
    if (search.done || !search.data || max == 0) return CKR_OK;
    search.done = true;
    const FakeToken& t = objectsOf(f, *slot);
    long position = 0;
    for (const auto& [label, value] : t.objects) {
        ++position;
        if (label == search.label) {
            objects[0] = slot->id * 1000 + static_cast<CK_OBJECT_HANDLE>(position);
            *count = 1;
            return CKR_OK;
        }
    }
    if (!f.userLoggedIn[slot->id]) return CKR_OK;
    for (const auto& [label, value] : t.privateObjects) {
        ++position;
        if (label == search.label) {
            objects[0] = slot->id * 1000 + static_cast<CK_OBJECT_HANDLE>(position);
            *count = 1;
            return CKR_OK;
        }
    }
    return CKR_OK;
}

CK_RV findObjectsFinal(CK_SESSION_HANDLE session) {
    auto [f, failure] = enter("C_FindObjectsFinal");
    if (failure) return *failure;
    return searches.erase(session) ? CKR_OK : CKR_OPERATION_NOT_INITIALIZED;
}

CK_RV getAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attribute, CK_ULONG) {
    auto [f, failure] = enter("C_GetAttributeValue");
    if (failure) return *failure;
    FakeSlot* slot = slotOfSession(session);
    if (!slot || object / 1000 != slot->id) return CKR_OBJECT_HANDLE_INVALID;
    if (attribute->type != CKA_VALUE) return CKR_ATTRIBUTE_TYPE_INVALID;
    long position = static_cast<long>(object % 1000);
    const Bytes* value = nullptr;
    const FakeToken& t = objectsOf(f, *slot);
    for (const auto* table : {&t.objects, &t.privateObjects})
        for (const auto& [label, bytes] : *table)
            if (--position == 0) value = &bytes;
    if (!value) return CKR_OBJECT_HANDLE_INVALID;
    return copyAttributeValue(*attribute, *value);
}

}  // namespace

FakeIssuerModule::FakeIssuerModule() {
    current = this;
    searches.clear();
    functionList = CK_FUNCTION_LIST{};
    functionList.version = {2, 20};
    functionList.C_Initialize = initialize;
    functionList.C_Finalize = finalize;
    functionList.C_GetSlotList = getSlotList;
    functionList.C_GetSlotInfo = getSlotInfo;
    functionList.C_GetTokenInfo = getTokenInfo;
    functionList.C_OpenSession = openSession;
    functionList.C_CloseSession = closeSession;
    functionList.C_GetSessionInfo = getSessionInfo;
    functionList.C_Login = login;
    functionList.C_Logout = logout;
    functionList.C_SetPIN = setPin;
    functionList.C_InitPIN = initPin;
    functionList.C_FindObjectsInit = findObjectsInit;
    functionList.C_FindObjects = findObjects;
    functionList.C_FindObjectsFinal = findObjectsFinal;
    functionList.C_GetAttributeValue = getAttributeValue;
}

FakeIssuerModule::~FakeIssuerModule() { current = nullptr; }

CK_FUNCTION_LIST* FakeIssuerModule::functions() { return &functionList; }

CK_RV FakeIssuerModule::transmit(CK_SESSION_HANDLE, CK_BYTE_PTR apdu, CK_ULONG length, CK_BYTE_PTR response,
                                 CK_ULONG_PTR responseLength, CK_BBOOL flag) {
    auto [f, failure] = enter("C_TransmitMessage");
    f.apdus.emplace_back(apdu, apdu + length);
    f.apduFlags.push_back(flag == CK_TRUE);
    if (failure) return *failure;
    Bytes answer = f.card ? f.card(f.apdus.back()) : Bytes{0x90, 0x00};
    if (answer.size() > *responseLength) return CKR_BUFFER_TOO_SMALL;
    std::memcpy(response, answer.data(), answer.size());
    *responseLength = answer.size();
    return CKR_OK;
}

FakeSlot& FakeIssuerModule::addSlot(const std::string& description, bool present) {
    return addSlot(slotList.empty() ? 0 : slotList.back().id + 1, description, present);
}

FakeSlot& FakeIssuerModule::addSlot(CK_SLOT_ID id, const std::string& description, bool present) {
    FakeSlot s;
    s.id = id;
    s.description = description;
    s.present = present;
    slotList.push_back(s);
    return slotList.back();
}

FakeSlot& FakeIssuerModule::slot(CK_SLOT_ID id) {
    FakeSlot* s = findSlot(id);
    if (!s) throw std::out_of_range("no such slot");
    return *s;
}

void FakeIssuerModule::failOn(const std::string& call, CK_RV result) {
    if (std::find(std::begin(kCalls), std::end(kCalls), call) == std::end(kCalls))
        throw std::invalid_argument("the fake issuer module does not answer " + call);
    failures[call] = result;
}

int FakeIssuerModule::totalCalls() const { return static_cast<int>(calls.size()); }

int FakeIssuerModule::count(const std::string& name) const {
    return static_cast<int>(std::count(calls.begin(), calls.end(), name));
}

}  // namespace qel::test
