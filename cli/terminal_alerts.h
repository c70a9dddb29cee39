#pragma once
#include "management/views/alert_presenter.h"

namespace qel::cli {

/// The library's questions on the terminal: the message and its informative text, then the buttons
/// to choose from by number. With `yes` the first button is taken without asking; with no terminal
/// (or with `--json` output, which must stay machine-readable) the question is dismissed (−1).
class TerminalAlerts final : public ui::AlertPresenter {
public:
    TerminalAlerts(bool yes, bool quiet) : yes_(yes), quiet_(quiet) {}
    int runModal(const ui::Alert& alert) override;

private:
    bool yes_;
    bool quiet_;
};

}  // namespace qel::cli
