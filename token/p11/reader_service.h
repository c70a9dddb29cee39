#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "card/smart_card.h"
#include "common/bytes.h"

namespace qel::p11 {

/// One reader as the smart-card service sees it now.
struct ReaderStatus {
    std::string name;
    bool present = false;      ///< a card that answered to reset
    Bytes atr;                 ///< empty without a card
    std::uint32_t events = 0;  ///< insertions and removals seen by the service (wraps)
    /// Counts the times the service was lost and found again (a restarted pcscd): its event counts
    /// start over, and connections made before are dead.
    std::uint32_t service = 0;

    /// Same card insertion: the presence, the event count and the service agree.
    bool sameInsertion(const ReaderStatus& other) const {
        return present == other.present && events == other.events && service == other.service;
    }
};

/// The readers and cards under the module: PC/SC in the product, a virtual set of readers in tests.
/// Safe to call from several threads; waits can be cancelled from another thread.
class ReaderService {
public:
    virtual ~ReaderService() = default;

    /// Reader names in the service's order. Throws TransportError (noService without pcscd).
    virtual std::vector<std::string> readers() = 0;
    /// The reader's state; nothing when the service does not know it. Throws TransportError.
    virtual std::optional<ReaderStatus> status(const std::string& reader) = 0;
    /// Connects to the card in the reader; nullptr when the reader is empty, unknown or its card
    /// mute. Throws TransportError.
    virtual std::unique_ptr<SmartCard> connect(const std::string& reader) = 0;

    enum class WaitResult { changed, timeout, cancelled };
    /// Blocks (without polling) until one of `known` readers no longer matches its status (presence
    /// or event count), the reader list changes, `timeout` passes (none: no limit) or
    /// cancelWaits() is called.
    virtual WaitResult waitForChange(const std::vector<ReaderStatus>& known,
                                     std::optional<std::chrono::milliseconds> timeout) = 0;
    /// Ends every wait in progress with `cancelled`, and makes later waits return at once.
    virtual void cancelWaits() = 0;
};

/// The PC/SC service (pcsc-lite). Establishes nothing until first used.
std::shared_ptr<ReaderService> makePcscReaderService();

}  // namespace qel::p11
