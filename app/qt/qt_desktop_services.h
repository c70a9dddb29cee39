#pragma once
#include <QPointer>
#include <QWidget>

#include "management/views/alert_presenter.h"
#include "management/views/desktop_services.h"

namespace qel::qt {

/// Alerts as window-modal message boxes over `window` (application-modal when it is null or gone).
class QtAlertPresenter : public ui::AlertPresenter {
public:
    explicit QtAlertPresenter(QWidget* window = nullptr) : window_(window) {}
    void setWindow(QWidget* window) { window_ = window; }
    int runModal(const ui::Alert& alert) override;

private:
    QPointer<QWidget> window_;
};

/// The system clipboard.
class QtClipboard : public ui::Clipboard {
public:
    void setText(const std::string& text) override;
};

/// The user's browser, through the desktop's URL handler.
class QtUrlOpener : public ui::UrlOpener {
public:
    bool openUrl(const std::string& url) override;
};

/// The desktop's file manager through its session-bus interface; without one, the file's folder
/// opened like any local address.
class QtFileRevealer : public ui::FileRevealer {
public:
    bool reveal(const std::string& path) override;
};

/// The suite's other programs. A program's identifier names its D-Bus well-known name (running =
/// the name has an owner on the session bus; no session bus = not running) and, by its last
/// component, its executable: "org.oberlane.qel.vigilo" is `vigilo`, looked for beside this
/// program first, then on the PATH.
class QtProgramLauncher : public ui::ProgramLauncher {
public:
    bool isRunning(const std::string& identifier) override;
    bool launch(const std::string& identifier) override;

    /// Where `launch` would start the program from; empty when it cannot be found.
    static QString locate(const std::string& identifier);
};

/// Claims this program's well-known name on the session bus, so that the other programs see it
/// running. False when there is no session bus or the name is taken.
bool claimBusName(const QString& name);

}  // namespace qel::qt
