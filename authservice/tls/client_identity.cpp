#include "authservice/tls/client_identity.h"

#include <p11-kit/p11-kit.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <utility>

#include "common/format.h"
#include "common/hex.h"
#include "common/logger.h"

namespace qel::vek {

namespace {

// RFC 7512: everything but the unreserved characters is percent-encoded.
std::string uriValue(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::uint8_t b : bytes) {
        if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' || b == '.' ||
            b == '_' || b == '~') {
            out += static_cast<char>(b);
        } else {
            out += '%';
            out += digits[b >> 4];
            out += digits[b & 0x0F];
        }
    }
    return out;
}

std::string uriValue(const std::string& text) { return uriValue(Bytes(text.begin(), text.end())); }

// A blank-padded PKCS#11 text field, without its padding.
std::string fieldText(const CK_UTF8CHAR* field, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(field), size);
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

// One attribute's value; empty when the object has none or refuses it.
Bytes attribute(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (f->C_GetAttributeValue(s, o, &a, 1) != CKR_OK || a.ulValueLen == CK_UNAVAILABLE_INFORMATION) return {};
    Bytes value(a.ulValueLen);
    a.pValue = value.data();
    if (f->C_GetAttributeValue(s, o, &a, 1) != CKR_OK) return {};
    value.resize(a.ulValueLen);
    return value;
}

std::vector<CK_OBJECT_HANDLE> objectsOfClass(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls) {
    std::vector<CK_OBJECT_HANDLE> found;
    CK_ATTRIBUTE wanted{CKA_CLASS, &cls, sizeof cls};
    if (f->C_FindObjectsInit(s, &wanted, 1) != CKR_OK) return found;
    CK_OBJECT_HANDLE batch[32];
    CK_ULONG count = 0;
    while (f->C_FindObjects(s, batch, 32, &count) == CKR_OK && count > 0)
        found.insert(found.end(), batch, batch + count);
    f->C_FindObjectsFinal(s);
    // Object order: the order in which the token published its items.
    std::sort(found.begin(), found.end());
    return found;
}

bool signsPss(CK_FUNCTION_LIST* f, CK_SLOT_ID slot) {
    CK_MECHANISM_INFO info{};
    return f->C_GetMechanismInfo(slot, CKM_RSA_PKCS_PSS, &info) == CKR_OK && (info.flags & CKF_SIGN) != 0;
}

bool loggedIn(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE s) {
    CK_SESSION_INFO info{};
    return f->C_GetSessionInfo(s, &info) == CKR_OK &&
           (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS);
}

}  // namespace

std::string ClientIdentity::keyUri() const {
    return "pkcs11:model=" + uriValue(tokenModel) + ";manufacturer=" + uriValue(tokenManufacturer) +
           ";serial=" + uriValue(tokenSerial) + ";token=" + uriValue(tokenLabel) + ";id=" + uriValue(id) +
           ";type=private";
}

std::optional<ClientIdentity> chooseClientIdentity(const std::vector<ClientIdentity>& identities) {
    if (identities.empty()) return std::nullopt;
    return identities.size() == 1 ? identities[0] : identities[1];
}

struct TokenScan::Modules {
    CK_FUNCTION_LIST** list = nullptr;
    std::vector<std::pair<CK_FUNCTION_LIST*, CK_SESSION_HANDLE>> sessions;

    ~Modules() {
        for (const auto& [f, s] : sessions) f->C_CloseSession(s);
        if (list) p11_kit_modules_finalize_and_release(list);
    }
};

TokenScan::TokenScan() : modules_(std::make_unique<Modules>()) {
    modules_->list = p11_kit_modules_load_and_initialize(0);
    if (modules_->list == nullptr) {
        logError(format("Vek TLS : the PKCS#11 modules could not be loaded : %s", p11_kit_message()));
        return;
    }
    std::vector<std::pair<std::string, CK_FUNCTION_LIST*>> modules;
    for (CK_FUNCTION_LIST** m = modules_->list; *m != nullptr; ++m) {
        char* name = p11_kit_module_get_name(*m);
        modules.emplace_back(name ? name : "", *m);
        std::free(name);
    }
    std::stable_sort(modules.begin(), modules.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

    for (const auto& [name, f] : modules) {
        CK_ULONG count = 0;
        if (f->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count == 0) continue;
        std::vector<CK_SLOT_ID> slots(count);
        if (f->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) continue;
        slots.resize(count);
        for (CK_SLOT_ID slot : slots) {
            CK_TOKEN_INFO token{};
            if (f->C_GetTokenInfo(slot, &token) != CKR_OK) continue;
            CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
            if (f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s) != CKR_OK) continue;
            modules_->sessions.emplace_back(f, s);
            // Never a PIN here, and never a PIN pad: a card that Kartello's PIN step verified is
            // taken over; any other token keeps its private keys hidden.
            if ((token.flags & CKF_LOGIN_REQUIRED) && !(token.flags & CKF_PROTECTED_AUTHENTICATION_PATH) &&
                !loggedIn(f, s)) {
                const CK_RV rv = f->C_Login(s, CKU_USER, nullptr, 0);
                if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN)
                    logInfo(format("Vek TLS : token %s of %s is not verified (0x%lX)",
                                   fieldText(token.label, sizeof token.label).c_str(), name.c_str(), rv));
            }
            std::set<Bytes> keyIds;
            for (CK_OBJECT_HANDLE key : objectsOfClass(f, s, CKO_PRIVATE_KEY)) {
                Bytes id = attribute(f, s, key, CKA_ID);
                if (!id.empty()) keyIds.insert(std::move(id));
            }
            const bool pss = !keyIds.empty() && signsPss(f, slot);
            for (CK_OBJECT_HANDLE cert : objectsOfClass(f, s, CKO_CERTIFICATE)) {
                Bytes id = attribute(f, s, cert, CKA_ID);
                if (id.empty() || !keyIds.count(id)) continue;
                ClientIdentity identity;
                identity.module = name;
                identity.tokenLabel = fieldText(token.label, sizeof token.label);
                identity.tokenSerial = fieldText(token.serialNumber, sizeof token.serialNumber);
                identity.tokenManufacturer = fieldText(token.manufacturerID, sizeof token.manufacturerID);
                identity.tokenModel = fieldText(token.model, sizeof token.model);
                identity.id = std::move(id);
                identity.certificate = attribute(f, s, cert, CKA_VALUE);
                identity.signsPss = pss;
                if (!identity.certificate.empty()) identities_.push_back(std::move(identity));
            }
        }
    }
}

TokenScan::~TokenScan() = default;

}  // namespace qel::vek
