#pragma once
// A main window on the fake issuer module, fake readers and recording views, with a fixed clock.
#include <gtest/gtest.h>

#include "app/app_delegate.h"
#include "management/card_tables.h"
#include "management/scard/scard.h"
#include "app/token_watch.h"
#include "app/view_controller.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"
#include "tests/management/fake_readers.h"
#include "tests/support/card_records.h"
#include "tests/support/fake_issuer_module.h"
#include "tests/support/fake_views.h"

namespace qel::test {

struct FakeTokenWatch : TokenWatch {
    void setInsertionHandler(Handler h) override { insertion = std::move(h); }
    void addRemovalHandler(Handler h, const std::string& id) override { removals.emplace_back(id, std::move(h)); }
    void remove(const std::string& id) {
        for (auto& [token, handler] : removals)
            if (token == id) handler(id);
    }
    Handler insertion;
    std::vector<std::pair<std::string, Handler>> removals;
};

struct FakeLauncher : ui::ProgramLauncher {
    bool isRunning(const std::string&) override { return running; }
    bool launch(const std::string& id) override {
        launched.push_back(id);
        return true;
    }
    bool running = false;
    std::vector<std::string> launched;
};

/// Today 15/06/2025 at 10:00 local time.
inline std::chrono::system_clock::time_point fixedNow() {
    return *parseCardDate("15/06/2025") + std::chrono::hours(10);
}

struct MainWindowFixture : ::testing::Test {
    /// A contact card with a holder; `expiry` as "dd/MM/yyyy".
    FakeSlot& contactCard(const std::string& reader, const std::string& expiry = "31/12/2029",
                          const std::string& cardType = "00", const std::string& prof = "10",
                          const std::string& metier = "", bool testCard = false) {
        FakeSlot& slot = module.addSlot(reader, true);
        slot.token.objects["QEL_ID_CARD"] = sampleIdCard(testCard ? 0x80 : 0x00, expiry);
        slot.token.objects["QEL_NAME_PS"] = nameObject("DUPONT", "JEAN");
        slot.token.objects["QEL_INFO_PS"] = infoObject(cardType, "810001234567", prof, metier);
        return slot;
    }

    void start(Pkcs11Library* lib = nullptr) {
        ViewControllerServices services{
            lib ? *lib : library, queue, *nav, urls, clipboard, scard, readers, &watch, hooks, fixedNow, &alerts};
        vc = std::make_unique<ViewController>(window, appDel, services);
        appDel.activateDemoMenuItem = &window.activateDemo;
        appDel.desactivateDemoMenuItem = &window.desactivateDemo;
        appDel.applicationDidFinishLaunching();
        vc->viewDidLoad();
        vc->viewDidAppear();
    }

    int opened() const { return module.count("C_OpenSession"); }

    FakeIssuerModule module;
    Pkcs11Library library{module.functions(), nullptr};
    ManualMainQueue queue;
    FakeNavigator navigator;
    /// The navigator the window gets (a fixture may put its own in).
    ui::Navigator* nav = &navigator;
    FakeUrlOpener urls;
    /// Confirms every question (`answer` 0).
    FakeAlertPresenter alerts;
    FakeClipboard clipboard;
    FakeCardReaders readers;
    ServiceAbsenceLog serviceLog;
    Scard scard{readers, serviceLog};
    FakeTokenWatch watch;
    FakeLauncher launcher;
    LaterHooks hooks;
    AppDelegate appDel{library, launcher};
    FakeMainWindow window;
    std::unique_ptr<ViewController> vc;
};

}  // namespace qel::test
