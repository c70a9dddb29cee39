#include "tests/app/fake_p11_module.h"

#include <algorithm>
#include <stdexcept>

#include "common/hex.h"
#include "tests/support/card_records.h"
#include "tests/support/fake_issuer_calls.h"

namespace qel::test {
namespace {

FakeP11Module* current = nullptr;
CK_FUNCTION_LIST functionList{};

struct Search {
    CK_SLOT_ID slot = 0;
    std::string label;
    bool data = false;
    bool done = false;
};
std::map<CK_SESSION_HANDLE, Search> searches;

FakeP11Module& m(const char* call) {
    ++current->calls[call];
    return *current;
}

FakeSlot* findSlot(CK_SLOT_ID id) {
    for (auto& s : current->slots)
        if (s.id == id) return &s;
    return nullptr;
}

FakeSlot* slotOfSession(CK_SESSION_HANDLE session) {
    auto it = current->sessions.find(session);
    if (it == current->sessions.end()) return nullptr;
    FakeSlot* slot = findSlot(it->second.slot);
    return slot && slot->present ? slot : nullptr;
}

CK_FLAGS tokenFlags(const FakeToken& t) {
    CK_FLAGS flags = CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED;
    if (t.pinTries == 0) flags |= CKF_USER_PIN_LOCKED;
    else if (t.pinTries == 1) flags |= CKF_USER_PIN_FINAL_TRY;
    if (t.soLocked || t.pukTries == 0) flags |= CKF_SO_PIN_LOCKED;
    else if (t.pukTries == 1) flags |= CKF_SO_PIN_FINAL_TRY;
    return flags;
}

CK_RV checkCode(std::string_view given, const std::string& expected, int& tries) {
    if (tries == 0) return CKR_PIN_LOCKED;
    if (given == expected) {
        tries = 3;
        return CKR_OK;
    }
    return --tries == 0 ? CKR_PIN_LOCKED : CKR_PIN_INCORRECT;
}

Bytes bcdDate(const std::string& ddMMyyyy) {
    return *fromHex(ddMMyyyy.substr(6, 4) + ddMMyyyy.substr(3, 2) + ddMMyyyy.substr(0, 2));
}

}  // namespace

namespace issuer {

CK_RV initialize(void*) { return m("C_Initialize").initializeResult; }

CK_RV finalize(void*) {
    auto& f = m("C_Finalize");
    f.sessions.clear();
    f.userLoggedIn.clear();
    return CKR_OK;
}

CK_RV getSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    auto& f = m("C_GetSlotList");
    if (list && *count < f.slots.size()) {
        *count = f.slots.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    if (list)
        for (std::size_t i = 0; i < f.slots.size(); ++i) list[i] = f.slots[i].id;
    *count = f.slots.size();
    return CKR_OK;
}

CK_RV getSlotInfo(CK_SLOT_ID id, CK_SLOT_INFO_PTR info) {
    m("C_GetSlotInfo");
    FakeSlot* slot = findSlot(id);
    if (!slot) return CKR_SLOT_ID_INVALID;
    *info = CK_SLOT_INFO{};
    pad(info->slotDescription, sizeof info->slotDescription, slot->description);
    info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (slot->present ? CKF_TOKEN_PRESENT : 0);
    return CKR_OK;
}

CK_RV getTokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO_PTR info) {
    m("C_GetTokenInfo");
    FakeSlot* slot = findSlot(id);
    if (!slot) return CKR_SLOT_ID_INVALID;
    if (!slot->present) return CKR_TOKEN_NOT_PRESENT;
    *info = CK_TOKEN_INFO{};
    pad(info->label, sizeof info->label, slot->token.label);
    pad(info->manufacturerID, sizeof info->manufacturerID, "Oberlane");
    pad(info->model, sizeof info->model, "QEL3");
    pad(info->serialNumber, sizeof info->serialNumber, slot->token.serial);
    info->flags = tokenFlags(slot->token);
    return CKR_OK;
}

CK_RV openSession(CK_SLOT_ID id, CK_FLAGS, void*, CK_NOTIFY, CK_SESSION_HANDLE_PTR session) {
    auto& f = m("C_OpenSession");
    FakeSlot* slot = findSlot(id);
    if (!slot) return CKR_SLOT_ID_INVALID;
    if (!slot->present) return CKR_TOKEN_NOT_PRESENT;
    *session = f.nextHandle++;
    f.sessions[*session] = {id};
    return CKR_OK;
}

CK_RV closeSession(CK_SESSION_HANDLE session) {
    auto& f = m("C_CloseSession");
    return f.sessions.erase(session) ? CKR_OK : CKR_SESSION_HANDLE_INVALID;
}

CK_RV getSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
    auto& f = m("C_GetSessionInfo");
    FakeSlot* slot = slotOfSession(session);
    if (!slot) return CKR_SESSION_HANDLE_INVALID;
    *info = CK_SESSION_INFO{};
    info->slotID = slot->id;
    info->state = f.userLoggedIn[slot->id] ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION;
    return CKR_OK;
}

CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE type, CK_UTF8CHAR_PTR code, CK_ULONG length) {
    auto& f = m("C_Login");
    FakeSlot* slot = slotOfSession(session);
    if (!slot) return CKR_SESSION_HANDLE_INVALID;
    std::string_view given(reinterpret_cast<char*>(code), length);
    FakeToken& t = slot->token;
    if (type == CKU_SO) {
        if (t.soLocked) return CKR_PIN_LOCKED;
        return checkCode(given, t.puk, t.pukTries);
    }
    if (f.userLoggedIn[slot->id]) return CKR_USER_ALREADY_LOGGED_IN;
    CK_RV rv = checkCode(given, t.pin, t.pinTries);
    if (rv == CKR_OK) f.userLoggedIn[slot->id] = true;
    return rv;
}

CK_RV logout(CK_SESSION_HANDLE session) {
    auto& f = m("C_Logout");
    FakeSlot* slot = slotOfSession(session);
    if (!slot) return CKR_SESSION_HANDLE_INVALID;
    if (!f.userLoggedIn[slot->id]) return CKR_USER_NOT_LOGGED_IN;
    f.userLoggedIn[slot->id] = false;
    return CKR_OK;
}

CK_RV setPin(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLength, CK_UTF8CHAR_PTR newPin,
             CK_ULONG newLength) {
    auto& f = m("C_SetPIN");
    FakeSlot* slot = slotOfSession(session);
    if (!slot) return CKR_SESSION_HANDLE_INVALID;
    if (!f.userLoggedIn[slot->id]) return CKR_USER_NOT_LOGGED_IN;
    if (std::string(reinterpret_cast<char*>(oldPin), oldLength) != slot->token.pin) return CKR_PIN_INCORRECT;
    slot->token.pin.assign(reinterpret_cast<char*>(newPin), newLength);
    return CKR_OK;
}

CK_RV initPin(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    m("C_InitPIN");
    FakeSlot* slot = slotOfSession(session);
    if (!slot) return CKR_SESSION_HANDLE_INVALID;
    slot->token.pin.assign(reinterpret_cast<char*>(pin), length);
    slot->token.pinTries = 3;
    return CKR_OK;
}

CK_RV findObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    m("C_FindObjectsInit");
    FakeSlot* slot = slotOfSession(session);
    if (!slot) return CKR_SESSION_HANDLE_INVALID;
    Search search;
    search.slot = slot->id;
    for (CK_ULONG i = 0; i < count; ++i) {
        if (attributes[i].type == CKA_LABEL)
            search.label.assign(static_cast<char*>(attributes[i].pValue), attributes[i].ulValueLen);
        if (attributes[i].type == CKA_CLASS)
            search.data = *static_cast<CK_OBJECT_CLASS*>(attributes[i].pValue) == CKO_DATA;
    }
    searches[session] = search;
    return CKR_OK;
}

