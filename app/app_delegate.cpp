#include "app/app_delegate.h"

#include "common/format.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"

namespace qel {

AppDelegate::AppDelegate(Pkcs11Library& library, ui::ProgramLauncher& launcher,
                         std::function<void()> ensureLibraryConfiguration)
    : library_(library), launcher_(launcher), ensureLibraryConfiguration_(std::move(ensureLibraryConfiguration)) {}

void AppDelegate::applicationDidFinishLaunching() {
    if (ensureLibraryConfiguration_) ensureLibraryConfiguration_();
    if (desactivateDemoMenuItem) desactivateDemoMenuItem->setEnabled(false);
    if (!launcher_.isRunning(kAgentIdentifier) && !launcher_.launch(kAgentIdentifier))
        logDebug(format("Agent %s introuvable", kAgentIdentifier));
}

void AppDelegate::applicationWillTerminate() {
    // The holder's login lasts until the program ends; the card must not stay verified after it.
    if (currentCard && currentCard->ownsLogin()) currentCard->logout();
    if (!p11Loaded) return;
    CK_RV rv = library_.finalize();
    logDebug(format("C_Finalize: %lu", static_cast<unsigned long>(rv)));
    p11Loaded = false;
}

}  // namespace qel
