#pragma once
#include <p11-kit/pkcs11.h>

#include <string>

namespace qel {

class Pkcs11Library;

/// One reader as the library lists it. The library must outlive the slot.
class Pkcs11Slot {
public:
    /// Keeps the identifier only; call `refreshSlot` to read the reader's information.
    Pkcs11Slot(Pkcs11Library& library, CK_SLOT_ID slotId);

    /// `C_GetSlotInfo`: on success sets `slotInfo`, `name` and `cardPresent` (each logged); on
    /// failure logs the result and changes nothing. Returns the library's result.
    CK_RV refreshSlot();

    CK_SLOT_ID slotId;
    CK_SLOT_INFO slotInfo{};
    /// The slot description with trailing blanks removed (other characters, a NUL included, kept).
    std::string name;
    /// CKF_TOKEN_PRESENT of `slotInfo.flags`.
    bool cardPresent = false;
    /// Never filled.
    CK_TOKEN_INFO tokenInfo{};

private:
    Pkcs11Library& library_;
};

}  // namespace qel
