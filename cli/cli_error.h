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

/// The short name of an exit status in JSON output ("no-card", "wrong-pin", ...).
const char* exitCodeName(ExitCode code);

}  // namespace qel::cli
