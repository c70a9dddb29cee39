#include "issuerlib/pkcs11_library.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>

#include "common/format.h"
#include "common/logger.h"
#include "common/secret_bytes.h"
#include "issuerlib/service_report.h"

#ifndef QEL_PKCS11_DEFAULT_LIBRARY
#define QEL_PKCS11_DEFAULT_LIBRARY "/usr/lib/x86_64-linux-gnu/qel/libqel3_pkcs11.so"
#endif

namespace qel {
namespace {

// No workstation has this many readers; a larger count is a library fault, not a list to allocate.
constexpr CK_ULONG kSlotListLimit = 1024;

std::string dlErrorText() {
    const char* text = dlerror();
    return text ? text : "erreur inconnue";
}

// Every call goes through here: a library that is not loaded, or whose list lacks the function,
// answers like a library that was never initialised or does not offer it.
template <typename Function, typename... Args>
CK_RV callModule(CK_FUNCTION_LIST_PTR functions, Function CK_FUNCTION_LIST::*entry, Args... args) {
    if (!functions) return CKR_CRYPTOKI_NOT_INITIALIZED;
    Function function = functions->*entry;
    if (!function) return CKR_FUNCTION_NOT_SUPPORTED;
    return function(args...);
}

}  // namespace

std::string defaultPkcs11LibraryPath() { return QEL_PKCS11_DEFAULT_LIBRARY; }

std::string configuredPkcs11LibraryPath() {
    const char* configured = std::getenv("QEL_PKCS11_LIBRARY");
    if (configured && *configured) return configured;
    return defaultPkcs11LibraryPath();
}

Pkcs11Library::Pkcs11Library(std::string path, ServiceReportRecorder* recorder)
    : path_(std::move(path)), recorder_(recorder), cardResetter_(pcscCardResetter()) {
    load();
}

bool Pkcs11Library::resetCard(const std::string& readerName) {
    if (!cardResetter_ || readerName.empty()) return false;
    const bool reset = cardResetter_(readerName);
    if (reset) logDebug("Carte réinitialisée dans le lecteur " + readerName);
    return reset;
}

Pkcs11Library::Pkcs11Library(CK_FUNCTION_LIST_PTR functions, QelTransmitMessageFunction transmit,
                             ServiceReportRecorder* recorder)
    : functions_(functions), transmit_(transmit), recorder_(recorder) {
    if (!functions_) loadError_ = "liste de fonctions absente";
}

Pkcs11Library::~Pkcs11Library() {
    if (initialized_) finalize();
    unload();
}

void Pkcs11Library::load() {
    dlerror();
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        loadError_ = dlErrorText();
        logError(format("Chargement de la bibliothèque PKCS#11 %s impossible : %s", path_.c_str(), loadError_.c_str()));
        return;
    }
    dlerror();
    auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
    if (!getFunctionList) {
        loadError_ = dlErrorText();
        logError(format("Fonction C_GetFunctionList absente de la bibliothèque PKCS#11 %s : %s", path_.c_str(),
                        loadError_.c_str()));
        unload();
        return;
    }
    CK_FUNCTION_LIST_PTR functions = nullptr;
    CK_RV rv = getFunctionList(&functions);
    if (rv != CKR_OK || !functions) {
        loadError_ = format("C_GetFunctionList: %lu", rv);
        logError(format("Erreur dans C_GetFunctionList de %s : résultat = %lu", path_.c_str(), rv));
        unload();
        return;
    }
    functions_ = functions;
    // The pass-through is not part of the function list; a library without it serves everything else.
    transmit_ = reinterpret_cast<QelTransmitMessageFunction>(dlsym(handle_, kTransmitMessageSymbol));
    if (!transmit_) {
        logInfo(format("Fonction C_TransmitMessage absente de la bibliothèque PKCS#11 %s", path_.c_str()));
    }
    logDebug(format("Bibliothèque PKCS#11 chargée : %s", path_.c_str()));
}

void Pkcs11Library::unload() {
    functions_ = nullptr;
    transmit_ = nullptr;
    if (handle_) {
        dlclose(handle_);
        handle_ = nullptr;
    }
}

void Pkcs11Library::trace(const char* functionName, CK_RV rv) const {
    if (recorder_) recorder_->recordIfEnabled(functionName, rv);
}

CK_RV Pkcs11Library::initialize() {
    if (!functions_) {
        logError(format("Bibliothèque PKCS#11 %s non chargée : C_Initialize impossible", path_.c_str()));
        return CKR_GENERAL_ERROR;
    }
    CK_RV rv = callModule(functions_, &CK_FUNCTION_LIST::C_Initialize, nullptr);
    if (rv == CKR_OK) {
        initialized_ = true;
        ++generation_;
    } else if (rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        initialized_ = true;
    }
    return rv;
}

