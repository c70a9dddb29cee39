#pragma once
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "card/pin_pad.h"
#include "token/p11/error_mapping.h"
#include "token/p11/reader_service.h"
#include "token/p11/session.h"
#include "token/p11/slot.h"
#include "token/sigilla.h"

namespace qel::p11 {

/// The environment switch by which a host asks, before C_Initialize, that C_Login without a PIN take
/// over a card whose PIN another program of the same user verified. Its value is the asking process's
/// own pid, so that the programs it starts (a browser opened on a link) inherit the variable but not
/// the permission. Kartello sets it in its own process, where its PIN step verifies the card before
/// the authentication service's TLS logs in through this module. Without it, a NULL PIN is refused (CKR_ARGUMENTS_BAD:
/// the token has no protected authentication path), so that no browser, mail client or other process inherits a PIN it
/// never asked for. A login taken over this way reaches the authentication key only.
inline constexpr const char* kAdoptVerifiedCardVariable = "SIGILLA_ADOPT_VERIFIED_CARD";

/// The module behind the C functions: PC/SC readers as slots, a token per recognised card built by
/// the token driver, sessions, login and the key operations. Safe under concurrent calls: the slot
/// and session tables have one lock, each card has its own (one caller at a time per card), each
/// session its own. Lock order: session, then card, then tables.
///
/// Every method reports failures by throwing P11Error (or a card error, mapped at the boundary).
class Module {
public:
    /// `adoptionAllowed`: whether C_Login without a PIN may take over a verified card (the host asked
    /// for it through kAdoptVerifiedCardVariable).
    explicit Module(std::shared_ptr<ReaderService> readers, bool adoptionAllowed = false);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Slots and tokens.
    std::vector<CK_SLOT_ID> slotList(bool tokenPresent);
    void slotInfo(CK_SLOT_ID id, CK_SLOT_INFO& info);
    void tokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO& info);
    std::vector<CK_MECHANISM_TYPE> mechanismList(CK_SLOT_ID id);
    void mechanismInfo(CK_SLOT_ID id, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO& info);
    /// CKR_OK with the slot of the next insertion or removal, CKR_NO_EVENT (CKF_DONT_BLOCK),
    /// CKR_CRYPTOKI_NOT_INITIALIZED when the module is being finalised.
    CK_RV waitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID& slot);
    /// Ends every C_WaitForSlotEvent in progress (C_Finalize).
    void cancelWaits();
    /// Ends the login of every token (C_Finalize, and the end of the process): each card that was
    /// logged in is reset, so that no other process inherits its verified PIN. At the end of the
    /// process (`processEnding`) a card that another thread keeps busy is waited for only briefly,
    /// so that the exit never hangs; it is logged and left.
    void endLogins(bool processEnding = false);

    // Sessions.
    CK_SESSION_HANDLE openSession(CK_SLOT_ID id, CK_FLAGS flags);
    void closeSession(CK_SESSION_HANDLE handle);
    void closeAllSessions(CK_SLOT_ID id);
    void sessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO& info);
    void login(CK_SESSION_HANDLE handle, CK_USER_TYPE user, std::string_view pin);
    /// C_Login without a PIN, for a host that asked for it (kAdoptVerifiedCardVariable): the token is
    /// logged in when the card's PIN is already verified by an application that shares the card
    /// (Kartello's PIN step); CKR_ARGUMENTS_BAD for any other host or an unverified card. No PIN is
    /// asked, sent or kept. Such a login reaches the authentication key only: the signature key
    /// answers CKR_USER_NOT_LOGGED_IN until a login with the PIN. Ending it does not reset the card,
    /// whose verified state belongs to the application that verified it.
    void adoptLogin(CK_SESSION_HANDLE handle, CK_USER_TYPE user);
    /// C_Login without a PIN: a card already verified by a host that asked to take it over is
    /// adopted as above; otherwise a token in a reader with a keypad (a protected authentication path)
    /// has the holder type the PIN there, and any other token is adoptLogin's. The keypad's outcomes:
    /// a wrong PIN CKR_PIN_INCORRECT (the tries are counted on the card and shown in the token's
    /// flags), a blocked card CKR_PIN_LOCKED, Cancel CKR_FUNCTION_CANCELED, a PIN of the wrong length
    /// CKR_PIN_LEN_RANGE, and no entry before the reader gives up CKR_FUNCTION_FAILED: nothing was
    /// checked and no try was used, yet the host must tell the holder that the login did not happen
    /// (a cancel is the holder's own choice and is not reported).
    void loginWithoutPin(CK_SESSION_HANDLE handle, CK_USER_TYPE user);
    /// C_SetPIN without PINs on a token with a keypad: the current PIN and the new one (twice) are
    /// typed on the reader. Outcomes as loginWithoutPin's; CKR_SESSION_READ_ONLY in a read-only
    /// session, CKR_ARGUMENTS_BAD without a keypad, CKR_FUNCTION_NOT_SUPPORTED for a card whose PIN
    /// change the keypad cannot build. A PIN change ends the module's login: the card's security
    /// state is not the one it had.
    void changePinOnKeypad(CK_SESSION_HANDLE handle);
    /// C_LoginUser's name check: the token has one user, who may be named by the token label.
    /// CKR_ARGUMENTS_BAD for any other name.
    void checkUsername(CK_SESSION_HANDLE handle, std::string_view username);
    void logout(CK_SESSION_HANDLE handle);
    /// C_SessionCancel: ends the session's operations that `flags` names (CKF_SIGN, CKF_DECRYPT,
    /// CKF_FIND_OBJECTS; the others are never active here).
    void cancelOperations(CK_SESSION_HANDLE handle, CK_FLAGS flags);

    /// Fills `out` from the card's generator (GET CHALLENGE, in pieces the card accepts).
    void generateRandom(CK_SESSION_HANDLE handle, CK_BYTE_PTR out, CK_ULONG length);
    /// Checks the session only: the card's generator takes no seed.
    void seedRandom(CK_SESSION_HANDLE handle);

    // Objects.
    CK_RV getAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                            CK_ULONG count);
    void findObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR attributes, CK_ULONG count);
    CK_ULONG findObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max);
    void findObjectsFinal(CK_SESSION_HANDLE handle);

    // Key operations. The output functions follow PKCS#11's two-call convention: a null buffer asks
    // for the length, a short one gives CKR_BUFFER_TOO_SMALL and keeps the operation.
    void signInit(CK_SESSION_HANDLE handle, const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key);
    CK_RV sign(CK_SESSION_HANDLE handle, const Bytes& data, CK_BYTE_PTR signature, CK_ULONG& length);
    void signUpdate(CK_SESSION_HANDLE handle, const std::uint8_t* data, std::size_t size);
    CK_RV signFinal(CK_SESSION_HANDLE handle, CK_BYTE_PTR signature, CK_ULONG& length);
    void decryptInit(CK_SESSION_HANDLE handle, const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key);
    CK_RV decrypt(CK_SESSION_HANDLE handle, const Bytes& cryptogram, CK_BYTE_PTR plain, CK_ULONG& length);
    /// Gathers the cryptogram; the plain text comes whole from decryptFinal.
    void decryptUpdate(CK_SESSION_HANDLE handle, const Bytes& part);
    CK_RV decryptFinal(CK_SESSION_HANDLE handle, CK_BYTE_PTR plain, CK_ULONG& length);

    /// The application identifier handed to the token driver: the card's issuer application.
    static const Bytes& applicationID();

