#include "token/p11/error_mapping.h"

#include <new>

#include "card/smart_card.h"
#include "card/status_words.h"
#include "card/token_error.h"
#include "token/sigilla.h"

namespace qel::p11 {

namespace {

CK_RV forStatusWord(std::uint16_t statusWord, CardPhase phase) {
    const bool decrypt = phase == CardPhase::decrypt;
    switch (statusWordMeaning(statusWord).status) {
        case CardStatus::blocked:
            return CKR_PIN_LOCKED;
        case CardStatus::securityStatusNotSatisfied:
            return CKR_USER_NOT_LOGGED_IN;
        case CardStatus::wrongLength:
            return decrypt ? CKR_ENCRYPTED_DATA_LEN_RANGE : CKR_DATA_LEN_RANGE;
        case CardStatus::wrongData:
            return decrypt ? CKR_ENCRYPTED_DATA_INVALID : CKR_DATA_INVALID;
        case CardStatus::conditionsNotSatisfied:
            return CKR_FUNCTION_REJECTED;
        case CardStatus::referenceNotFound:
            return CKR_KEY_HANDLE_INVALID;
        case CardStatus::memoryFailure:
            return CKR_DEVICE_MEMORY;
        default:
            return CKR_DEVICE_ERROR;
    }
}

// The PIN steps report a blocked card and a refused PIN with the communication code; an exchange
// that failed in the transport says nothing about the PIN.
CK_RV forCommunicationError(const TokenError& e, CardPhase phase) {
    if (e.fromTransport()) return CKR_DEVICE_ERROR;
    switch (phase) {
        case CardPhase::pinCheck:
            return CKR_PIN_LOCKED;
        case CardPhase::pinVerify:
            return statusWordMeaning(e.statusWord()).status == CardStatus::blocked ? CKR_PIN_LOCKED : CKR_PIN_INCORRECT;
        default:
            return CKR_DEVICE_ERROR;
    }
}

CK_RV forTokenError(const TokenError& e, CardPhase phase) {
    if (e.cardRemoved()) return CKR_DEVICE_REMOVED;
    if (e.isStatusWord()) return forStatusWord(static_cast<std::uint16_t>(e.code()), phase);
    switch (e.code()) {
        case TokenError::communicationError:
            return forCommunicationError(e, phase);
        case TokenError::authenticationNeeded:
            return CKR_USER_NOT_LOGGED_IN;
        case TokenError::notImplemented:
            return CKR_FUNCTION_NOT_SUPPORTED;
        case kObjectNotFound:
            return CKR_KEY_HANDLE_INVALID;
        case TokenError::badParameter:
            // An algorithm the key refuses never gets this far; here the card refused its environment.
            return phase == CardPhase::tokenCreation ? CKR_DEVICE_ERROR : CKR_FUNCTION_FAILED;
        case TokenError::corruptedData:
        default:
            return CKR_DEVICE_ERROR;
    }
}

CK_RV forTransportError(const TransportError& e) {
    switch (e.kind()) {
        case TransportError::Kind::cardRemoved:
        case TransportError::Kind::noReader:
            return CKR_DEVICE_REMOVED;
        case TransportError::Kind::noService:
        case TransportError::Kind::timeout:
        case TransportError::Kind::communication:
            return CKR_DEVICE_ERROR;
    }
    return CKR_DEVICE_ERROR;
}

}  // namespace

CK_RV ckrForError(const std::exception_ptr& error, CardPhase phase) noexcept {
    if (!error) return CKR_OK;
    try {
        std::rethrow_exception(error);
    } catch (const P11Error& e) {
        return e.rv();
    } catch (const TransportError& e) {
        return forTransportError(e);
    } catch (const TokenError& e) {
        return forTokenError(e, phase);
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

bool isCardRemoval(const std::exception_ptr& error) noexcept {
    return error != nullptr && ckrForError(error, CardPhase::other) == CKR_DEVICE_REMOVED;
}

}  // namespace qel::p11
