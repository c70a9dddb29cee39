#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "management/scard/card_readers.h"
#include "card/smart_card.h"
#include "common/bytes.h"

namespace qel {

/// One reader holding a QEL4 card.
struct ReaderInfo {
    std::string readerName;
    bool isContactless = false;
};

/// What the reader scan found.
struct ScanResult {
    bool found = false;  ///< at least one QEL4 card
    std::vector<ReaderInfo> readers;
};

/// The outcome of a contactless operation: nothing when it went through, else the card layer's
/// error: a failure under the card (a transport kind: the card cannot be reached), the card's
/// refusal (kind `failed`, with its status word when there was one), or an answer that does not
/// prove the key (kind `corruptedData`).
using ScardStatus = std::optional<CardError>;

/// The numbers the contactless layer shows the user and writes to the log for an outcome.
namespace scard {
inline constexpr std::uint32_t kOk = 0;
inline constexpr std::uint32_t kStepFailed = 5;
inline constexpr std::uint32_t kUnreachable = 0x10000006;
inline constexpr std::uint32_t kAuthRefused = 0x10000010;
inline constexpr std::uint32_t kAuthMismatch = 0x10000011;
}  // namespace scard

/// The one mapping of an outcome to its number: kOk when it went through, kUnreachable for every
/// transport kind, kAuthRefused for the DESFire answer 91AE, kAuthMismatch for an answer that does
/// not prove the key, kStepFailed for anything else.
std::uint32_t scardCode(const ScardStatus& status);

/// One answer: the status word is the answer's last two bytes (0xFFFF when the transmission
/// failed), the data the answer without them.
struct ScardResponse {
    std::uint16_t sw = 0xFFFF;
    Bytes data;
};

/// The commands of one operation, inside one card session. Every exchange is logged at debug level.
class ScardExchange {
public:
    explicit ScardExchange(SmartCard& card) : card_(card) {}
    /// Sends one complete command. `shownInLog`, when given, is written to the log in place of the
    /// command (a command that carries a PIN). Never throws: a failed transmission answers 0xFFFF,
    /// and once one has failed (card pulled out, reader gone) nothing more is sent in this session.
    ScardResponse transmit(const Bytes& apdu, const Bytes* shownInLog = nullptr);
    /// As `transmit`, but the answer's data are logged as as many bytes FF (a key read from the card).
    ScardResponse transmitSecret(const Bytes& apdu);

    /// The transport failure that ended the exchange, if any.
    const std::optional<TransportError>& failure() const { return failure_; }

private:
    ScardResponse exchange(const Bytes& apdu, const Bytes* shownInLog, bool hideAnswer);

    SmartCard& card_;
    std::optional<TransportError> failure_;
};

/// The contactless identity of a QEL4 card.
struct ContactlessIdentity {
    ScardStatus result;
    std::string serialNumber;
    std::string cardNumber;
    std::string identifier;
};

/// A PIN check without the PKCS#11 library: result 0, CKR_PIN_INCORRECT (wrong PIN), CKR_PIN_LOCKED
/// (blocked), 5 or 0x10000006, and whether the card is at its last try.
struct PinCheckResult {
    std::uint32_t result = scard::kStepFailed;
    bool lastTry = false;
};

/// The contactless application's key read through the contact interface: no error with the key, an
/// error (the card's refusal, or the card not reachable) without.
struct DesfireKeySearch {
    ScardStatus result;
    std::optional<Bytes> key;
};

/// The application's second road to the QEL4 card: its contactless DESFire application through the
/// smart-card service, without the PKCS#11 library. Every operation blocks the calling thread (the
/// main thread) until its card session ends. Not thread-safe.
class Scard {
public:
    /// `serviceLog` records the absence of the service once for the whole program.
    Scard(CardReaders& readers, ServiceAbsenceLog& serviceLog);
    /// The smart-card service was missing at the last attempt to reach it.
    bool isServiceMissing() const;

