#pragma once
#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/exit_codes.h"

namespace qel::cli {

/// What the command line asked for, beside the command's own words.
struct Options {
    bool json = false;
    /// The reader to use, by its name; empty: the first reader that holds a card.
    std::string reader;
    /// `--pin-fd N`; -1 reads the PIN from the terminal.
    int pinFd = -1;
    /// `--yes`: agree to the questions (trusting the issuer's root).
    bool yes = false;
};

/// What a command hands back: its exit status, the failure's message, and its data for `--json`.
struct CommandResult {
    ExitCode code = kExitOk;
    std::string message;
    nlohmann::ordered_json data = nlohmann::ordered_json::object();
};

/// Everything a command may use: the options, the stream for human output (unused with `--json`),
/// the program's version and the clock.
struct Context {
    const Options& options;
    std::ostream& out;
    std::string version;
    std::function<std::chrono::system_clock::time_point()> now;
    /// Human output only: writes nothing with `--json`.
    template <typename T>
    Context& operator<<(const T& value) {
        if (!options.json) out << value;
        return *this;
    }
};

// One function per command; each throws CliError when it cannot go on.
CommandResult infoCommand(Context& context);
CommandResult pinStatusCommand(Context& context);
CommandResult servicesTestCommand(Context& context);
CommandResult diagCommand(Context& context);
/// `serial` empty: every card's cache.
CommandResult cacheClearCommand(Context& context, const std::string& serial);
CommandResult trustInstallCommand(Context& context);
/// `serial` empty: the serial of the card in the reader.
CommandResult updateCheckCommand(Context& context, const std::string& serial);

}  // namespace qel::cli
