#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/secret_bytes.h"

namespace qel::simp11 {

/// Card generation as recognised from the answer-to-reset.
enum class CardGeneration { QEL3, QEL3CL, QEL4 };

/// The generation of a known ATR, or nothing for any other card.
std::optional<CardGeneration> generationFromAtr(const Bytes& atr);

/// One reader as the smart-card service lists it.
struct ReaderStatus {
    std::string name;
    bool cardPresent = false;
    Bytes atr;
    /// Grows on every insertion and removal; lets a caller notice a card swapped between two looks.
    std::uint32_t eventCount = 0;
};

/// The card refused a command; carries its status word (6982 when a PIN is needed, for example).
class CardStatusError : public std::runtime_error {
public:
    explicit CardStatusError(std::uint16_t sw);
    std::uint16_t sw() const { return sw_; }

private:
    std::uint16_t sw_;
};

/// Remaining tries as the card reports them; absent when the card did not say.
struct PinCounters {
    std::optional<int> pinTries;
    std::optional<int> pukTries;
    std::optional<int> pinMaxTries;
    std::optional<int> pukMaxTries;
};

enum class KeyRole { sign, auth };
enum class HashAlg { none, sha1, sha224, sha256, sha384, sha512 };

/// One private-key operation: the key, and either a hash with its algorithm or (with HashAlg::none)
/// the raw block the card is to pad and sign.
struct SignRequest {
    KeyRole role = KeyRole::sign;
    std::uint8_t keyReference = 0;
    HashAlg hash = HashAlg::none;
    Bytes input;
};

/// The QEL card operations the token needs, on one card in one reader. Methods throw
/// qel::TransportError when the card or the reader goes away and CardStatusError where stated.
/// Not thread-safe: the owning slot serialises the calls.
class CardChannel {
public:
    virtual ~CardChannel() = default;

    virtual CardGeneration generation() const = 0;
    virtual Bytes atr() const = 0;

    /// Starts an exclusive exchange with the card. Returns true when the card was reset by someone
    /// else since the previous exchange: its security state (a verified PIN) is gone.
    virtual bool beginExchange() = 0;
    virtual void endExchange() = 0;

    /// Resets the card (outside an exchange), so that it forgets a PIN verified on it; other
    /// programs see the reset on their next exchange. Throws qel::TransportError.
    virtual void resetCard() = 0;

    /// Content of a transparent file by full path (3F00 first). Nothing when the card has no such
    /// file; CardStatusError when the card refuses it (6982 for a PIN-protected file).
    virtual std::optional<Bytes> readFile(const Bytes& path) = 0;

    /// Remaining PIN and PUK tries.
    virtual PinCounters pinCounters() = 0;

    /// The card's status word for each PIN command (9000, 63Cx, 6983, ...).
    virtual std::uint16_t verifyPin(const SecretBytes& pin) = 0;
    virtual std::uint16_t verifyPuk(const SecretBytes& puk) = 0;
    virtual std::uint16_t changePin(const SecretBytes& oldPin, const SecretBytes& newPin) = 0;
    /// Unblocks the PIN with the PUK and sets the new PIN.
    virtual std::uint16_t resetRetryCounter(const SecretBytes& puk, const SecretBytes& newPin) = 0;

    /// Whether the reader has a keypad that verifies the PIN (a protected authentication path).
    virtual bool hasKeypad() { return false; }
    /// VERIFY, or CHANGE REFERENCE DATA, with the PIN typed on the reader's keypad: the card's status
    /// word, or the reader's 6400 (nobody typed), 6401 (Cancel), 6402 (confirmation differs), 6403
    /// (wrong length); 6D00 without a keypad.
    virtual std::uint16_t verifyPinOnKeypad() { return 0x6D00; }
    virtual std::uint16_t changePinOnKeypad() { return 0x6D00; }
    /// RESET RETRY COUNTER with the PUK and the new PIN typed on the keypad, answered as above.
    virtual std::uint16_t unblockPinOnKeypad() { return 0x6D00; }

    /// Signs with a card key; CardStatusError when the card refuses (6982 before the PIN).
    virtual Bytes sign(const SignRequest& request) = 0;

    /// Random bytes from the card's generator (GET CHALLENGE), at most 255 at a time; CardStatusError
    /// when the card refuses.
    virtual Bytes getChallenge(std::size_t length) = 0;

    /// Relays one command APDU unchanged and returns the answer with SW1 SW2.
    virtual Bytes transmitRaw(const Bytes& apdu) = 0;
};

/// The smart-card service: readers, their states, and access to the cards in them.
class CardBackend {
public:
    virtual ~CardBackend() = default;

    /// Readers in the service's order with their current state. No service or no reader gives an
    /// empty list.
    virtual std::vector<ReaderStatus> readers() = 0;

    /// Blocks until a reader's state differs from `known` (or a reader comes or goes), or until
    /// cancelWait(). Returns false when cancelled or when the service is unreachable.
    virtual bool waitForChange(const std::vector<ReaderStatus>& known) = 0;
    virtual void cancelWait() = 0;

    /// Opens the card in a reader. Throws qel::TransportError.
    virtual std::unique_ptr<CardChannel> connect(const std::string& reader) = 0;
};

}  // namespace qel::simp11
