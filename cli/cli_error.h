#pragma once
#include <stdexcept>
#include <string>

#include "cli/exit_codes.h"

namespace qel::cli {

/// A command that cannot go on: what to tell the user, and the exit status.
class CliError : public std::runtime_error {
public:
    CliError(ExitCode code, const std::string& message) : std::runtime_error(message), code_(code) {}
    ExitCode code() const { return code_; }

private:
    ExitCode code_;
};

/// The one mapping of the lower layers' outcomes to exit statuses. The card's answers reach `qel`
/// as the issuer library's return values: CKR_OK is kExitOk; a card gone (CKR_TOKEN_NOT_PRESENT,
/// CKR_DEVICE_REMOVED) kExitNoCard; a refused PIN (CKR_PIN_INCORRECT) kExitWrongPin; a blocked card
/// (CKR_PIN_LOCKED) kExitCardBlocked; any other value `otherwise`, what the failing step stands for
/// (kExitServiceFailure for a login, kExitFailure for a card that cannot be read).
ExitCode exitCodeForReturnValue(unsigned long rv, ExitCode otherwise);

/// The short name of an exit status in JSON output ("no-card", "wrong-pin", ...).
const char* exitCodeName(ExitCode code);

}  // namespace qel::cli
