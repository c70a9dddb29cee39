#pragma once
#include <exception>
#include <memory>
#include <string_view>
#include <utility>

#include "card/qel_card.h"
#include "card/smart_card.h"
#include "common/bytes.h"
#include "common/secret_bytes.h"

namespace qel {

/// The PIN operation of a key whose constraint asks for the PIN. The platform side (here the module's
/// C_Login) hands it the PIN text and calls finishWithError, which checks the PIN state again and
/// sends VERIFY itself. The PIN is wiped when it is replaced or the operation goes, and never logged.
class QELAuthOperation {
public:
    /// The command template for the card generation, with the PIN at byte offset 0 of its data.
    QELAuthOperation(std::shared_ptr<QELCard> card, SmartCard& smartCard);

    std::shared_ptr<QELCard> card;
    Bytes apduTemplate;
    int pinByteOffset = 0;
    SmartCard* smartCard = nullptr;

    /// The PIN collected from the user.
    void setPIN(std::string_view pin) { pin_.assign(pin); }

    /// Re-checks the PIN state and verifies the PIN on the card. True when the card accepted it;
    /// otherwise false with `error` set: CardError(−2) when the card is blocked or refused the PIN,
    /// or the transport's error.
    bool finishWithError(std::exception_ptr& error);

    /// Which step of finishWithError failed last: the PIN state check or the verification.
    enum class Step { none, pinState, verify };
    Step failedStep() const { return failedStep_; }

    /// The template for a generation: QEL3 00 20 00 01 08 + 8 × FF, the others 01 20 00 01 04 + 4 × FF.
    static Bytes templateFor(QELType type);

    /// The shortest and longest PIN the card of a generation takes. A QEL3 VERIFY carries the 8-byte
    /// block of its template, whose last four bytes the card layer fills with FF: its PIN has exactly
    /// 4 characters. The other generations take the PIN bytes as they are, 4 to 8 of them.
    static std::pair<std::size_t, std::size_t> pinLengthRange(QELType type);

private:
    SecretBytes pin_;
    Step failedStep_ = Step::none;
};

}  // namespace qel
