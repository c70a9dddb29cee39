#include "issuerlib/pkcs11_slot.h"

#include "common/format.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_library.h"
#include "issuerlib/token_text.h"

namespace qel {

Pkcs11Slot::Pkcs11Slot(Pkcs11Library& library, CK_SLOT_ID id) : slotId(id), library_(library) {}

CK_RV Pkcs11Slot::refreshSlot() {
    CK_SLOT_INFO info{};
    CK_RV rv = library_.getSlotInfo(slotId, info);
    if (rv != CKR_OK) {
        logError(format("Erreur dans C_GetSlotInfo: %lu", rv));
        return rv;
    }
    slotInfo = info;
    name = decodePaddedText(slotInfo.slotDescription);
    logDebug("Nom du slot: " + name);
    cardPresent = (slotInfo.flags & CKF_TOKEN_PRESENT) != 0;
    logDebug(std::string("Carte détectée: ") + (cardPresent ? "TRUE" : "FALSE"));
    return rv;
}

}  // namespace qel
