#include "management/scard/card_readers.h"

#include "common/format.h"
#include "common/logger.h"
#include "platform/pcsc/slot_manager.h"

namespace qel {

std::vector<std::string> PcscCardReaders::readerNames() { return slots_.slotNames(); }

std::optional<Bytes> PcscCardReaders::cardAtr(const std::string& name) {
    auto slot = slots_.slotNamed(name);
    if (!slot || slot->state != pcsc::SlotState::cardPresent) return std::nullopt;
    return slot->atr;
}

std::unique_ptr<SmartCard> PcscCardReaders::waitForCard(const std::string& name, std::chrono::milliseconds timeout) {
    auto slot = slots_.waitForCard(name, timeout);
    if (!slot || slot->state != pcsc::SlotState::cardPresent) return nullptr;
    return slots_.cardInSlot(name);
}

void ServiceAbsenceLog::serviceMissing(const std::string& reason) {
    if (!missing_.exchange(true))
        logError(
            format("Service carte à puce (pcscd) indisponible : %s. Les lecteurs seront recherchés "
                   "de nouveau à chaque actualisation.",
                   reason.c_str()));
}

void ServiceAbsenceLog::serviceAvailable() {
    if (missing_.exchange(false)) logInfo("Service carte à puce (pcscd) de nouveau disponible");
}

}  // namespace qel
