#include "token/p11/error_mapping.h"

#include <new>

#include "card/status_words.h"

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

// The PIN steps report a blocked card and a refused PIN as a failed answer; an exchange that failed
// in the transport says nothing about the PIN.
CK_RV forFailedAnswer(const CardError& e, CardPhase phase) {
    switch (phase) {
        case CardPhase::pinCheck:
            return CKR_PIN_LOCKED;
        case CardPhase::pinVerify:
            return statusWordMeaning(e.statusWord()).status == CardStatus::blocked ? CKR_PIN_LOCKED : CKR_PIN_INCORRECT;
        default:
            return CKR_DEVICE_ERROR;
    }
}

}  // namespace

CK_RV ckrForCardError(const CardError& e, CardPhase phase) noexcept {
    using K = CardError::Kind;
    switch (e.kind()) {
        case K::cardStatus:
            return forStatusWord(static_cast<std::uint16_t>(e.code()), phase);
        case K::failed:
            // A code the domain does not name is no PIN answer.
            return e.code() == CardError::communicationError ? forFailedAnswer(e, phase) : CKR_DEVICE_ERROR;
        case K::authenticationNeeded:
            return CKR_USER_NOT_LOGGED_IN;
        case K::notImplemented:
            return CKR_FUNCTION_NOT_SUPPORTED;
        case K::objectNotFound:
            return CKR_KEY_HANDLE_INVALID;
        case K::badParameter:
            // An algorithm the key refuses never gets this far; here the card refused its environment.
            return phase == CardPhase::tokenCreation ? CKR_DEVICE_ERROR : CKR_FUNCTION_FAILED;
        case K::cardRemoved:
        case K::noReader:
            return CKR_DEVICE_REMOVED;
        case K::corruptedData:
        case K::noService:
        case K::timeout:
        case K::communication:
            return CKR_DEVICE_ERROR;
    }
    return CKR_DEVICE_ERROR;
}

CK_RV ckrForError(const std::exception_ptr& error, CardPhase phase) noexcept {
    if (!error) return CKR_OK;
    try {
        std::rethrow_exception(error);
    } catch (const P11Error& e) {
        return e.rv();
    } catch (const CardError& e) {
        return ckrForCardError(e, phase);
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
