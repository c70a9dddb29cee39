#pragma once
#include <string>

namespace qel::ui {

/// The general clipboard.
class Clipboard {
public:
    virtual ~Clipboard() = default;
    /// Clears the clipboard and puts one plain-text item.
    virtual void setText(const std::string& text) = 0;
};

/// Opens a web address in the user's browser.
class UrlOpener {
public:
    virtual ~UrlOpener() = default;
    /// False when no program could be asked to open it.
    virtual bool openUrl(const std::string& url) = 0;
};

/// Finds and starts the suite's other programs, by their identifier ("org.oberlane.qel.vigilo").
class ProgramLauncher {
public:
    virtual ~ProgramLauncher() = default;
    /// True when a program with that identifier runs in the user's session (it owns the D-Bus
    /// well-known name of the same text on the session bus).
    virtual bool isRunning(const std::string& identifier) = 0;
    /// Starts the program detached, with the default environment. False when it cannot be located
    /// or started; nothing is waited for.
    virtual bool launch(const std::string& identifier) = 0;
};

/// Shows a file to the user in the desktop's file manager.
class FileRevealer {
public:
    virtual ~FileRevealer() = default;
    /// Selects the file in a file manager window, or at least opens its folder; false when neither
    /// could be done.
    virtual bool reveal(const std::string& path) = 0;
};

}  // namespace qel::ui
