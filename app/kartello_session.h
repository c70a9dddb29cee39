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

/// Kartello's start and end as a program: starts the agent at launch and finalises the PKCS#11 library at
/// exit. Main thread only.
class KartelloSession {
public:
    /// `ensureLibraryConfiguration` makes sure the issuer library's configuration folder and file
    /// exist; empty when that is not wired.
    KartelloSession(Pkcs11Library& library, ui::ProgramLauncher& launcher,
                    std::function<void()> ensureLibraryConfiguration = {});

    /// The program has started (its window is about to show).
    void started();
    /// The program is about to quit: ends the current card's login (logout and card reset), then
    /// `C_Finalize` when the library was initialised.
    void aboutToQuit();

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
