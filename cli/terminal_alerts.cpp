#include "cli/terminal_alerts.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "common/unique_fd.h"

namespace qel::cli {
namespace {

void say(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

int TerminalAlerts::runModal(const ui::Alert& alert) {
    const std::vector<std::string> buttons = alert.buttons.empty() ? std::vector<std::string>{"OK"} : alert.buttons;
    if (yes_) return 0;
    // A single button only acknowledges: nothing to ask.
    if (buttons.size() == 1) {
        if (!quiet_) say(STDERR_FILENO, alert.messageText + "\n" + alert.informativeText + "\n");
        return 0;
    }
    if (quiet_) return -1;
    UniqueFd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (tty.get() < 0) return -1;
    std::string question = alert.messageText + "\n";
    if (!alert.informativeText.empty()) question += alert.informativeText + "\n";
    for (std::size_t i = 0; i < buttons.size(); ++i)
        question += "  " + std::to_string(i + 1) + ") " + buttons[i] + "\n";
    question += "Choice [1]: ";
    say(tty.get(), question);
    std::string answer;
    char c = 0;
    while (answer.size() < 16 && ::read(tty.get(), &c, 1) == 1 && c != '\n') answer.push_back(c);
    if (answer.empty()) return 0;
    for (std::size_t i = 0; i < buttons.size(); ++i)
        if (answer == std::to_string(i + 1)) return static_cast<int>(i);
    return -1;
}

}  // namespace qel::cli
