#pragma once
#include <exception>
#include <stdexcept>

#include "card/card_error.h"
#include "token/p11/pkcs11.h"

namespace qel::p11 {

/// What the module was doing when a card or transport error came back: the same token error means
/// different things before asking for a PIN, when verifying it, or during a key operation.
enum class CardPhase { tokenCreation, pinCheck, pinVerify, sign, decrypt, other };

/// An error the module itself reports with a PKCS#11 return value.
class P11Error : public std::runtime_error {
public:
    explicit P11Error(CK_RV rv) : std::runtime_error("PKCS#11 error"), rv_(rv) {}
    CK_RV rv() const { return rv_; }

private:
    CK_RV rv_;
};

/// The one mapping of the card layer's errors to return values, by kind: a card pulled out (kind
/// cardRemoved or noReader) is CKR_DEVICE_REMOVED; the other failures under the card, corrupted data
/// and unknown status words CKR_DEVICE_ERROR, whatever the phase; the card's status words and its
/// failed answers by `phase` (a blocked card before the PIN or a VERIFY answered 6983:
/// CKR_PIN_LOCKED, another refused PIN: CKR_PIN_INCORRECT, login needed: CKR_USER_NOT_LOGGED_IN,
/// wrong length or data: the data or enciphered-data range and validity codes, ...).
CK_RV ckrForCardError(const CardError& error, CardPhase phase) noexcept;

/// Any error to a return value: P11Error carries its own; a CardError (TransportError included)
/// goes through ckrForCardError; memory exhaustion is CKR_HOST_MEMORY; anything else
/// CKR_GENERAL_ERROR. Never throws.
CK_RV ckrForError(const std::exception_ptr& error, CardPhase phase) noexcept;

/// True when the error says the card is no longer in its reader.
bool isCardRemoval(const std::exception_ptr& error) noexcept;

}  // namespace qel::p11
