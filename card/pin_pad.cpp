#include "card/pin_pad.h"

#include "card/card_error.h"
#include "common/format.h"
#include "common/logger.h"

namespace qel {

namespace {

PinPadResult runEntry(SmartCard& card, std::uint32_t code, const Bytes& structure, const char* what) {
    std::optional<Bytes> answer = card.readerControl(code, structure);
    if (!answer || answer->size() < 2)
        throw TransportError(TransportError::Kind::communication, 0,
                             std::string("the reader gave no status word for the keypad ") + what);
    const std::uint16_t statusWord =
        static_cast<std::uint16_t>((*answer)[answer->size() - 2] << 8 | (*answer)[answer->size() - 1]);
    PinPadResult result = pinPadResult(statusWord);
    logInfo(format("PinPad : %s on the reader's keypad : %s (0x%04x)", what, pinPadOutcomeName(result.outcome),
                   statusWord));
    return result;
}

}  // namespace

bool PinPad::available(SmartCard& card) { return parseFeatureList(card.readerFeatureList()).canVerify(); }

PinPadResult PinPad::verifyPin(SmartCard& card, QELType type) {
    const PinPadFeatures features = parseFeatureList(card.readerFeatureList());
    const auto format = pinCommandFormat(type, false);
    if (!features.verifyPinDirect || !format) throw CardError(CardError::notImplemented);
    return runEntry(card, *features.verifyPinDirect, buildVerifyStructure(*format), "PIN verification");
}

PinPadResult PinPad::changePin(SmartCard& card, QELType type) {
    const PinPadFeatures features = parseFeatureList(card.readerFeatureList());
    const auto format = pinCommandFormat(type, true);
    if (!features.modifyPinDirect || !format) throw CardError(CardError::notImplemented);
    return runEntry(card, *features.modifyPinDirect, buildModifyStructure(*format), "PIN change");
}

PinPadResult PinPad::unblockPin(SmartCard& card, QELType type) {
    const PinPadFeatures features = parseFeatureList(card.readerFeatureList());
    const auto format = unblockCommandFormat(type);
    if (!features.modifyPinDirect || !format) throw CardError(CardError::notImplemented);
    return runEntry(card, *features.modifyPinDirect, buildModifyStructure(*format), "PIN unblock");
}

}  // namespace qel
