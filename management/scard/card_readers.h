#pragma once
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "card/smart_card.h"
#include "common/bytes.h"

namespace qel::pcsc {
class SlotManager;
}

namespace qel {

/// The readers of the platform's smart-card service as the contactless layer and the token matching
/// see them. Safe to use from several threads (the token matching runs on the watcher's thread).
class CardReaders {
public:
    virtual ~CardReaders() = default;
    /// Reader names in the service's order. Throws TransportError (kind noService when the service
    /// is not running).
    virtual std::vector<std::string> readerNames() = 0;
    /// The ATR of a card that answers in the reader; nothing when the reader is unknown, empty or its
    /// card mute. Throws TransportError.
    virtual std::optional<Bytes> cardAtr(const std::string& name) = 0;
    /// Waits up to `timeout` for a card that answers in the reader and connects to it; null when the
    /// reader is unknown or no such card came. Throws TransportError.
    virtual std::unique_ptr<SmartCard> waitForCard(const std::string& name, std::chrono::milliseconds timeout) = 0;
};

/// The readers of pcscd.
class PcscCardReaders final : public CardReaders {
public:
    explicit PcscCardReaders(pcsc::SlotManager& slotManager) : slots_(slotManager) {}
    std::vector<std::string> readerNames() override;
    std::optional<Bytes> cardAtr(const std::string& name) override;
    std::unique_ptr<SmartCard> waitForCard(const std::string& name, std::chrono::milliseconds timeout) override;

private:
    pcsc::SlotManager& slots_;
};

/// Logs the absence of the smart-card service once, and its return once, however many callers
/// meet it. Safe from any thread.
/// Said on screen while the smart-card service is missing.
inline constexpr const char* kServiceMissingText = "Service carte à puce (pcscd) indisponible";

class ServiceAbsenceLog {
public:
    void serviceMissing(const std::string& reason);
    void serviceAvailable();
    /// The service was missing at the last attempt.
    bool isMissing() const { return missing_; }

private:
    std::atomic<bool> missing_{false};
};

}  // namespace qel
