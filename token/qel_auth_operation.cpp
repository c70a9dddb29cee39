#include "token/qel_auth_operation.h"

#include "common/logger.h"

namespace qel {

Bytes QELAuthOperation::templateFor(QELType type) {
    if (type == QELType::QEL3) return {0x00, 0x20, 0x00, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    return {0x01, 0x20, 0x00, 0x01, 0x04, 0xFF, 0xFF, 0xFF, 0xFF};
}

std::pair<std::size_t, std::size_t> QELAuthOperation::pinLengthRange(QELType type) {
    if (type == QELType::QEL3) {
        constexpr std::size_t kFiller = 4;  // the FF bytes QELCard::verifyPin appends
        const std::size_t block = templateFor(type)[4];
        return {block - kFiller, block - kFiller};
    }
    return {4, 8};
}

QELAuthOperation::QELAuthOperation(std::shared_ptr<QELCard> card_, SmartCard& smartCard_)
    : card(std::move(card_)), apduTemplate(templateFor(card->type())), pinByteOffset(0), smartCard(&smartCard_) {}

bool QELAuthOperation::finishWithError(std::exception_ptr& error) {
    logInfo("QELAuthOperation finish");
    failedStep_ = Step::pinState;
    try {
        card->checkPin();
        failedStep_ = Step::verify;
        // The template only describes the command to the platform; VERIFY is built by the card
        // layer from the PIN text.
        card->verifyPin(pin_.view());
        failedStep_ = Step::none;
        return true;
    } catch (...) {
        error = std::current_exception();
        return false;
    }
}

}  // namespace qel
