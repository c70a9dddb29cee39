#pragma once
#include <string>
#include <vector>

namespace qel::ui {

/// A modal message box.
struct Alert {
    enum class Style { informational, warning, critical };
    Style style = Style::informational;
    std::string messageText;
    std::string informativeText;
    /// Button titles, in their order; empty gives one "OK" button.
    std::vector<std::string> buttons;
    /// The position of the button that Return presses (not the destructive one of a question that
    /// cannot be undone).
    int defaultButton = 0;
};

/// Shows modal alerts. Tests answer them through a fake presenter.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    /// Shows the alert and returns the position of the button the user pressed (0 for the first),
    /// −1 when the alert was dismissed otherwise. Main thread only.
    virtual int runModal(const Alert& alert) = 0;
};

}  // namespace qel::ui
