#pragma once
// The issuer's PKCS#11 library in process, for the binding and the controllers above it: readers
// with or without a card, a PIN and a PUK with try counters and the lock flags they raise, public
// and private data objects by label, the APDU pass-through, and failures injected by call name.
// The real binding (Pkcs11Library, Pkcs11Slot, Pkcs11Card) runs on top of it. One instance is
// current at a time: the C entry points have no context.
#include <p11-kit/pkcs11.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"

namespace qel::test {

struct FakeToken {
    std::string label = "QEL3-1234567890Z";
    std::string serial = "1234567890Z";
    std::string manufacturer = "Oberlane";
    std::map<std::string, Bytes> objects;         ///< public data objects by label
    std::map<std::string, Bytes> privateObjects;  ///< visible once the user is logged in
    std::string pin = "1234";
    std::string puk = "12345678";
    int pinTries = 3;
    int pukTries = 3;
    bool soLocked = false;
    /// Set: the reader has a keypad (a protected authentication path) and this is what the holder
    /// types there on the next entry: the digits, "cancel", or "timeout". A change on the keypad
    /// takes it as the current PIN and `keypadNewPin` as the new one typed twice.
    std::optional<std::string> keypadEntry;
    std::string keypadNewPin = "5678";
};

struct FakeSlot {
    CK_SLOT_ID id = 0;
    std::string description;  ///< padded with blanks in the slot information
    bool present = false;
    FakeToken token;
};

class FakeIssuerModule {
public:
    FakeIssuerModule();
    ~FakeIssuerModule();
    FakeIssuerModule(const FakeIssuerModule&) = delete;
    FakeIssuerModule& operator=(const FakeIssuerModule&) = delete;

    /// A version 2.20 function list with the calls the binding makes; every other entry is null.
    CK_FUNCTION_LIST* functions();
    /// The library's pass-through extension, for Pkcs11Library's transmit argument: `card` answers
    /// (9000 when it is empty).
    static CK_RV transmit(CK_SESSION_HANDLE session, CK_BYTE_PTR apdu, CK_ULONG length, CK_BYTE_PTR response,
                          CK_ULONG_PTR responseLength, CK_BBOOL flag);

    /// A reader numbered after the last one (0 for the first).
    FakeSlot& addSlot(const std::string& description, bool present = false);
    FakeSlot& addSlot(CK_SLOT_ID id, const std::string& description, bool present = false);
    /// Throws std::out_of_range for an unknown identifier.
    FakeSlot& slot(CK_SLOT_ID id);

    /// From now on every call of that name ("C_Login", "C_TransmitMessage", ...) answers `result`
    /// without doing its work; it is still counted, and a pass-through command is still recorded.
    /// Throws std::invalid_argument for a name the module does not answer, so that a misspelt
    /// failure cannot pass unnoticed.
    void failOn(const std::string& call, CK_RV result);

    std::vector<FakeSlot> slotList;
    std::function<Bytes(const Bytes&)> card;  ///< answers pass-through commands (data + SW)
    /// As the issuer's library does, each card's objects are read once, at their first search, and
    /// kept until C_Finalize: later changes to the token stay unseen until then.
    bool readsTokenOnce = false;
    std::map<CK_SLOT_ID, FakeToken> tokensRead;

    // What the module saw.
    std::vector<std::string> calls;           ///< function names, in order
    std::vector<std::string> searchedLabels;  ///< the label of every object search, in order
    std::vector<Bytes> apdus;                 ///< pass-through commands, in order
    std::vector<bool> apduFlags;
    int totalCalls() const;
    int count(const std::string& name) const;

    struct Session {
        CK_SLOT_ID slot;
    };
    std::map<CK_SESSION_HANDLE, Session> sessions;
    std::map<CK_SLOT_ID, bool> userLoggedIn;
    /// Starts over at C_Finalize, as real modules' handles do.
    CK_SESSION_HANDLE nextHandle = 1;
    std::map<std::string, CK_RV> failures;  ///< by call name, see failOn
};

}  // namespace qel::test
