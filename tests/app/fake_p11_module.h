#pragma once
// An in-process PKCS#11 module with several readers, each with or without a card, a PIN and a PUK
// with try counters and the lock flags they raise, and public or private data objects by label.
// The real binding (Pkcs11Library, Pkcs11Slot, Pkcs11Card) runs on top of it. One instance is
// current at a time: the C entry points have no context.
#include <p11-kit/pkcs11.h>

#include <map>
#include <string>
#include <vector>

#include "common/bytes.h"

namespace qel::test {

struct FakeToken {
    std::string label = "QEL3-1234567890Z";
    std::string serial = "1234567890Z";
    std::map<std::string, Bytes> objects;         ///< public data objects by label
    std::map<std::string, Bytes> privateObjects;  ///< visible once the user is logged in
    std::string pin = "1234";
    std::string puk = "12345678";
    int pinTries = 3;
    int pukTries = 3;
    bool soLocked = false;
};

struct FakeSlot {
    CK_SLOT_ID id = 0;
    std::string description;  ///< padded with blanks in the slot information
    bool present = false;
    FakeToken token;
};

class FakeP11Module {
public:
    FakeP11Module();
    ~FakeP11Module();
    FakeP11Module(const FakeP11Module&) = delete;
    FakeP11Module& operator=(const FakeP11Module&) = delete;

    CK_FUNCTION_LIST* functions();

    FakeSlot& addSlot(const std::string& description, bool present = false);
    FakeSlot& slot(CK_SLOT_ID id);

    CK_RV initializeResult = CKR_OK;
    std::vector<FakeSlot> slots;

    /// Calls made, by function name.
    std::map<std::string, int> calls;
    int totalCalls() const;
    int count(const std::string& name) const;

    struct Session {
        CK_SLOT_ID slot;
    };
    std::map<CK_SESSION_HANDLE, Session> sessions;
    std::map<CK_SLOT_ID, bool> userLoggedIn;
    CK_SESSION_HANDLE nextHandle = 1;
};

/// The identity object of a card valid from 15/01/2020 to `expiry` ("dd/MM/yyyy"), test card or not.
Bytes idCardObject(const std::string& expiry, bool testCard = false);
/// The name object: family name and usual first name.
Bytes nameObject(const std::string& family, const std::string& firstName);
/// The holder information object: card type, identifier, profession and métier codes (two decimal
/// digits, "" to leave the field out).
Bytes infoObject(const std::string& cardType, const std::string& identifier, const std::string& profession,
                 const std::string& metier);

}  // namespace qel::test