// Object handles: slot id * 1000 + position among the slot's labels (public first).
CK_RV findObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max, CK_ULONG_PTR count) {
    auto& f = m("C_FindObjects");
    *count = 0;
    auto it = searches.find(session);
    FakeSlot* slot = slotOfSession(session);
    if (it == searches.end() || !slot) return CKR_OPERATION_NOT_INITIALIZED;
    Search& search = it->second;
    if (search.done || !search.data || max == 0) return CKR_OK;
    search.done = true;
    const FakeToken& t = slot->token;
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
    m("C_FindObjectsFinal");
    return searches.erase(session) ? CKR_OK : CKR_OPERATION_NOT_INITIALIZED;
}

CK_RV getAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attribute, CK_ULONG) {
    m("C_GetAttributeValue");
    FakeSlot* slot = slotOfSession(session);
    if (!slot || object / 1000 != slot->id || attribute->type != CKA_VALUE) return CKR_OBJECT_HANDLE_INVALID;
    long position = static_cast<long>(object % 1000);
    const Bytes* value = nullptr;
    for (const auto* table : {&slot->token.objects, &slot->token.privateObjects})
        for (const auto& [label, bytes] : *table)
            if (--position == 0) value = &bytes;
    if (!value) return CKR_OBJECT_HANDLE_INVALID;
    return copyAttributeValue(*attribute, *value);
}

}  // namespace issuer

FakeP11Module::FakeP11Module() {
    current = this;
    searches.clear();
    functionList = issuerFunctionList();
}

FakeP11Module::~FakeP11Module() { current = nullptr; }

CK_FUNCTION_LIST* FakeP11Module::functions() { return &functionList; }

FakeSlot& FakeP11Module::addSlot(const std::string& description, bool present) {
    FakeSlot s;
    s.id = slots.size();
    s.description = description;
    s.present = present;
    slots.push_back(s);
    return slots.back();
}

FakeSlot& FakeP11Module::slot(CK_SLOT_ID id) {
    FakeSlot* s = findSlot(id);
    if (!s) throw std::out_of_range("no such slot");
    return *s;
}

int FakeP11Module::totalCalls() const {
    int total = 0;
    for (const auto& [name, n] : calls) total += n;
    return total;
}

int FakeP11Module::count(const std::string& name) const {
    auto it = calls.find(name);
    return it == calls.end() ? 0 : it->second;
}

Bytes idCardObject(const std::string& expiry, bool testCard) {
    return tlv(0xE3, concat({tlv(0x80, {0x80, 0x25, 0x00, 0x00, 0x01}), tlv(0x81, {0x12, 0x34, 0x56, 0x78, 0x90}),
                             tlv(0x82, {static_cast<std::uint8_t>(testCard ? 0x80 : 0x00)}),
                             tlv(0x83, {0x20, 0x20, 0x01, 0x15}), tlv(0x84, bcdDate(expiry))}));
}

Bytes nameObject(const std::string& family, const std::string& firstName) {
    return tlv(0xE4, concat({tlv(0x80, {0x1F}), tlv(0x81, bytesOf(family)), tlv(0x83, bytesOf(firstName)),
                             tlv(0x84, bytesOf(firstName))}));
}

Bytes infoObject(const std::string& cardType, const std::string& identifier, const std::string& profession,
                 const std::string& metier) {
    // The card writes each code as one byte whose decimal value is the code.
    auto code = [](const std::string& text) { return Bytes{static_cast<std::uint8_t>(std::stoi(text))}; };
    Bytes content = concat({tlv(0x80, code(cardType)), tlv(0x81, bytesOf(identifier))});
    if (!profession.empty()) content = concat({content, tlv(0x82, code(profession))});
    if (!metier.empty()) content = concat({content, tlv(0x83, code(metier))});
    return tlv(0xED, content);
}

}  // namespace qel::test
