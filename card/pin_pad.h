#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "card/status_words.h"
#include "card/qel_type.h"
#include "card/smart_card.h"
#include "common/bytes.h"
#include "common/secret_bytes.h"

namespace qel {

/// Readers with their own keypad (PC/SC part 10): the PIN is typed on the reader and never reaches
/// this process. The card core asks the reader for its features once per connection and builds the
/// structures the reader turns into VERIFY and CHANGE REFERENCE DATA; the testbed's keypad reader
/// parses them with the same code.
namespace pinpad {
inline constexpr std::uint32_t kGetFeatureRequest = 0x42000000 + 3400;
inline constexpr std::uint8_t kVerifyPinDirect = 0x06;
inline constexpr std::uint8_t kModifyPinDirect = 0x07;
inline constexpr std::uint8_t kIfdPinProperties = 0x0A;
/// Sizes of the fixed parts of the verify and modify structures, before their command bytes.
inline constexpr std::size_t kVerifyHeaderSize = 19;
inline constexpr std::size_t kModifyHeaderSize = 24;
}  // namespace pinpad

/// The control codes a reader announced for the keypad features it has.
struct PinPadFeatures {
    std::optional<std::uint32_t> verifyPinDirect;
    std::optional<std::uint32_t> modifyPinDirect;
    std::optional<std::uint32_t> pinProperties;
    bool canVerify() const { return verifyPinDirect.has_value(); }
    bool canModify() const { return modifyPinDirect.has_value(); }
};

/// Reads the answer to the feature request: elements of tag, length 4 and a big-endian control code.
/// Unknown tags are passed over; an element whose length is not 4, or that the answer cuts short,
/// ends the list (the features read before it stay). Never reads outside `answer`.
PinPadFeatures parseFeatureList(const Bytes& answer);
Bytes encodeFeatureList(const PinPadFeatures& features);

/// How a command carries the PIN: its header, the block the digits go into and the digit range.
/// `blockSize` 0: the digits are the whole data field and the reader sets Lc to their number.
struct PinCommandFormat {
    std::uint8_t cla = 0x00, ins = 0x20, p1 = 0x00, p2 = 0x01;
    std::uint8_t blockSize = 8;
    std::uint8_t minDigits = 4, maxDigits = 4;
    std::uint8_t timeoutSeconds = 30;
};

/// The card generation's PIN command on a keypad (VERIFY or, `modify`, CHANGE REFERENCE DATA).
/// Nothing for a modify the keypad cannot express: old and new PIN of the bare form have no fixed
/// width, and the card tells them apart only by equal halves.
std::optional<PinCommandFormat> pinCommandFormat(QELType type, bool modify);
/// RESET RETRY COUNTER of the PIN on a keypad, as a modify: the PUK (eight digits, which fill its
/// block) then the new PIN in its padded block. Nothing where the new PIN has no fixed width.
std::optional<PinCommandFormat> unblockCommandFormat(QELType type);

/// The verify and modify structures for the reader: ASCII digits, left-justified, in a block of FF.
Bytes buildVerifyStructure(const PinCommandFormat& format);
Bytes buildModifyStructure(const PinCommandFormat& format);

/// A verify or modify structure as the reader reads it. Every offset is checked against the
/// command it arrived with: a value that would place a digit or a length outside it is refused.
struct PinEntryRequest {
    bool modify = false;
    std::uint8_t timeout = 0;
    std::uint8_t formatString = 0, blockString = 0, lengthFormat = 0;
    std::uint8_t minDigits = 0, maxDigits = 0;
    std::uint8_t offsetOld = 0, offsetNew = 0;  ///< modify: block offsets within the data field
    std::uint8_t confirm = 0;                   ///< modify: 01 confirm the new PIN, 02 ask the current one
    Bytes command;                              ///< the template: header, Lc and data
};
std::variant<PinEntryRequest, std::string> parseVerifyStructure(const Bytes& structure);
std::variant<PinEntryRequest, std::string> parseModifyStructure(const Bytes& structure);

/// The command with the typed digits in, or the reader's status word when the entry does not fit
/// (sw::pinPadWrongLength for a number of digits outside the range). `oldDigits` is ignored by a modify that
/// does not ask for the current PIN; a verify takes only `oldDigits`.
std::variant<SecretBytes, std::uint16_t> fillPinCommand(const PinEntryRequest& request, const SecretBytes& oldDigits,
                                                        const SecretBytes& newDigits);

/// What came of a PIN entry on the keypad, with the card's or the reader's status word.
enum class PinPadOutcome {
    verified,       ///< 9000
    wrongPin,       ///< 63Cx: `triesLeft` says how many
    blocked,        ///< 6983
    cancelled,      ///< 6401: the holder pressed Cancel
    timedOut,       ///< 6400: nobody typed
    wrongLength,    ///< 6403 from the reader, 6700 from the card
    entriesDiffer,  ///< 6402: the new PIN and its confirmation differ
    failed,         ///< any other answer
};
struct PinPadResult {
    PinPadOutcome outcome = PinPadOutcome::failed;
    std::uint16_t statusWord = 0;
    int triesLeft = -1;
};
PinPadResult pinPadResult(std::uint16_t statusWord);
/// The outcome's name in logs ("verified", "cancelled", ...).
const char* pinPadOutcomeName(PinPadOutcome outcome);

/// The keypad of the card's reader, for every program of the suite: asks the reader (through the
/// card object) and lets the holder type the PIN there. The card's session must be open.
/// Transport errors are passed on; a reader that refuses the structure throws TransportError.
class PinPad {
public:
    /// Whether the card's reader has a keypad that verifies (the features are asked once).
    static bool available(SmartCard& card);
    /// VERIFY of the PIN typed on the keypad. CardError(notImplemented) without the feature.
    static PinPadResult verifyPin(SmartCard& card, QELType type);
    /// CHANGE REFERENCE DATA with the current and new PIN typed on the keypad (the new one twice).
    /// CardError(notImplemented) without the feature or for a generation the keypad cannot serve.
    static PinPadResult changePin(SmartCard& card, QELType type);
    /// RESET RETRY COUNTER with the PUK and the new PIN (twice) typed on the keypad; the PIN is not
    /// verified afterwards. CardError(notImplemented) as for `changePin`.
    static PinPadResult unblockPin(SmartCard& card, QELType type);
};

}  // namespace qel
