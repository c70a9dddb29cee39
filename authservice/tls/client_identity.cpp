#include "authservice/tls/client_identity.h"

#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <utility>

#include "common/format.h"
#include "common/hex.h"
#include "common/logger.h"

namespace qel::vek {

struct TokenSession {
    CK_FUNCTION_LIST* f = nullptr;
    CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    TokenSession(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session) : f(functions), handle(session) {}
    // The process's last session on the token ends the login it took over; the card stays verified
    // for the program that verified it.
    ~TokenSession() { f->C_CloseSession(handle); }
    TokenSession(const TokenSession&) = delete;
    TokenSession& operator=(const TokenSession&) = delete;
};

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

bool isAuthenticationKeyLabel(const std::string& label) {
    return label.find("Authentification") != std::string::npos || label.find("Technique") != std::string::npos;
}

bool tokenSerialOfCard(const std::string& tokenSerial, const std::string& cardSerial) {
    if (cardSerial.empty()) return false;
    const std::string tail = cardSerial.size() <= 16 ? cardSerial : cardSerial.substr(cardSerial.size() - 16);
    return tokenSerial == tail;
}

namespace {

constexpr const char* kSigillaFile = "libsigilla-pkcs11.so";

// The module file a p11-kit registration names; empty when it names none.
std::string registeredModuleFile(const std::filesystem::path& registration) {
    std::ifstream in(registration);
    for (std::string line; std::getline(in, line);) {
        const std::size_t colon = line.find(':');
        if (line.empty() || line[0] == '#' || colon == std::string::npos) continue;
        std::string key = line.substr(0, colon), value = line.substr(colon + 1);
        key.erase(0, key.find_first_not_of(" \t"));
        key.erase(key.find_last_not_of(" \t") + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r") + 1);
        if (key == "module") return value;
    }
    return {};
}

}  // namespace

std::string registeredSigillaModule() {
    namespace fs = std::filesystem;
    std::vector<fs::path> folders;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config)
        folders.emplace_back(fs::path(config) / "pkcs11/modules");
    else if (const char* home = std::getenv("HOME"); home && *home)
        folders.emplace_back(fs::path(home) / ".config/pkcs11/modules");
    folders.emplace_back(QEL_P11_KIT_SYSTEM_MODULES);
    folders.emplace_back(QEL_P11_KIT_PACKAGE_MODULES);
    for (const fs::path& folder : folders) {
        std::error_code ec;
        std::vector<fs::path> registrations;
        for (const auto& entry : fs::directory_iterator(folder, ec))
            if (entry.path().extension() == ".module") registrations.push_back(entry.path());
        std::sort(registrations.begin(), registrations.end());
        for (const fs::path& registration : registrations) {
            const std::string file = registeredModuleFile(registration);
            if (file.empty() || fs::path(file).filename() != kSigillaFile) continue;
            // A bare file name is one of p11-kit's module folder.
            return fs::path(file).is_absolute() ? file : (fs::path(QEL_P11_KIT_MODULE_PATH) / file).string();
        }
    }
    return {};
}

namespace {

// Each module file loaded once for the process, never finalised (see findCardIdentity).
CK_FUNCTION_LIST* loadedModule(const std::string& path) {
    static std::mutex mutex;
    static std::map<std::string, CK_FUNCTION_LIST*> loaded;
    std::lock_guard lock(mutex);
    if (auto it = loaded.find(path); it != loaded.end()) return it->second;
    CK_FUNCTION_LIST* f = nullptr;
    if (void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
        CK_C_INITIALIZE_ARGS args{};
        args.flags = CKF_OS_LOCKING_OK;
        CK_RV rv = CKR_GENERAL_ERROR;
        if (getList != nullptr && getList(&f) == CKR_OK && f != nullptr) rv = f->C_Initialize(&args);
        // Another user of the module in this process (p11-kit's proxy) may have initialised it first.
        if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
            logError(format("Vek TLS : the PKCS#11 module %s cannot start (0x%lX)", path.c_str(), rv));
            f = nullptr;
        }
    } else {
        logError(format("Vek TLS : the PKCS#11 module %s cannot be loaded : %s", path.c_str(), dlerror()));
    }
    // A failure is not remembered: the next request tries again.
    if (f != nullptr) loaded[path] = f;
    return f;
}

}  // namespace

