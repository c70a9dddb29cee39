#include "card/token_error.h"

#include "common/format.h"

namespace qel {

std::string describeTokenError(int code) {
    const char* meaning = nullptr;
    switch (code) {
        case TokenError::notImplemented:
            meaning = "not implemented";
            break;
        case TokenError::communicationError:
            meaning = "communication error";
            break;
        case TokenError::corruptedData:
            meaning = "corrupted data";
            break;
        case TokenError::badParameter:
            meaning = "bad parameter";
            break;
        case TokenError::authenticationNeeded:
            meaning = "authentication needed";
            break;
        default:
            break;
    }
    if (meaning != nullptr) return format("token error %d (%s)", code, meaning);
    if (code > 0 && code <= 0xFFFF) return format("token error %d (card status %04X)", code, code);
    return format("token error %d", code);
}

TokenError::TokenError(int code, Origin origin, std::uint16_t statusWord)
    : std::runtime_error(describeTokenError(code)), code_(code), origin_(origin), statusWord_(statusWord) {}

TokenError TokenError::transportFailure(bool cardRemoved) {
    return TokenError(communicationError, cardRemoved ? Origin::cardRemoved : Origin::transport, 0);
}

TokenError TokenError::cardAnswer(int code, std::uint16_t statusWord) {
    return TokenError(code, Origin::card, statusWord);
}

}  // namespace qel
