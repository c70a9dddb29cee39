#include "pkcs11/card_reset.h"

#include "common/logger.h"
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
    const auto* text = reinterpret_cast<const char*>(info.slotDescription);
    std::string name(text, sizeof info.slotDescription);
    // Descriptions are blank-padded; some libraries end the reader's name with a NUL first.
    if (auto nul = name.find('\0'); nul != std::string::npos) name.resize(nul);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
}

}  // namespace qel
