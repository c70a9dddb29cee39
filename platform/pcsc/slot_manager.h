#pragma once
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/pcsc/pcsc_card.h"

namespace qel::pcsc {

/// What a reader holds.
enum class SlotState {
    empty,        ///< no card
    cardPresent,  ///< a card that answered to reset
    mute,         ///< a card that does not answer
};

/// One reader as the service reports it now.
struct SlotInfo {
    std::string name;
    SlotState state = SlotState::empty;
    Bytes atr;  ///< the card's ATR when a card is present, else empty
};

/// The machine's smart-card readers. The context is established on first use and established
/// again after the service was restarted. Safe to use from several threads.
class SlotManager {
public:
    explicit SlotManager(std::shared_ptr<PcscApi> api = systemPcscApi());

    /// Reader names in the service's order; empty when there is none.
    /// Throws TransportError (noService when pcscd is not running).
    std::vector<std::string> slotNames();

    /// The reader's state and ATR, nothing when the service does not know the reader.
    /// Throws TransportError for other failures.
    std::optional<SlotInfo> slotNamed(const std::string& name);

    /// Waits up to `timeout` (blocking on the service, not polling) for a card that answers in the
    /// reader. Returns the slot as last seen, nothing when the reader is unknown.
    std::optional<SlotInfo> waitForCard(const std::string& name, std::chrono::milliseconds timeout);

    /// Waits up to `timeout` for the reader to reach `wanted`, likewise.
    std::optional<SlotInfo> waitForSlotState(const std::string& name, SlotState wanted,
                                             std::chrono::milliseconds timeout);

    /// Connects to the card in the reader; nothing when the reader is unknown, empty or its card
    /// mute. Throws TransportError for other failures.
    std::unique_ptr<PcscCard> cardInSlot(const std::string& name);

private:
    std::shared_ptr<PcscContext> context();
    void dropContext(const std::shared_ptr<PcscContext>& broken);
    std::optional<SlotInfo> query(const std::string& name, DWORD timeoutMs, std::optional<SlotState> wanted);

    std::shared_ptr<PcscApi> api_;
    std::mutex mutex_;
    std::shared_ptr<PcscContext> context_;
};

/// The slot state carried by a reader's event-state bits.
SlotState slotStateFromBits(DWORD eventState);

}  // namespace qel::pcsc
