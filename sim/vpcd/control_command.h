#pragma once
#include <sys/un.h>

#include <chrono>
#include <optional>
#include <string>
#include <variant>

namespace qel::sim {

/// One request on the card daemon's control socket: a single text line, answered by text whose
/// first line starts with "ok" or "error:".
///   insert READER PROFILE_DIR | remove READER | swap READER PROFILE_DIR | reset READER | status
///   | hostile READER on|off | pinpad ENTRY [MS] | quit      READER = contact | contactless | pinpad
/// ENTRY is what the holder types next on the keypad reader: cancel, timeout or digits (groups
/// separated by commas: current PIN, new PIN, confirmation); MS how long the typing takes.
struct ControlCommand {
    enum class Verb { insert, remove, swap, reset, status, hostile, pinpad, quit };
    Verb verb = Verb::status;
    std::string reader;   ///< "contact" or "contactless" when the verb takes one
    std::string profile;  ///< insert, swap: the rest of the line (may hold blanks)
    bool on = false;      ///< hostile
    std::string entry;    ///< pinpad: the entry word as given
    std::string delayMs;  ///< pinpad: the typing time, empty for none
};

/// The request as the daemon's log may show it: a keypad entry's digits are left out.
std::string loggableRequest(const std::string& line);

/// Parses a request line (trailing CR/LF ignored). The error text says what is wrong.
std::variant<ControlCommand, std::string> parseControlCommand(const std::string& line);

/// The path of the control socket in a run folder.
std::string controlSocketPath(const std::string& runDir);

/// The control socket's address. Socket paths are limited to 107 bytes; a longer one is reached
/// through an open handle on the run folder (/proc/self/fd/N/control.sock), which `dirFd` then
/// holds and the caller closes after bind() or connect() (-1 when not needed). False when the
/// run folder cannot be opened.
bool controlSocketAddress(const std::string& runDir, struct sockaddr_un& address, int& dirFd, std::string& error);

/// Sends one request to the daemon of `runDir` and returns its whole answer, nothing when no
/// daemon answers there (`error` says why).
std::optional<std::string> sendControlRequest(const std::string& runDir, const std::string& line,
                                              std::chrono::milliseconds timeout, std::string& error);

}  // namespace qel::sim
