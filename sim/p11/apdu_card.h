#pragma once
#include <memory>

#include "card/smart_card.h"
#include "sim/p11/card_backend.h"
#include "sim/p11/card_layout.h"

namespace qel::simp11 {

/// A card shared with other programs: it tells when one of them reset it since our last session.
class SharedSmartCard : public qel::SmartCard {
public:
    /// True once after the card was reset under us (then its security state is gone).
    virtual bool takeResetNotice() = 0;
};

/// The QEL card operations in ISO 7816-4 commands, for the three generations.
class ApduCard : public CardChannel {
public:
    ApduCard(std::unique_ptr<SharedSmartCard> card, CardGeneration generation);

    CardGeneration generation() const override { return generation_; }
    Bytes atr() const override { return card_->atr(); }
    bool beginExchange() override;
    void endExchange() override;
    void resetCard() override;
    std::optional<Bytes> readFile(const Bytes& path) override;
    PinCounters pinCounters() override;
    std::uint16_t verifyPin(const SecretBytes& pin) override;
    std::uint16_t verifyPuk(const SecretBytes& puk) override;
    std::uint16_t changePin(const SecretBytes& oldPin, const SecretBytes& newPin) override;
    std::uint16_t resetRetryCounter(const SecretBytes& puk, const SecretBytes& newPin) override;
    Bytes sign(const SignRequest& request) override;
    Bytes getChallenge(std::size_t length) override;
    Bytes transmitRaw(const Bytes& apdu) override;
    bool hasKeypad() override;
    std::uint16_t verifyPinOnKeypad() override;
    std::uint16_t changePinOnKeypad() override;
    std::uint16_t unblockPinOnKeypad() override;

private:
    /// Selects by path; the FCP on success, nothing when the file does not exist.
    std::optional<Bytes> select(const Bytes& path);
    std::uint16_t sendSecret(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2, const SecretBytes& data);
    SecretBytes pinBlock(const SecretBytes& pin) const;

    std::unique_ptr<SharedSmartCard> card_;
    CardGeneration generation_;
    CardLayout layout_;
    bool applicationSelected_ = false;
};

/// Size announced by a SELECT answer's FCP (tag 80, or 81), or nothing.
std::optional<std::size_t> fileSizeFromFcp(const Bytes& fcp);

/// PIN and PUK tries (tags 9B and 9D) and their maxima (9A and 9C) from the PIN status object,
/// at any depth.
PinCounters parsePinStatus(const Bytes& answer);

}  // namespace qel::simp11
