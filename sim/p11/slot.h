#pragma once
#include <p11-kit/pkcs11.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/p11/card_backend.h"
#include "sim/p11/mechanisms.h"
#include "common/secret_bytes.h"
#include "sim/p11/token.h"

namespace qel::simp11 {

/// State of one open session.
struct Session {
    bool readWrite = false;
    bool findActive = false;
    std::vector<CK_OBJECT_HANDLE> found;
    std::size_t foundNext = 0;
    std::unique_ptr<MessageCollector> sign;
    CK_OBJECT_HANDLE signKey = 0;
    bool signUpdated = false;
    std::unique_ptr<MessageCollector> verify;
    CK_OBJECT_HANDLE verifyKey = 0;
    bool verifyUpdated = false;
    /// The user was logged in when the card forgot the PIN (reset by another program): the next
    /// search in this session answers CKR_USER_NOT_LOGGED_IN instead of quietly leaving out the
    /// private objects.
    bool loginLost = false;
};

/// One reader: its card's token, the sessions on it and who is logged in. Every method takes the
/// slot's lock, so calls on one card are serialised while other slots proceed. Methods taking a
/// session handle answer CKR_SESSION_HANDLE_INVALID when this slot has no such session, and
/// CKR_DEVICE_REMOVED (having closed every session of the slot) when the card went away since
/// the session was opened. A card pulled out while a call runs is reported the same way, never as a
/// device error. Private objects keep their handles across a logout: without a login they answer
/// CKR_USER_NOT_LOGGED_IN. The user's login ends with C_Logout, the last session closing and
/// C_Finalize, and each of those resets the card, so that no other program inherits the PIN
/// verified on it.
class Slot {
public:
    Slot(CK_SLOT_ID id, std::string readerName, CardBackend& backend, HandleCounter& handles);

    CK_SLOT_ID id() const { return id_; }
    const std::string& readerName() const { return readerName_; }

    CK_RV getSlotInfo(CK_SLOT_INFO& info);
    CK_RV getTokenInfo(CK_TOKEN_INFO& info);
    /// CKR_OK when a recognised card is in the reader (no card I/O).
    CK_RV tokenPresence();
    CK_RV openSession(CK_SESSION_HANDLE handle, CK_FLAGS flags);
    CK_RV closeSession(CK_SESSION_HANDLE handle);
    void closeAllSessions();
    CK_RV getSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO& info);

    CK_RV login(CK_SESSION_HANDLE handle, CK_USER_TYPE userType, const SecretBytes& pin);
    CK_RV logout(CK_SESSION_HANDLE handle);
    CK_RV initPin(CK_SESSION_HANDLE handle, const SecretBytes& pin);
    /// Changes the PIN; an eight-digit old code is the PUK, which unblocks the PIN and sets the new one.
    CK_RV setPin(CK_SESSION_HANDLE handle, const SecretBytes& oldPin, const SecretBytes& newPin);

    CK_RV findObjectsInit(CK_SESSION_HANDLE handle, const CK_ATTRIBUTE* templ, CK_ULONG count);
    CK_RV findObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE* out, CK_ULONG max, CK_ULONG& count);
    CK_RV findObjectsFinal(CK_SESSION_HANDLE handle);
    CK_RV getAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ATTRIBUTE* templ, CK_ULONG count);
    CK_RV getObjectSize(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object, CK_ULONG& size);

    CK_RV signInit(CK_SESSION_HANDLE handle, const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key);
    CK_RV sign(CK_SESSION_HANDLE handle, const Bytes& data, CK_BYTE* signature, CK_ULONG& length);
    CK_RV signUpdate(CK_SESSION_HANDLE handle, const Bytes& data);
    CK_RV signFinal(CK_SESSION_HANDLE handle, CK_BYTE* signature, CK_ULONG& length);
    CK_RV verifyInit(CK_SESSION_HANDLE handle, const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key);
    CK_RV verify(CK_SESSION_HANDLE handle, const Bytes& data, const Bytes& signature);
    CK_RV verifyUpdate(CK_SESSION_HANDLE handle, const Bytes& data);
    CK_RV verifyFinal(CK_SESSION_HANDLE handle, const Bytes& signature);

    CK_RV generateRandom(CK_SESSION_HANDLE handle, CK_BYTE* out, CK_ULONG length);
    /// Relays one APDU; the answer (data + SW1 SW2) goes to `response`, whose size is in/out.
    CK_RV transmit(CK_SESSION_HANDLE handle, const Bytes& apdu, CK_BYTE* response, CK_ULONG& length);