private:
    std::shared_ptr<Slot> slotFor(CK_SLOT_ID id);
    std::shared_ptr<P11Session> sessionFor(CK_SESSION_HANDLE handle);
    void refreshSlots();
    /// The slot's token for the card in it now, building it when a new card came (card lock held).
    std::shared_ptr<TokenInstance> currentToken(Slot& slot);
    /// True when the token's card is still the one inserted; drops it otherwise (card lock held).
    bool stillInserted(Slot& slot, const std::shared_ptr<TokenInstance>& token);
    /// Builds the token of the card in the reader. A reading that another application's reset
    /// spoiled (it loses the card's selected file) is done again once, in the same transaction.
    std::shared_ptr<TokenInstance> createToken(Slot& slot, const ReaderStatus& status);
    /// Whether another application reset the token's card since the token was last checked (card
    /// lock held). Throws TransportError when the card cannot be reached again.
    static bool resetElsewhere(TokenInstance& token);
    /// After another application's reset of the slot's card (card lock held): the card is read
    /// again. The same contents keep the token and its sessions, without the login the card forgot;
    /// other contents (a renewed card) replace it, ending its sessions. The slot's token after that,
    /// null when the card could not be read.
    std::shared_ptr<TokenInstance> tokenAfterReset(Slot& slot, const ReaderStatus& status);
    /// After a failed exchange: whether the token's card has left its reader (or was replaced). The
    /// service may notice a pulled card a moment after the exchange failed, so this looks again for
    /// a short while (card lock held).
    bool cardLeft(Slot& slot, const TokenInstance& token);
    /// Forgets the slot's token and closes its sessions (card lock held).
    void dropToken(Slot& slot);
    /// Ends the token's login and resets its card when it was logged in (card lock held). A card
    /// that cannot be reset is logged: it has usually left its reader.
    void endLogin(Slot& slot, TokenInstance& token);
    /// Runs `work` on the session's card in a card session, with the card lock held. A card pulled
    /// out drops the token and gives CKR_DEVICE_REMOVED; other errors are mapped for `phase`.
    template <typename Work>
    auto onCard(P11Session& session, CardPhase phase, Work&& work);

    /// The private key a C_SignInit or C_DecryptInit names (card lock held): the token's card still
    /// inserted, the handle one of its private keys, and `allowed` true of the key.
    const P11Object& operationKey(P11Session& s, CK_OBJECT_HANDLE handle, bool (*allowed)(const TokenKey&));
    CK_RV finishDecrypt(P11Session& s, const Bytes& cryptogram, CK_BYTE_PTR plain, CK_ULONG& length);
    void finishSign(P11Session& s, const Bytes& input, CK_BYTE_PTR signature, CK_ULONG& length, CK_RV& rv);

    /// The keypad's outcome as the token's state (tries left, blocked) and a return value; CKR_OK
    /// when the card accepted the PIN.
    CK_RV keypadOutcome(TokenInstance& token, const PinPadResult& result, const char* what);

    std::shared_ptr<ReaderService> readers_;
    TokenDriver driver_;

    std::mutex mutex_;  // slots_, slotIDs_, sessions_
    std::map<CK_SLOT_ID, std::shared_ptr<Slot>> slots_;
    std::map<std::string, CK_SLOT_ID> slotIDs_;
    std::vector<CK_SLOT_ID> slotOrder_;  // readers present at the last refresh, in service order
    std::map<CK_SESSION_HANDLE, std::shared_ptr<P11Session>> sessions_;
    CK_SESSION_HANDLE nextSession_ = 1;
    std::atomic<CK_OBJECT_HANDLE> nextObject_{1};

    std::mutex eventMutex_;  // baseline_
    std::map<std::string, ReaderStatus> baseline_;
    bool baselineSeeded_ = false;
    std::atomic<bool> finalizing_{false};
    const bool adoptionAllowed_;
};

template <typename Work>
inline auto Module::onCard(P11Session& session, CardPhase phase, Work&& work) {
    Slot& slot = *session.slot;
    std::lock_guard lock(slot.cardMutex);
    if (!stillInserted(slot, session.token)) throw P11Error(CKR_DEVICE_REMOVED);
    try {
        CardSession cardSession(*session.token->smartCard);
        return work(*session.token);
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        const CK_RV rv = ckrForError(error, phase);
        // A card pulled out in the middle of an exchange does not always fail as a removal: the
        // reader may hand back a broken answer first.
        if (rv == CKR_DEVICE_REMOVED || (rv == CKR_DEVICE_ERROR && cardLeft(slot, *session.token))) {
            dropToken(slot);
            throw P11Error(CKR_DEVICE_REMOVED);
        }
        throw P11Error(rv);
    }
}

}  // namespace qel::p11