    /// The readers that hold a QEL4 card (recognised by its ATR, contact or contactless), in the
    /// service's order. No service or no reader: nothing found.
    ScanResult scan();

    /// Whether the card's "IRV" application answers its selection with 9100: result code and flag.
    std::pair<ScardStatus, bool> isIRVDesfirePresent(const std::string& readerName);

    /// Serial number, card number and national identifier read from the application's files 3, 2, 1.
    ContactlessIdentity readContactlessIdentity(const std::string& readerName);

    /// VERIFY of the user PIN directly on the card. The PIN never reaches the log.
    PinCheckResult loginWithoutP11(const std::string& readerName, std::string_view pin);

    /// The PIN's state (VERIFY without data), without presenting a PIN.
    PinCheckResult checkPinStatus(const std::string& readerName);

    /// Reads the contactless application's key from the card in the contact reader, after a VERIFY
    /// with `pin` (logged as FF FF FF FF; the key is logged as 16 bytes FF).
    DesfireKeySearch searchIRVDesfireKey(const std::string& readerName, std::string_view pin);

    /// Deletes the contactless application after the mutual authentication: with a key from the
    /// card (AES, 16 bytes, at application level) or with the default key (DES, its first 8 bytes,
    /// at card level). No error when deleted; else the refusal (91AE: authentication refused), an
    /// answer that does not prove the key (corruptedData), or the card not reachable (a transport kind).
    ScardStatus deleteIRVDesfire(const std::string& readerName, const Bytes& key, bool keyFromCard);

    /// Runs `operation` inside one session on the card in the named reader, waiting up to the slot
    /// wait (1 s) for a card that answers. A transport error, without a command, when the reader is
    /// unknown, no card answers in time or the session cannot be opened; the transport error too, whatever
    /// the operation made of its answers, when a transmission failed on the way (the card was
    /// pulled out), so that no caller takes a lost card for a card's answer. An operation that
    /// presents the PIN (`presentsPin`) ends with a reset of the card, whatever its outcome: the PIN
    /// it verified must not serve any other program.
    ScardStatus withCard(const std::string& readerName, const std::function<ScardStatus(ScardExchange&)>& operation,
                         bool presentsPin = false);
    /// `withCard` for an operation that presents the PIN.
    ScardStatus withPinCard(const std::string& readerName,
                            const std::function<ScardStatus(ScardExchange&)>& operation) {
        return withCard(readerName, operation, true);
    }

    /// The application identifier: "IRV" reversed (56 52 49).
    static const Bytes& irvApplicationId();
    /// A DESFire native command wrapped for ISO 7816 (class 90, Lc, data, Le 00).
    static Bytes desfireCommand(std::uint8_t ins, const Bytes& data);
    /// Selects the card's DESFire part and its card level (application 000000).
    static void selectDesfireCard(ScardExchange& card);

    /// The refusal of a step: the card's answer `statusWord`, 0 when the step failed on this side.
    static CardError refused(std::uint16_t statusWord) {
        return CardError::cardAnswer(CardError::communicationError, statusWord);
    }

    /// The card object of the last operation (kept until the next one), null when there was none.
    SmartCard* currentCard() const { return currentCard_.get(); }

    /// Tests shorten the wait for a card.
    void setSlotWait(std::chrono::milliseconds wait) { slotWait_ = wait; }

private:
    CardReaders& readers_;
    ServiceAbsenceLog& serviceLog_;
    std::unique_ptr<SmartCard> currentCard_;
    std::chrono::milliseconds slotWait_{1000};
};

/// Upper-case hexadecimal ATRs of a QEL4 card in a contact and in a contactless reader.
inline constexpr const char* kQel4ContactAtr = "3BDC18FF00001225006480000401009000";
inline constexpr const char* kQel4ContactlessAtr = "3B8180018080";

}  // namespace qel
