#include "sim/vpcd/control_command.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <vector>

#include "sim/pinpad/keypad_entry.h"
#include "sim/vpcd/vpcd_link.h"

namespace qel::sim {

namespace {

std::string trimEnd(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
    return s;
}

}  // namespace

std::variant<ControlCommand, std::string> parseControlCommand(const std::string& rawLine) {
    std::string line = trimEnd(rawLine);
    std::istringstream in(line);
    std::string verb, reader;
    in >> verb;
    ControlCommand c;
    if (verb == "status" || verb == "quit") {
        std::string extra;
        if (in >> extra) return "'" + verb + "' takes no argument";
        c.verb = verb == "status" ? ControlCommand::Verb::status : ControlCommand::Verb::quit;
        return c;
    }
    if (verb == "pinpad") {
        c.verb = ControlCommand::Verb::pinpad;
        std::string extra;
        if (!(in >> c.entry)) return std::string("'pinpad' needs an entry (cancel, timeout or digits)");
        in >> c.delayMs;
        if (in >> extra) return std::string("'pinpad' takes an entry and a typing time in milliseconds");
        if (auto parsed = parseKeypadEntry(c.entry, c.delayMs); std::holds_alternative<std::string>(parsed))
            return std::get<std::string>(parsed);
        return c;
    }
    if (verb == "insert")
        c.verb = ControlCommand::Verb::insert;
    else if (verb == "swap")
        c.verb = ControlCommand::Verb::swap;
    else if (verb == "remove")
        c.verb = ControlCommand::Verb::remove;
    else if (verb == "reset")
        c.verb = ControlCommand::Verb::reset;
    else if (verb == "hostile")
        c.verb = ControlCommand::Verb::hostile;
    else if (verb.empty())
        return std::string("empty request");
    else
        return "unknown request '" + verb + "'";

    if (!(in >> reader)) return "'" + verb + "' needs a reader (contact, contactless or pinpad)";
    if (reader != "contact" && reader != "contactless" && reader != "pinpad")
        return "unknown reader '" + reader + "' (contact, contactless or pinpad)";
    c.reader = reader;

    std::string rest;
    std::getline(in, rest);
    std::size_t start = rest.find_first_not_of(" \t");
    rest = start == std::string::npos ? std::string() : rest.substr(start);
    switch (c.verb) {
        case ControlCommand::Verb::insert:
        case ControlCommand::Verb::swap:
            if (rest.empty()) return "'" + verb + "' needs a profile folder";
            c.profile = rest;
            break;
        case ControlCommand::Verb::hostile:
            if (rest == "on")
                c.on = true;
            else if (rest == "off")
                c.on = false;
            else
                return std::string("'hostile' needs on or off");
            break;
        default:
            if (!rest.empty()) return "'" + verb + "' takes only a reader";
    }
    return c;
}

std::string loggableRequest(const std::string& line) {
    std::istringstream in(line);
    std::string verb, entry, delay;
    in >> verb;
    if (verb != "pinpad") return trimEnd(line);
    in >> entry >> delay;
    auto parsed = parseKeypadEntry(entry, delay);
    wipe(entry);
    if (auto* e = std::get_if<KeypadEntry>(&parsed)) return "pinpad " + describeKeypadEntry(*e);
    return "pinpad (not an entry)";
}

std::string controlSocketPath(const std::string& runDir) { return runDir + "/control.sock"; }

bool controlSocketAddress(const std::string& runDir, sockaddr_un& address, int& dirFd, std::string& error) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    dirFd = -1;
    std::string path = controlSocketPath(runDir);
    if (path.size() >= sizeof address.sun_path) {
        dirFd = ::open(runDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dirFd < 0) {
            error = "cannot open the run folder " + runDir + ": " + std::strerror(errno);
            return false;
        }
        path = "/proc/self/fd/" + std::to_string(dirFd) + "/control.sock";
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::optional<std::string> sendControlRequest(const std::string& runDir, const std::string& line,
                                              std::chrono::milliseconds timeout, std::string& error) {
    std::string path = controlSocketPath(runDir);
    sockaddr_un address{};
    int dirFd = -1;
    if (!controlSocketAddress(runDir, address, dirFd, error)) return std::nullopt;
    SocketFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    bool connected = fd && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    int connectErrno = errno;
    if (dirFd >= 0) ::close(dirFd);
    if (!connected) {
        error = "no card daemon answers at " + path + ": " + std::strerror(connectErrno);
        return std::nullopt;
    }
    std::string request = trimEnd(line) + "\n";
    if (::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        error = std::string("cannot send the request: ") + std::strerror(errno);
        return std::nullopt;
    }
    ::shutdown(fd.get(), SHUT_WR);
    std::string answer;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            error = "the card daemon did not answer in time";
            return std::nullopt;
        }
        pollfd p{fd.get(), POLLIN, 0};
        int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) continue;
        ssize_t got = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = std::string("cannot read the answer: ") + std::strerror(errno);
            return std::nullopt;
        }
        if (got == 0) break;
        answer.append(buffer, static_cast<std::size_t>(got));
    }
    if (answer.empty()) {
        error = "the card daemon closed the connection without answering";
        return std::nullopt;
    }
    return answer;
}

}  // namespace qel::sim
