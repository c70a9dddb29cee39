#include "sim/p11/errors.h"

#include <new>

#include "card/smart_card.h"
#include "card/status_words.h"
#include "sim/p11/card_backend.h"

namespace qel::simp11 {

CK_RV rvFromPinStatus(std::uint16_t sw) {
    if (sw == 0x9000) return CKR_OK;
    if (sw == 0x6983 || sw == 0x63C0) return CKR_PIN_LOCKED;
    if ((sw & 0xFFF0) == 0x63C0) return CKR_PIN_INCORRECT;
    if (sw == 0x6700) return CKR_PIN_LEN_RANGE;
    if (sw == 0x6A80) return CKR_PIN_INVALID;
    return rvFromCardStatus(sw);
}

CK_RV rvFromKeypadStatus(std::uint16_t sw) {
    switch (sw) {
        case sw::pinPadTimeout:
            return CKR_FUNCTION_FAILED;  // nobody typed before the reader gave up
        case sw::pinPadCancelled:
            return CKR_FUNCTION_CANCELED;
        case sw::pinPadEntriesDiffer:
            return CKR_PIN_INVALID;
        case sw::pinPadWrongLength:
            return CKR_PIN_LEN_RANGE;
        case 0x6D00:
            return CKR_FUNCTION_NOT_SUPPORTED;
        default:
            return rvFromPinStatus(sw);
    }
}

CK_RV rvFromCardStatus(std::uint16_t sw) {
    struct Entry {
        std::uint16_t sw;
        CK_RV rv;
    };
    static const Entry kTable[] = {
        {0x9000, CKR_OK},
        {0x6982, CKR_USER_NOT_LOGGED_IN},  // security status not satisfied
        {0x6983, CKR_PIN_LOCKED},
        {0x6984, CKR_FUNCTION_FAILED},  // reference data not usable
        {0x6985, CKR_FUNCTION_FAILED},  // conditions of use not satisfied
        {0x6700, CKR_DATA_LEN_RANGE},
        {0x6A80, CKR_DATA_INVALID},
        {0x6A82, CKR_FUNCTION_FAILED},     // file not found
        {0x6A88, CKR_KEY_HANDLE_INVALID},  // referenced key not found
        {0x6581, CKR_DEVICE_MEMORY},
        {0x6D00, CKR_FUNCTION_NOT_SUPPORTED},
        {0x6E00, CKR_FUNCTION_NOT_SUPPORTED},
    };
    for (const Entry& e : kTable)
        if (e.sw == sw) return e.rv;
    return CKR_DEVICE_ERROR;
}

CK_RV rvFromCurrentException() {
    try {
        throw;
    } catch (const qel::TransportError& e) {
        switch (e.kind()) {
            case qel::TransportError::Kind::cardRemoved:
            case qel::TransportError::Kind::noReader:
                return CKR_DEVICE_REMOVED;
            default:
                return CKR_DEVICE_ERROR;
        }
    } catch (const CardStatusError& e) {
        return rvFromCardStatus(e.sw());
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

}  // namespace qel::simp11
