// The contactless identity read and the PIN checks made without the PKCS#11 library.
#include <p11-kit/pkcs11.h>

#include "management/scard/scard.h"
#include "card/status_words.h"
#include "common/hex.h"
#include "common/logger.h"
#include "common/secret_bytes.h"

namespace qel {
namespace {

const Bytes kSelectMasterFile{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00, 0x00};

// The PIN results use the PKCS#11 return values, as the library's login would give them.
constexpr std::uint32_t kPinIncorrect = CKR_PIN_INCORRECT;
constexpr std::uint32_t kPinLocked = CKR_PIN_LOCKED;

// The PIN checks answer with the library's return values: CKR_OK, a refused PIN (the card counting
// 1 to `maxTries` tries left), a blocked PIN; kStepFailed for any other answer.
std::uint32_t pinAnswer(const StatusWordMeaning& answer, int maxTries) {
    switch (answer.status) {
        case CardStatus::success:
            return scard::kOk;
        case CardStatus::triesLeft:
            return answer.triesLeft >= 1 && answer.triesLeft <= maxTries ? kPinIncorrect : scard::kStepFailed;
        case CardStatus::blocked:
            return kPinLocked;
        default:
            return scard::kStepFailed;
    }
}

// File 1 is a TLV element (tag, one-byte length, the identifier in ASCII). Its length byte is
// taken as the binary length it is; a length that runs past the data gives nothing.
std::optional<std::string> identifierOf(const Bytes& file1) {
    const std::size_t length = file1[1];
    if (2 + length > file1.size()) return std::nullopt;
    std::string text;
    for (std::size_t i = 2; i < 2 + length; ++i) {
        if (file1[i] > 0x7F) return std::nullopt;
        text.push_back(static_cast<char>(file1[i]));
    }
    return text;
}

}  // namespace

ContactlessIdentity Scard::readContactlessIdentity(const std::string& readerName) {
    ContactlessIdentity identity;
    identity.result = withCard(readerName, [&](ScardExchange& card) -> ScardStatus {
        selectDesfireCard(card);
        card.transmit(desfireCommand(0x5A, irvApplicationId()));
        const Bytes file3 = card.transmit({0x00, 0xB0, 0x83, 0x00, 0x00}).data;
        const Bytes file2 = card.transmit({0x00, 0xB0, 0x82, 0x00, 0x00}).data;
        const Bytes file1 = card.transmit({0x00, 0xB0, 0x81, 0x00, 0x00}).data;
        if (file3.empty() || file2.empty() || file1.empty()) {
            logDebug("Sn or idCard or idNat empty");
            return refused(0);
        }
        if (file3.size() < 12 || file2.size() < 7 || file1.size() < 3) {
            logDebug("Sn or idCard or idNat wrong size");
            return refused(0);
        }
        identity.serialNumber = toHex(file3.data() + 2, 10).substr(1);
        identity.cardNumber = toHex(file2.data() + 2, 5);
        auto identifier = identifierOf(file1);
        if (!identifier) {
            logDebug("Failed to decode IdNat to ASCII");
            return refused(0);
        }
        identity.identifier = *identifier;
        return std::nullopt;
    });
    return identity;
}

PinCheckResult Scard::loginWithoutP11(const std::string& readerName, std::string_view pin) {
    logDebug("Enter : loginWithoutP11");
    PinCheckResult check;
    // The VERIFY command carries exactly four bytes; anything else would be framed wrongly.
    if (pin.size() != 4) return check;
    std::uint32_t answered = scard::kStepFailed;
    const ScardStatus reached = withPinCard(readerName, [&](ScardExchange& card) -> ScardStatus {
        card.transmit(kSelectMasterFile);
        Bytes verify{0x00, 0x20, 0x00, 0x01, 0x04};
        verify.reserve(5 + pin.size() + 1);  // no reallocation may leave a copy of the PIN behind
        verify.insert(verify.end(), pin.begin(), pin.end());
        verify.push_back(0x00);
        static const Bytes shown{0x00, 0x20, 0x00, 0x01, 0x04, 0xFF, 0xFF, 0xFF, 0xFF};
        const StatusWordMeaning answer = statusWordMeaning(card.transmit(verify, &shown).sw);
        wipe(verify);
        answered = pinAnswer(answer, 2);
        check.lastTry = answer.status == CardStatus::triesLeft && answer.triesLeft == 1;
        return std::nullopt;
    });
    check.result = reached ? scardCode(reached) : answered;
    return check;
}

PinCheckResult Scard::checkPinStatus(const std::string& readerName) {
    logDebug("Enter : checkPinStatus");
    PinCheckResult check;
    std::uint32_t answered = scard::kStepFailed;
    const ScardStatus reached = withCard(readerName, [&](ScardExchange& card) -> ScardStatus {
        card.transmit(kSelectMasterFile);
        const StatusWordMeaning answer = statusWordMeaning(card.transmit({0x00, 0x20, 0x00, 0x01}).sw);
        // Without a PIN presented, tries left are the PIN's state, not a refusal.
        answered = pinAnswer(answer, 3);
        if (answered == kPinIncorrect) answered = scard::kOk;
        check.lastTry = answer.status == CardStatus::triesLeft && answer.triesLeft == 1;
        return std::nullopt;
    });
    check.result = reached ? scardCode(reached) : answered;
    return check;
}

}  // namespace qel
