#include "cli/cli_error.h"

#include "issuerlib/pkcs11_library.h"

namespace qel::cli {

ExitCode exitCodeForReturnValue(unsigned long rv, ExitCode otherwise) {
    switch (rv) {
        case CKR_OK:
            return kExitOk;
        case CKR_TOKEN_NOT_PRESENT:
        case CKR_DEVICE_REMOVED:
            return kExitNoCard;
        case CKR_PIN_INCORRECT:
            return kExitWrongPin;
        case CKR_PIN_LOCKED:
            return kExitCardBlocked;
        default:
            return otherwise;
    }
}

}  // namespace qel::cli