CardIdentity findCardIdentity(const std::string& modulePath, const std::string& cardSerial) {
    CardIdentity out;
    CK_FUNCTION_LIST* f = modulePath.empty() ? nullptr : loadedModule(modulePath);
    if (f == nullptr) return out;
    out.problem = IdentityProblem::noToken;
    CK_ULONG count = 0;
    if (f->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count == 0) return out;
    std::vector<CK_SLOT_ID> slots(count);
    if (f->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) return out;
    slots.resize(count);
    for (CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO token{};
        if (f->C_GetTokenInfo(slot, &token) != CKR_OK ||
            !tokenSerialOfCard(fieldText(token.serialNumber, sizeof token.serialNumber), cardSerial))
            continue;
        CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
        if (f->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &s) != CKR_OK) return out;
        auto session = std::make_shared<TokenSession>(f, s);
        const std::string label = fieldText(token.label, sizeof token.label);
        // Never a PIN here, and never a PIN pad: only a card that Kartello's PIN step verified.
        if ((token.flags & CKF_LOGIN_REQUIRED) && !(token.flags & CKF_PROTECTED_AUTHENTICATION_PATH) &&
            !loggedIn(f, s)) {
            const CK_RV rv = f->C_Login(s, CKU_USER, nullptr, 0);
            if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
                logInfo(format("Vek TLS : token %s is not verified (0x%lX)", label.c_str(), rv));
                out.problem = IdentityProblem::notVerified;
                return out;
            }
        }
        out.problem = IdentityProblem::noAuthenticationKey;
        Bytes keyId;
        for (CK_OBJECT_HANDLE key : objectsOfClass(f, s, CKO_PRIVATE_KEY)) {
            const Bytes keyLabel = attribute(f, s, key, CKA_LABEL);
            if (!isAuthenticationKeyLabel(std::string(keyLabel.begin(), keyLabel.end()))) continue;
            keyId = attribute(f, s, key, CKA_ID);
            session->key = key;
            if (!keyId.empty()) break;
        }
        if (keyId.empty()) return out;
        for (CK_OBJECT_HANDLE cert : objectsOfClass(f, s, CKO_CERTIFICATE)) {
            if (attribute(f, s, cert, CKA_ID) != keyId) continue;
            ClientIdentity identity;
            identity.module = std::filesystem::path(modulePath).filename().string();
            identity.tokenLabel = label;
            identity.tokenSerial = fieldText(token.serialNumber, sizeof token.serialNumber);
            identity.tokenManufacturer = fieldText(token.manufacturerID, sizeof token.manufacturerID);
            identity.tokenModel = fieldText(token.model, sizeof token.model);
            identity.id = keyId;
            identity.certificate = attribute(f, s, cert, CKA_VALUE);
            identity.signsPss = signsPss(f, slot);
            if (identity.certificate.empty()) continue;
            out.identity = std::move(identity);
            out.problem = IdentityProblem::none;
            out.session = std::move(session);
            return out;
        }
        return out;
    }
    return out;
}

namespace {

// The DER prefixes of a DigestInfo: the card's PKCS#1 v1.5 mechanism signs a DigestInfo as given.
Bytes digestInfo(CardDigest digest, const Bytes& hash) {
    static const Bytes sha1{0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
    static const Bytes sha224{0x30, 0x2d, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                              0x65, 0x03, 0x04, 0x02, 0x04, 0x05, 0x00, 0x04, 0x1c};
    static const Bytes sha256{0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                              0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes out = digest == CardDigest::sha1 ? sha1 : digest == CardDigest::sha224 ? sha224 : sha256;
    out.insert(out.end(), hash.begin(), hash.end());
    return out;
}

std::optional<Bytes> signOnToken(const TokenSession& session, const CardSignRequest& request) {
    CK_FUNCTION_LIST* f = session.f;
    CK_RSA_PKCS_PSS_PARAMS pss{};
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    Bytes input;
    if (request.padding == CardPadding::pss) {
        if (request.digest == CardDigest::sha224) return std::nullopt;  // no PSS over SHA-224 on the card
        pss.hashAlg = request.digest == CardDigest::sha1 ? CKM_SHA_1 : CKM_SHA256;
        pss.mgf = request.digest == CardDigest::sha1 ? CKG_MGF1_SHA1 : CKG_MGF1_SHA256;
        pss.sLen = request.hash.size();
        mechanism = CK_MECHANISM{CKM_RSA_PKCS_PSS, &pss, sizeof pss};
        input = request.hash;
    } else {
        input = digestInfo(request.digest, request.hash);
    }
    CK_RV rv = f->C_SignInit(session.handle, &mechanism, session.key);
    Bytes signature(512);  // an RSA key of 4096 bits at most
    CK_ULONG length = signature.size();
    if (rv == CKR_OK) rv = f->C_Sign(session.handle, input.data(), input.size(), signature.data(), &length);
    if (rv != CKR_OK) {
        logError(format("Vek TLS : the card did not sign the handshake (0x%lX)", rv));
        return std::nullopt;
    }
    signature.resize(length);
    return signature;
}

}  // namespace

TokenSigner::TokenSigner(std::string modulePath, std::string cardSerial, CardIdentity found)
    : modulePath_(std::move(modulePath)),
      cardSerial_(std::move(cardSerial)),
      id_(found.identity ? found.identity->id : Bytes{}),
      session_(std::move(found.session)) {}

TokenSigner::~TokenSigner() = default;

std::optional<Bytes> TokenSigner::sign(const CardSignRequest& request) {
    std::lock_guard lock(mutex_);
    if (dropped_ || id_.empty()) {
        session_.reset();
        logError(format("Vek TLS : the key of card %s no longer signs: another card was selected since",
                        cardSerial_.c_str()));
        return std::nullopt;
    }
    if (!session_) {
        // The same card's token and the same key: a card put in since is another's, or its login is
        // gone, and the lookup then finds nothing.
        CardIdentity again = findCardIdentity(modulePath_, cardSerial_);
        if (!again.identity || again.identity->id != id_ || !again.session) {
            logError(format("Vek TLS : the key of card %s is no longer usable", cardSerial_.c_str()));
            return std::nullopt;
        }
        session_ = std::move(again.session);
    }
    std::optional<Bytes> signature = signOnToken(*session_, request);
    // Held no longer than the signature.
    session_.reset();
    return signature;
}

void TokenSigner::drop() {
    dropped_ = true;
    // A signature under way ends with its session; the next one sees the flag.
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (lock.owns_lock()) session_.reset();
}

}  // namespace qel::vek
