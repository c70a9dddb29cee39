#pragma once
#include <functional>
#include <memory>

#include "management/views/desktop_services.h"
#include "app/views/widgets.h"

namespace qel {

class Pkcs11Card;
class Pkcs11Library;

/// Identifier of the background agent (its D-Bus name).
inline constexpr const char* kAgentIdentifier = "org.oberlane.qel.vigilo";

/// Kartello's application delegate: starts the agent at launch and finalises the PKCS#11 library at
/// exit. Main thread only.
class AppDelegate {
public:
    /// `ensureLibraryConfiguration` makes sure the issuer library's configuration folder and file
    /// exist; empty when that is not wired.
    AppDelegate(Pkcs11Library& library, ui::ProgramLauncher& launcher,
                std::function<void()> ensureLibraryConfiguration = {});

    /// Launching has finished.
    void applicationDidFinishLaunching();
    /// The application is about to end: ends the current card's login (logout and card reset), then
    /// `C_Finalize` when the library was initialised.
    void applicationWillTerminate();

    /// Weak references to the menu's demo-mode items (may be null).
    ui::MenuItem* activateDemoMenuItem = nullptr;
    ui::MenuItem* desactivateDemoMenuItem = nullptr;
    /// The library answered `C_Initialize` with 0.
    bool p11Loaded = false;
    /// The card last read.
    std::shared_ptr<Pkcs11Card> currentCard;

    Pkcs11Library& library() { return library_; }

private:
    Pkcs11Library& library_;
    ui::ProgramLauncher& launcher_;
    std::function<void()> ensureLibraryConfiguration_;
};

}  // namespace qel