private:
    enum class Login { none, user, so };

    std::optional<ReaderStatus> readerStatus();
    /// Builds the token of the card in the reader when there is none yet (slot-level calls).
    CK_RV ensureToken();
    /// Session prologue: the session exists and its card is still the one it was opened on.
    CK_RV enter(CK_SESSION_HANDLE handle, Session*& session);
    void dropToken();
    void forgetLogin();
    /// The card forgot the PIN without our asking (a reset elsewhere, 6982).
    void loseLogin();
    /// Our login ends: forget it, then reset the card unless someone reset it already.
    void endLogin();
    void onCardReset();
    /// False when the card this slot's token was read from is no longer in the reader.
    bool sameCardPresent();
    /// The object behind a handle when the session may use it: CKR_USER_NOT_LOGGED_IN for a
    /// private object without a login, `unknown` for a handle the token never gave out.
    CK_RV usableObject(CK_OBJECT_HANDLE handle, CK_RV unknown, const P11Object*& object);
    /// Runs f(card) inside one exclusive exchange, mapping exceptions to results.
    template <typename F>
    CK_RV withCard(F&& f);
    CK_RV refreshHolderData();
    bool loggedIn() const { return login_ == Login::user; }
    CK_RV signWithCard(const P11Object& key, HashAlg hash, const Bytes& message, Bytes& signature);
    /// The key a C_SignInit or C_VerifyInit names, checked against the mechanism, the class of key
    /// the operation needs and the attribute that allows it.
    CK_RV operationKey(const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE handle, CK_OBJECT_CLASS keyClass,
                       CK_ATTRIBUTE_TYPE use, const P11Object*& key);
    /// The end of C_Sign (`data` given) and of C_SignFinal (`data` null). A length query, or a buffer
    /// too small, leaves the operation running; anything else ends it.
    CK_RV finishSign(Session& s, const Bytes* data, CK_BYTE* out, CK_ULONG& length);
    /// The end of C_Verify (`data` given) and of C_VerifyFinal (`data` null); either ends the operation.
    CK_RV finishVerify(Session& s, const Bytes* data, const Bytes& signature);

    const CK_SLOT_ID id_;
    const std::string readerName_;
    CardBackend& backend_;
    HandleCounter& handles_;

    std::mutex mutex_;
    std::unique_ptr<CardChannel> card_;
    std::unique_ptr<Token> token_;
    std::uint32_t tokenEventCount_ = 0;
    Bytes tokenAtr_;
    std::map<CK_SESSION_HANDLE, Session> sessions_;
    Login login_ = Login::none;
    SecretBytes soPuk_;
};

}  // namespace qel::simp11

#include "sim/p11/errors.h"

namespace qel::simp11 {

template <typename F>
CK_RV Slot::withCard(F&& f) {
    if (!card_) return CKR_DEVICE_REMOVED;
    try {
        struct Exchange {
            CardChannel& card;
            bool reset;
            explicit Exchange(CardChannel& c) : card(c), reset(c.beginExchange()) {}
            ~Exchange() {
                try {
                    card.endExchange();
                } catch (...) {
                    // Ending an exchange with a card that is gone releases nothing.
                }
            }
        } exchange(*card_);
        if (exchange.reset) onCardReset();
        return f(*card_);
    } catch (...) {
        CK_RV rv = rvFromCurrentException();
        // A card pulled out during an exchange often shows first as a broken exchange.
        if (rv == CKR_DEVICE_ERROR && !sameCardPresent()) rv = CKR_DEVICE_REMOVED;
        if (rv == CKR_DEVICE_REMOVED) dropToken();
        // The card forgot the PIN (reset elsewhere, or powered down): so do we.
        if (rv == CKR_USER_NOT_LOGGED_IN) loseLogin();
        return rv;
    }
}

}  // namespace qel::simp11
