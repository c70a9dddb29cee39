#include "cli/pin_input.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "cli/cli_error.h"
#include "common/secret_bytes.h"
#include "common/unique_fd.h"

namespace qel::cli {
namespace {

// A PIN is 4 digits; anything much longer is not a PIN, and is not kept around.
constexpr std::size_t kMaxPinInput = 64;

/// Reads up to the first line feed (not kept), at most kMaxPinInput bytes.
std::string readLine(int fd) {
    std::string line;
    // Room for the whole input up front: a growing string would leave copies behind unwiped.
    line.reserve(kMaxPinInput + 1);
    char c = 0;
    for (;;) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            wipe(line);
            throw CliError(kExitUsage, std::string("cannot read the PIN: ") + std::strerror(error));
        }
        if (n == 0 || c == '\n') break;
        if (line.size() == kMaxPinInput) {
            wipe(line);
            throw CliError(kExitUsage, "the PIN must be 4 digits");
        }
        line.push_back(c);
    }
    c = 0;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// The terminal's settings while echo is off, for the signal handler to put back.
int gTerminal = -1;
struct termios gSaved {};

extern "C" void restoreTerminalAndExit(int signal) {
    ::tcsetattr(gTerminal, TCSAFLUSH, &gSaved);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

/// Echo off on the terminal for as long as it lives, also when the user interrupts.
class NoEcho {
public:
    explicit NoEcho(int tty) : tty_(tty) {
        if (::tcgetattr(tty, &saved_) != 0) return;
        gTerminal = tty;
        gSaved = saved_;
        struct sigaction action {};
        action.sa_handler = restoreTerminalAndExit;
        ::sigemptyset(&action.sa_mask);
        for (int i = 0; i < 3; ++i) ::sigaction(kSignals[i], &action, &previous_[i]);
        struct termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        active_ = ::tcsetattr(tty, TCSAFLUSH, &quiet) == 0;
    }
    ~NoEcho() {
        if (active_) ::tcsetattr(tty_, TCSAFLUSH, &saved_);
        if (gTerminal == tty_) {
            for (int i = 0; i < 3; ++i) ::sigaction(kSignals[i], &previous_[i], nullptr);
            gTerminal = -1;
        }
    }
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;

private:
    static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
    int tty_;
    struct termios saved_ {};
    struct sigaction previous_[3]{};
    bool active_ = false;
};

}  // namespace

SecretBytes readPin(const PinSource& source) {
    std::string pin;
    if (source.fd >= 0) {
        pin = readLine(source.fd);
    } else {
        UniqueFd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (tty.get() < 0)
            throw CliError(kExitUsage,
                           "no terminal to read the PIN from: give it on a file descriptor with --pin-fd N");
        static const char kPrompt[] = "Code PIN : ";
        (void)!::write(tty.get(), kPrompt, sizeof kPrompt - 1);
        NoEcho quiet(tty.get());
        pin = readLine(tty.get());
    }
    bool digits = pin.size() == 4;
    for (unsigned char c : pin) digits = digits && std::isdigit(c);
    if (!digits) {
        wipe(pin);
        throw CliError(kExitUsage, "the PIN must be 4 digits");
    }
    SecretBytes secret(pin);
    wipe(pin);
    return secret;
}

}  // namespace qel::cli
