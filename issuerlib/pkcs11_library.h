#pragma once
#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "issuerlib/card_reset.h"
#include "issuerlib/transmit_message.h"

namespace qel {

class ServiceReportRecorder;

/// The issuer library's path when nothing else is configured.
std::string defaultPkcs11LibraryPath();

/// `QEL_PKCS11_LIBRARY` from the environment when set and not empty, else `defaultPkcs11LibraryPath`.
std::string configuredPkcs11LibraryPath();

/// Most slots the binding ever lists.
inline constexpr std::size_t kMaxSlots = 10;

/// The card issuer's PKCS#11 library, loaded by path and unloaded when the object goes away.
///
/// One object per process, created at the program's edge and passed to the slots and cards that
/// use it. A library that cannot be loaded (missing file, not a shared library, no
/// `C_GetFunctionList`, or `C_GetFunctionList` failing) is logged with its path and the loader's
/// text; the object then answers `initialize` with CKR_GENERAL_ERROR and every other call with
/// CKR_CRYPTOKI_NOT_INITIALIZED, so callers see a library that failed `C_Initialize`.
///
/// Each method makes one library call with the standard's C signature and returns its CK_RV
/// unchanged. After "C_OpenSession", "C_CloseSession", "C_GetSessionInfo", "C_GetTokenInfo",
/// "C_GetSlotInfo", "C_Login", "C_FindObjects", "C_FindObjectsFinal", "C_GetAttributeValue",
/// "C_SignInit", "C_Sign", "C_VerifyInit" and "C_GenerateRandom" the result goes to the services
/// report recorder while its switch is on (`C_Initialize` and `C_GetSlotList` are recorded by the
/// services test itself). Secrets passed to `login`, `setPin` and `initPin` are copied into a
/// buffer that is wiped before the method returns; they are never logged or kept.
///
/// Not thread-safe: the application makes one call at a time (the update session's pass-through
/// calls included).
class Pkcs11Library {
public:
    /// Loads the library at `path` (see the class comment for failures). `recorder` may be null.
    explicit Pkcs11Library(std::string path, ServiceReportRecorder* recorder = nullptr);

    /// Uses a module already present in the process (linked in, or a test double). `transmit` may be
    /// null: the pass-through then fails with CKR_FUNCTION_NOT_SUPPORTED.
    Pkcs11Library(CK_FUNCTION_LIST_PTR functions, QelTransmitMessageFunction transmit,
                  ServiceReportRecorder* recorder = nullptr);

    /// Finalises the library if it is still initialised, then unloads it.
    ~Pkcs11Library();

    Pkcs11Library(const Pkcs11Library&) = delete;
    Pkcs11Library& operator=(const Pkcs11Library&) = delete;

    /// True when the function list was obtained.
    bool isLoaded() const { return functions_ != nullptr; }
    /// The path given at construction (empty for an in-process module).
    const std::string& path() const { return path_; }
    /// Why loading failed (empty when loaded).
    const std::string& loadError() const { return loadError_; }
    /// True when the library exports the APDU pass-through.
    bool hasTransmitMessage() const { return transmit_ != nullptr; }
    /// True between a successful `initialize` and the next `finalize`.
    bool isInitialized() const { return initialized_; }
    /// Changes at every successful `initialize` and `finalize`; session handles obtained under one
    /// value mean nothing under another (a re-initialised library hands out the same numbers again).
    unsigned generation() const { return generation_; }

    /// How `resetCard` reaches the card: through the smart-card service for a library loaded by
    /// path, nothing (no reset) for an in-process module unless a test sets one.
    void setCardResetter(CardResetter resetter) { cardResetter_ = std::move(resetter); }
    /// Resets the card in `readerName` (logged), so that it forgets the PIN this program verified.
    /// A PKCS#11 logout alone leaves the card verified for any program that talks to it next.
    bool resetCard(const std::string& readerName);
    /// The reader a slot stands for (`C_GetSlotInfo`, not traced: the services report shows the
    /// calls the holder's operations make, not this bookkeeping); empty when the library refuses.
    std::string readerOfSlot(CK_SLOT_ID slot);

    ServiceReportRecorder* recorder() const { return recorder_; }
    void setRecorder(ServiceReportRecorder* recorder) { recorder_ = recorder; }

    /// `C_Initialize` with a null argument. CKR_GENERAL_ERROR when the library is not loaded.
    CK_RV initialize();
    /// `C_Finalize` with a null argument.
    CK_RV finalize();

    /// `C_GetSlotList` with tokenPresent FALSE and room for `kMaxSlots` identifiers; `slots` receives
    /// the identifiers written (cleared on failure). When the library has more slots than that, the
    /// whole list is fetched and its first `kMaxSlots` identifiers are kept.
    CK_RV getSlotList(std::vector<CK_SLOT_ID>& slots);
    CK_RV getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO& info);
    CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO& info);

    /// `C_OpenSession` with the given flags, null application pointer and callback. `session` is 0
    /// on failure.
    CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE& session);
    CK_RV closeSession(CK_SESSION_HANDLE session);
    CK_RV getSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO& info);

    /// `C_Login` with the code's bytes and count (no terminator).
    CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE userType, std::string_view code);
    CK_RV logout(CK_SESSION_HANDLE session);
    CK_RV setPin(CK_SESSION_HANDLE session, std::string_view oldPin, std::string_view newPin);
    CK_RV initPin(CK_SESSION_HANDLE session, std::string_view newPin);

    CK_RV findObjectsInit(CK_SESSION_HANDLE session, std::span<CK_ATTRIBUTE> attributes);
    /// One `C_FindObjects` for at most `maxCount` handles; `objects` receives those found.
    CK_RV findObjects(CK_SESSION_HANDLE session, CK_ULONG maxCount, std::vector<CK_OBJECT_HANDLE>& objects);
    CK_RV findObjectsFinal(CK_SESSION_HANDLE session);
    /// `C_GetAttributeValue` with a one-attribute template (null `pValue` to learn the length).
    CK_RV getAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE& attribute);

    /// Init calls take the mechanism without parameter.
    CK_RV signInit(CK_SESSION_HANDLE session, CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key);
    /// `C_Sign`; a null `signature` asks for the length.
    CK_RV sign(CK_SESSION_HANDLE session, const Bytes& data, CK_BYTE_PTR signature, CK_ULONG& signatureLength);
    CK_RV verifyInit(CK_SESSION_HANDLE session, CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key);
    CK_RV verify(CK_SESSION_HANDLE session, const Bytes& data, const Bytes& signature);
    /// `C_GenerateRandom` for `count` bytes into `random` (empty on failure).
    CK_RV generateRandom(CK_SESSION_HANDLE session, std::size_t count, Bytes& random);

    /// The pass-through with a `responseCapacity`-byte buffer; `response` receives the bytes the
    /// library wrote (empty on failure). CKR_FUNCTION_NOT_SUPPORTED, logged, when the library has no
    /// pass-through.
    CK_RV transmitMessage(CK_SESSION_HANDLE session, const Bytes& apdu, std::size_t responseCapacity, Bytes& response,
                          bool flag);

private:
    void load();
    void unload();
    void trace(const char* functionName, CK_RV rv) const;

    std::string path_;
    std::string loadError_;
    void* handle_ = nullptr;
    CK_FUNCTION_LIST_PTR functions_ = nullptr;
    QelTransmitMessageFunction transmit_ = nullptr;
    ServiceReportRecorder* recorder_ = nullptr;
    CardResetter cardResetter_;
    bool initialized_ = false;
    unsigned generation_ = 0;
};

}  // namespace qel
