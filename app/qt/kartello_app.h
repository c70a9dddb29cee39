#pragma once
#include <QString>
#include <memory>
#include <string>

namespace qel {
class KartelloSession;
class MainWindowController;
}  // namespace qel

namespace qel::qt {

class QtMainWindow;
class QtNavigator;

/// Kartello put together: the issuer library, the smart-card service, the token watch, the main
/// window with its controller and the desktop services. Built on the GUI thread after the
/// QApplication; `start` shows the window, `stop` ends the token watch and closes the library.
class KartelloApp {
public:
    /// `pkcs11LibraryPath`: the issuer library to load.
    explicit KartelloApp(const std::string& pkcs11LibraryPath);
    ~KartelloApp();

    /// Applies the look, starts the agent when it is not running, shows the window and starts
    /// following card insertions.
    void start();
    /// Stops the token watch and finalises the library (the application is ending).
    void stop();

    QtMainWindow& window();
    QtNavigator& navigator();
    MainWindowController& controller();
    KartelloSession& kartelloSession();

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
    bool stopped_ = false;
};

/// The application's style sheet, from the resources.
/// Qt's own texts (file dialogs, standard buttons, context menus) in French, like the rest of the
/// window, whatever the session's language. False, and logged, when the catalogue is missing.
bool installQtFrenchTranslation();

QString kartelloStyleSheet();

}  // namespace qel::qt
