#include "sim/p11/slot.h"

namespace qel::simp11 {

namespace {

// The card's PIN has four digits and its PUK eight: the length tells a C_SetPIN that unblocks
// with the PUK from one that changes the PIN.
constexpr std::size_t kPinLength = 4, kPukLength = 8;

bool digitsOnly(const SecretBytes& code) {
    for (std::size_t i = 0; i < code.size(); ++i)
        if (code[i] < '0' || code[i] > '9') return false;
    return true;
}

// Codes the card could never accept are refused here, so that they cost no try.
CK_RV checkPin(const SecretBytes& pin) {
    if (pin.size() != kPinLength) return CKR_PIN_LEN_RANGE;
    return digitsOnly(pin) ? CKR_OK : CKR_PIN_INVALID;
}

CK_RV checkPuk(const SecretBytes& puk) {
    if (puk.size() != kPukLength) return CKR_PIN_LEN_RANGE;
    return digitsOnly(puk) ? CKR_OK : CKR_PIN_INVALID;
}

}  // namespace

CK_RV Slot::login(CK_SESSION_HANDLE handle, CK_USER_TYPE userType, const SecretBytes& pin) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    if (userType == CKU_CONTEXT_SPECIFIC) return CKR_OPERATION_NOT_INITIALIZED;
    if (userType != CKU_USER && userType != CKU_SO) return CKR_USER_TYPE_INVALID;
    Login wanted = userType == CKU_USER ? Login::user : Login::so;
    if (login_ == wanted) return CKR_USER_ALREADY_LOGGED_IN;
    if (login_ != Login::none) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
    if (wanted == Login::so)
        for (const auto& [h, other] : sessions_)
            if (!other.readWrite) return CKR_SESSION_READ_ONLY_EXISTS;

    if (pin.size() == 0 && wanted == Login::user) {
        // No PIN from the program: the holder types it on the reader, when the reader has a keypad.
        CK_RV rv = withCard([&](CardChannel& card) {
            if (!card.hasKeypad()) return CKR_ARGUMENTS_BAD;
            return rvFromKeypadStatus(card.verifyPinOnKeypad());
        });
        if (rv != CKR_OK) return rv;
        login_ = wanted;
        for (auto& [h, other] : sessions_) other.loginLost = false;
        return CKR_OK;
    }
    if (pin.size() == 0) {
        // The PUK goes with the new PIN in one command on the keypad: the SO login only opens the
        // way, and C_InitPIN with no PIN has the holder type both.
        CK_RV rv = withCard([&](CardChannel& card) { return card.hasKeypad() ? CKR_OK : CKR_ARGUMENTS_BAD; });
        if (rv != CKR_OK) return rv;
        login_ = wanted;
        soPuk_.clear();
        return CKR_OK;
    }
    CK_RV check = wanted == Login::user ? checkPin(pin) : checkPuk(pin);
    // A code that is no code at all is simply not the right one.
    if (check == CKR_PIN_INVALID) return CKR_PIN_INCORRECT;
    if (check != CKR_OK) return check;

    std::uint16_t sw = 0;
    CK_RV rv = withCard([&](CardChannel& card) {
        sw = wanted == Login::user ? card.verifyPin(pin) : card.verifyPuk(pin);
        return rvFromPinStatus(sw);
    });
    if (rv != CKR_OK) return rv;
    login_ = wanted;
    for (auto& [h, other] : sessions_) other.loginLost = false;
    if (wanted == Login::so) soPuk_ = pin.copy();
    return CKR_OK;
}

CK_RV Slot::logout(CK_SESSION_HANDLE handle) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    if (login_ == Login::none) {
        // The card forgot the login already (reset elsewhere): the program has now heard of it.
        for (auto& [h, other] : sessions_) other.loginLost = false;
        return CKR_USER_NOT_LOGGED_IN;
    }
    endLogin();
    return CKR_OK;
}

CK_RV Slot::initPin(CK_SESSION_HANDLE handle, const SecretBytes& pin) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    if (!s->readWrite) return CKR_SESSION_READ_ONLY;
    if (login_ != Login::so) return CKR_USER_NOT_LOGGED_IN;
    if (pin.size() == 0 && soPuk_.size() == 0)
        return withCard([&](CardChannel& card) { return rvFromKeypadStatus(card.unblockPinOnKeypad()); });
    if (CK_RV rv = checkPin(pin); rv != CKR_OK) return rv;
    return withCard([&](CardChannel& card) {
        std::uint16_t sw = card.resetRetryCounter(soPuk_, pin);
        // The PUK was right at login: a refusal now means the card changed its mind.
        CK_RV rv = rvFromPinStatus(sw);
        return rv == CKR_PIN_INCORRECT ? CKR_FUNCTION_FAILED : rv;
    });
}

CK_RV Slot::setPin(CK_SESSION_HANDLE handle, const SecretBytes& oldPin, const SecretBytes& newPin) {
    std::lock_guard lock(mutex_);
    Session* s = nullptr;
    if (CK_RV rv = enter(handle, s); rv != CKR_OK) return rv;
    // The card has no command that changes the PUK.
    if (login_ == Login::so) return CKR_FUNCTION_NOT_SUPPORTED;
    if (oldPin.size() == 0 && newPin.size() == 0) {
        if (!s->readWrite) return CKR_SESSION_READ_ONLY;
        return withCard([&](CardChannel& card) {
            if (!card.hasKeypad()) return CKR_ARGUMENTS_BAD;
            return rvFromKeypadStatus(card.changePinOnKeypad());
        });
    }
    if (CK_RV rv = checkPin(newPin); rv != CKR_OK) return rv;
    if (oldPin.size() == kPukLength) {
        // Unblocking with the PUK in place of the old PIN, as PIN tools do for a blocked card.
        if (checkPuk(oldPin) != CKR_OK) return CKR_PIN_INCORRECT;
        return withCard([&](CardChannel& card) { return rvFromPinStatus(card.resetRetryCounter(oldPin, newPin)); });
    }
    CK_RV oldCheck = checkPin(oldPin);
    if (oldCheck == CKR_PIN_INVALID) return CKR_PIN_INCORRECT;
    if (oldCheck != CKR_OK) return oldCheck;
    return withCard([&](CardChannel& card) { return rvFromPinStatus(card.changePin(oldPin, newPin)); });
}

}  // namespace qel::simp11