CK_RV Pkcs11Library::finalize() {
    CK_RV rv = callModule(functions_, &CK_FUNCTION_LIST::C_Finalize, nullptr);
    if (functions_) {
        initialized_ = false;
        ++generation_;
    }
    return rv;
}

CK_RV Pkcs11Library::getSlotList(std::vector<CK_SLOT_ID>& slots) {
    CK_SLOT_ID buffer[kMaxSlots] = {};
    CK_ULONG count = kMaxSlots;
    CK_RV rv = callModule(functions_, &CK_FUNCTION_LIST::C_GetSlotList, CK_FALSE, buffer, &count);
    slots.clear();
    if (rv == CKR_OK) {
        slots.assign(buffer, buffer + std::min<CK_ULONG>(count, kMaxSlots));
    } else if (rv == CKR_BUFFER_TOO_SMALL) {
        // More readers than are shown: a conforming library writes no identifier at all then, which
        // would hide every reader. Fetch the whole list and keep its head.
        CK_ULONG total = 0;
        rv = callModule(functions_, &CK_FUNCTION_LIST::C_GetSlotList, CK_FALSE, nullptr, &total);
        if (rv == CKR_OK && total > 0 && total <= kSlotListLimit) {
            std::vector<CK_SLOT_ID> all(total);
            rv = callModule(functions_, &CK_FUNCTION_LIST::C_GetSlotList, CK_FALSE, all.data(), &total);
            if (rv == CKR_OK)
                slots.assign(all.begin(), all.begin() + std::min<CK_ULONG>({total, all.size(), kMaxSlots}));
        } else if (rv == CKR_OK) {
            rv = CKR_GENERAL_ERROR;
        }
    }
    return rv;
}

std::string Pkcs11Library::readerOfSlot(CK_SLOT_ID slot) {
    CK_SLOT_INFO info{};
    if (callModule(functions_, &CK_FUNCTION_LIST::C_GetSlotInfo, slot, &info) != CKR_OK) return {};
    return readerNameOfSlot(info);
}

CK_RV Pkcs11Library::getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO& info) {
    CK_RV rv = callModule(functions_, &CK_FUNCTION_LIST::C_GetSlotInfo, slot, &info);
    trace("C_GetSlotInfo", rv);
    return rv;
}

CK_RV Pkcs11Library::getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO& info) {
    CK_RV rv = callModule(functions_, &CK_FUNCTION_LIST::C_GetTokenInfo, slot, &info);
    trace("C_GetTokenInfo", rv);
    return rv;
}

CK_RV Pkcs11Library::openSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE& session) {
    session = 0;
    CK_RV rv = callModule(functions_, &CK_FUNCTION_LIST::C_OpenSession, slot, flags, nullptr, nullptr, &session);
    if (rv != CKR_OK) session = 0;
    trace("C_OpenSession", rv);
    return rv;
}

CK_RV Pkcs11Library::closeSession(CK_SESSION_HANDLE session) {
    CK_RV rv = callModule(functions_, &CK_FUNCTION_LIST::C_CloseSession, session);
    trace("C_CloseSession", rv);
    return rv;
}

CK_RV Pkcs11Library::getSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO& info) {
    CK_RV rv = callModule(functions_, &CK_FUNCTION_LIST::C_GetSessionInfo, session, &info);
    trace("C_GetSessionInfo", rv);
    return rv;
}

CK_RV Pkcs11Library::login(CK_SESSION_HANDLE session, CK_USER_TYPE userType, std::string_view code) {
    SecretBytes secret(code);
    CK_RV rv =
        callModule(functions_, &CK_FUNCTION_LIST::C_Login, session, userType, secret.mutableData(), secret.size());
    trace("C_Login", rv);
    return rv;
}

CK_RV Pkcs11Library::logout(CK_SESSION_HANDLE session) {
    return callModule(functions_, &CK_FUNCTION_LIST::C_Logout, session);
}

CK_RV Pkcs11Library::setPin(CK_SESSION_HANDLE session, std::string_view oldPin, std::string_view newPin) {
    SecretBytes oldSecret(oldPin);
    SecretBytes newSecret(newPin);
    return callModule(functions_, &CK_FUNCTION_LIST::C_SetPIN, session, oldSecret.mutableData(), oldSecret.size(),
                      newSecret.mutableData(), newSecret.size());
}

