#pragma once
#include <functional>
#include <string>

#include "app/views/widgets.h"

namespace qel::ui {

class IdentificationView;
class SituationView;

/// The sub-views the main window shows in its container area, one at a time.
enum class SubView { identification, situation, certificate, maintenance };

/// The controls of the main window, by their names. The view fills every pointer before it hands
/// itself to the controller; the widgets live as long as the view.
struct MainWindowWidgets {
    // Buttons.
    Button* identification = nullptr;
    Button* situation = nullptr;
    Button* certificate = nullptr;
    Button* tmaj = nullptr;
    Button* pinCode = nullptr;
    Button* pinCodeModif = nullptr;
    Button* unlockCard = nullptr;
    Button* maintenance = nullptr;
    Button* diagQELButton = nullptr;
    Button* testsSsl = nullptr;
    Button* portalEQEL = nullptr;
    Button* contactSupport = nullptr;
    Button* cardUnlock = nullptr;
    Button* cardPinPadlock = nullptr;  ///< shows the picture "lock" or "unlock"
    Button* refreshButton = nullptr;
    Button* VekAuthentication = nullptr;
    Button* VekDisconnect = nullptr;
    // Pictures.
    ImageView* situationLock = nullptr;
    ImageView* tmajNotif = nullptr;
    ImageView* topCard = nullptr;  ///< the card picture of the holder's profession
    // Labels.
    Label* cardNameLabel = nullptr;
    Label* cardJobLabel = nullptr;
    Label* cardIdentifierTitle = nullptr;
    Label* cardIdentifierLabel = nullptr;
    Label* cardNumTitle = nullptr;
    Label* cardNumLabel = nullptr;
    Label* cardStatusTitle = nullptr;
    Label* cardStatusLabel = nullptr;
    Label* cardNoInsertedLabel = nullptr;
    Label* cardBlockedLabel = nullptr;
    Label* testLabel = nullptr;
    Label* demoModeTitle = nullptr;
    Label* cardStatus = nullptr;  ///< the progress text line
    // Areas.
    Area* card = nullptr;       ///< the card summary
    Area* cardEmpty = nullptr;  ///< shown when there is no card summary
    // Reader list and progress.
    PopUpList* cardComboBox = nullptr;
    ProgressIndicator* progress = nullptr;
    // Application menu.
    MenuItem* activateDemoMenuItem = nullptr;
    MenuItem* desactivateDemoMenuItem = nullptr;
    MenuItem* quitMenuItem = nullptr;
    MenuItem* aboutMenuItem = nullptr;  ///< the about button

    /// True when every pointer is set.
    bool complete() const;
};

/// The main window. Its controller (MainWindowController) installs every handler in its constructor.
class MainWindowView {
public:
    virtual ~MainWindowView() = default;

    virtual const MainWindowWidgets& widgets() = 0;

    /// The identification and situation views placed in the container; they live as long as the
    /// window.
    virtual IdentificationView& identificationView() = 0;
    virtual SituationView& situationView() = 0;

    /// Puts that sub-view in the container (filling it and resizing with it) in place of the
    /// current one.
    virtual void showSubView(SubView view) = 0;

    /// Lets the event loop run for about a millisecond so that a text just set is drawn before a
    /// blocking card read.
    virtual void letEventLoopRun() = 0;

    /// Closes the window (which ends the application), without asking the close handler.
    virtual void closeWindow() = 0;

    /// The standard about panel of the application.
    virtual void showAboutPanel() = 0;

    /// Says `text` to the screen reader, for a change the window shows in several places at once
    /// (the card just read) rather than in one line of its own.
    virtual void announce(const std::string& text) = 0;

    /// Called when the user (or the window manager) asks to close the window; the window closes
    /// only when the handler returns true.
    virtual void setCloseRequestHandler(std::function<bool()> handler) = 0;

    /// Called when the pointer enters (`entered` true) or leaves one of the fourteen main buttons,
    /// with the button's title (the "buttonName" of its tracking area).
    virtual void setHoverHandler(std::function<void(const std::string& buttonName, bool entered)> handler) = 0;
};

}  // namespace qel::ui
