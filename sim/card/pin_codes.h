#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/bytes.h"
#include "sim/card/profile.h"

namespace qel::sim {

/// How PIN blocks must look on the wire.
enum class PinBlockFormat {
    padded,  ///< ASCII digits followed by FF up to 8 bytes (third generation, contact)
    bare,    ///< the ASCII digits alone (fourth generation)
    either,  ///< both forms (third generation through its contactless interface)
};

/// The PIN (reference 01) and PUK (reference 02) of the card with their try counters. Every
/// change of a counter or of the PIN is handed to `persist` at once, as the chip writes its
/// memory before it answers. Answers are ISO 7816 status words.
class PinCodes {
public:
    PinCodes(const Profile& profile, CardState& state, PinBlockFormat format, std::function<void()> persist);

    /// VERIFY, P2 = reference. No data: 9000 when already verified, 63Cx with the tries left,
    /// 6983 when blocked. With data: 9000 (tries reset), 63Cx after a wrong code (63C0 on the last
    /// one), 6983 when blocked, 6700 / 6A80 on a malformed block (no try spent), 6A88 on an
    /// unknown reference.
    std::uint16_t verify(std::uint8_t reference, const Bytes& data);
    /// CHANGE REFERENCE DATA of the PIN: old block || new block.
    std::uint16_t change(std::uint8_t reference, const Bytes& data);
    /// RESET RETRY COUNTER of the PIN. P1 00: PUK || new PIN block; 01: PUK only (counter reset,
    /// PIN kept); 02: new PIN block after a verified PUK; 03: nothing, after a verified PUK.
    std::uint16_t resetRetryCounter(std::uint8_t p1, std::uint8_t reference, const Bytes& data);

    /// The answer to GET DATA of the PIN status object: 70 { BF81 01 { A0 { 83 ref, 9A max,
    /// 9B tries, 9C max unblock, 9D unblock tries } } }.
    Bytes statusObject() const;

    bool pinVerified() const { return pinVerified_; }
    /// The PUK is spent: the PIN can never be used or unblocked again.
    bool definitivelyBlocked() const { return state_.pukTries == 0; }
    /// Power-on: nothing is verified any more.
    void reset() {
        pinVerified_ = false;
        pukVerified_ = false;
    }

private:
    std::optional<std::string> decodePin(const Bytes& block) const;
    std::uint16_t wrongPin();
    std::uint16_t checkPuk(const Bytes& puk);
    std::uint16_t setNewPin(const Bytes& block);

    const Profile& profile_;
    CardState& state_;
    PinBlockFormat format_;
    std::function<void()> persist_;
    bool pinVerified_ = false;
    bool pukVerified_ = false;
};

}  // namespace qel::sim
