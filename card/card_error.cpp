#include "card/card_error.h"

#include "common/format.h"

namespace qel {

std::string describeTokenError(int code) {
    const char* meaning = nullptr;
    switch (code) {
        case CardError::notImplemented:
            meaning = "not implemented";
            break;
        case CardError::communicationError:
            meaning = "communication error";
            break;
        case CardError::corruptedData:
            meaning = "corrupted data";
            break;
        case CardError::badParameter:
            meaning = "bad parameter";
            break;
        case CardError::authenticationNeeded:
            meaning = "authentication needed";
            break;
        default:
            break;
    }
    if (meaning != nullptr) return format("token error %d (%s)", code, meaning);
    if (code > 0 && code <= 0xFFFF) return format("token error %d (card status %04X)", code, code);
    return format("token error %d", code);
}

CardError::Kind CardError::kindOfCode(int code) {
    if (code > 0) return Kind::cardStatus;
    switch (code) {
        case notImplemented:
            return Kind::notImplemented;
        case corruptedData:
            return Kind::corruptedData;
        case objectNotFound:
            return Kind::objectNotFound;
        case badParameter:
            return Kind::badParameter;
        case authenticationNeeded:
            return Kind::authenticationNeeded;
        default:
            return Kind::failed;
    }
}

CardError::CardError(int code, Kind kind, std::uint16_t statusWord, long platformCode)
    : std::runtime_error(describeTokenError(code)),
      code_(code),
      kind_(kind),
      statusWord_(statusWord),
      platformCode_(platformCode) {}

CardError::CardError(Kind kind, long platformCode, const std::string& what)
    : std::runtime_error(what), code_(communicationError), kind_(kind), statusWord_(0), platformCode_(platformCode) {}

CardError CardError::transportFailure(bool cardRemoved) {
    return CardError(communicationError, cardRemoved ? Kind::cardRemoved : Kind::communication, 0, 0);
}

CardError CardError::cardAnswer(int code, std::uint16_t statusWord) {
    return CardError(code, kindOfCode(code), statusWord, 0);
}

}  // namespace qel
