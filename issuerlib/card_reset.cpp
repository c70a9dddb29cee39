#include "issuerlib/card_reset.h"

#include <cstring>

#include "common/logger.h"
#include "issuerlib/token_text.h"
#include "platform/pcsc/pcsc_card.h"
#include "platform/pcsc/pcsc_context.h"

namespace qel {

CardResetter pcscCardResetter() {
    return [](const std::string& readerName) {
        try {
            auto context = std::make_shared<pcsc::PcscContext>(pcsc::systemPcscApi());
            pcsc::PcscCard card(context, readerName);
            card.resetSecurityState();
            return true;
        } catch (const TransportError& e) {
            // No card any more: nothing holds the PIN either.
            logDebug(std::string("Réinitialisation de la carte impossible : ") + e.what());
            return false;
        }
    };
}

std::string readerNameOfSlot(const CK_SLOT_INFO& info) {
    // Descriptions are blank-padded, decoded as the slot's name is; some libraries end the reader's
    // name with a NUL first.
    const std::size_t size = sizeof info.slotDescription;
    const auto* nul = static_cast<const unsigned char*>(std::memchr(info.slotDescription, 0, size));
    return decodePaddedText(info.slotDescription, nul ? static_cast<std::size_t>(nul - info.slotDescription) : size);
}

}  // namespace qel