CK_RV Pkcs11Library::initPin(CK_SESSION_HANDLE session, std::string_view newPin) {
    SecretBytes secret(newPin);
    return callModule(functions_, &CK_FUNCTION_LIST::C_InitPIN, session, secret.mutableData(), secret.size());
}

CK_RV Pkcs11Library::findObjectsInit(CK_SESSION_HANDLE session, std::span<CK_ATTRIBUTE> attributes) {
    return callModule(functions_, &CK_FUNCTION_LIST::C_FindObjectsInit, session, attributes.data(), attributes.size());
}

CK_RV Pkcs11Library::findObjects(CK_SESSION_HANDLE session, CK_ULONG maxCount, std::vector<CK_OBJECT_HANDLE>& objects) {
    objects.assign(maxCount, 0);
    CK_ULONG count = 0;
    CK_RV rv = callModule(functions_, &CK_FUNCTION_LIST::C_FindObjects, session, objects.data(), maxCount, &count);
    trace("C_FindObjects", rv);
    objects.resize(rv == CKR_OK ? std::min(count, maxCount) : 0);
    return rv;
}

CK_RV Pkcs11Library::findObjectsFinal(CK_SESSION_HANDLE session) {
    CK_RV rv = callModule(functions_, &CK_FUNCTION_LIST::C_FindObjectsFinal, session);
    trace("C_FindObjectsFinal", rv);
    return rv;
}

CK_RV Pkcs11Library::getAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE& attribute) {
    CK_RV rv = callModule(functions_, &CK_FUNCTION_LIST::C_GetAttributeValue, session, object, &attribute, 1);
    trace("C_GetAttributeValue", rv);
    return rv;
}

CK_RV Pkcs11Library::signInit(CK_SESSION_HANDLE session, CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key) {
    CK_MECHANISM m{mechanism, nullptr, 0};
    CK_RV rv = callModule(functions_, &CK_FUNCTION_LIST::C_SignInit, session, &m, key);
    trace("C_SignInit", rv);
    return rv;
}

CK_RV Pkcs11Library::sign(CK_SESSION_HANDLE session, const Bytes& data, CK_BYTE_PTR signature,
                          CK_ULONG& signatureLength) {
    Bytes copy = data;
    CK_RV rv = callModule(functions_, &CK_FUNCTION_LIST::C_Sign, session, copy.data(), copy.size(), signature,
                          &signatureLength);
    trace("C_Sign", rv);
    return rv;
}

CK_RV Pkcs11Library::verifyInit(CK_SESSION_HANDLE session, CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key) {
    CK_MECHANISM m{mechanism, nullptr, 0};
    CK_RV rv = callModule(functions_, &CK_FUNCTION_LIST::C_VerifyInit, session, &m, key);
    trace("C_VerifyInit", rv);
    return rv;
}

CK_RV Pkcs11Library::verify(CK_SESSION_HANDLE session, const Bytes& data, const Bytes& signature) {
    Bytes dataCopy = data;
    Bytes signatureCopy = signature;
    return callModule(functions_, &CK_FUNCTION_LIST::C_Verify, session, dataCopy.data(), dataCopy.size(),
                      signatureCopy.data(), signatureCopy.size());
}

CK_RV Pkcs11Library::generateRandom(CK_SESSION_HANDLE session, std::size_t count, Bytes& random) {
    random.assign(count, 0);
    CK_RV rv = callModule(functions_, &CK_FUNCTION_LIST::C_GenerateRandom, session, random.data(), random.size());
    trace("C_GenerateRandom", rv);
    if (rv != CKR_OK) random.clear();
    return rv;
}

CK_RV Pkcs11Library::transmitMessage(CK_SESSION_HANDLE session, const Bytes& apdu, std::size_t responseCapacity,
                                     Bytes& response, bool flag) {
    response.clear();
    if (!transmit_) {
        logError("C_TransmitMessage non disponible dans la bibliothèque PKCS#11");
        return CKR_FUNCTION_NOT_SUPPORTED;
    }
    Bytes command = apdu;
    Bytes buffer(responseCapacity, 0);
    CK_ULONG length = responseCapacity;
    CK_RV rv = transmit_(session, command.data(), command.size(), buffer.data(), &length, flag ? CK_TRUE : CK_FALSE);
    // The command may carry a PIN (VERIFY); the copy goes the way of every other secret.
    wipe(command);
    if (rv == CKR_OK) {
        // A library reporting more than the buffer holds gets no more than the buffer.
        buffer.resize(std::min<std::size_t>(length, responseCapacity));
        response = std::move(buffer);
    }
    return rv;
}

}  // namespace qel
