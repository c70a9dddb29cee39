#pragma once
// An in-process PKCS#11 module for the binding cases a real module cannot be made to produce:
// chosen token texts, more than ten readers, a locked PIN, handle reuse after re-initialisation and
// the APDU pass-through. One instance is current at a time (the C entry points have no context).
#include <p11-kit/pkcs11.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/bytes.h"

namespace qel::test {

struct FakeModule {
    FakeModule();
    ~FakeModule();

    CK_FUNCTION_LIST* functions();
    static CK_RV transmit(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR, CK_BBOOL);

    // What the module answers.
    std::vector<CK_SLOT_ID> slots{1};
    std::string slotDescription = "Lecteur virtuel";
    std::string tokenLabel = "QEL3-1234567890Z";
    std::string tokenManufacturer = "Oberlane";
    std::string tokenSerial = "1234567890Z";
    std::map<std::string, Bytes> objects;  // data objects by label
    std::set<std::string> privateLabels;   // those that need a logged-in user
    std::string pin = "1234";
    std::string puk = "12345678";
    CK_RV forcedLoginResult = CKR_OK;         // returned instead of checking when not CKR_OK
    std::function<Bytes(const Bytes&)> card;  // answers pass-through APDUs (data + SW)
    CK_RV transmitResult = CKR_OK;

    // What the module saw.
    std::vector<std::string> calls;  // function names in order
    std::vector<std::string> searchedLabels;
    std::vector<Bytes> apdus;
    std::vector<bool> apduFlags;
    std::set<CK_SESSION_HANDLE> openSessions;
    bool userLoggedIn = false;
    CK_ULONG nextHandle = 1;

    int count(const std::string& call) const;
};

}  // namespace qel::test
