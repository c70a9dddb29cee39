// Kartello's controllers on the real stack: the stand-in issuer library loaded by path, pcscd with
// the virtual readers, the card daemon's virtual cards and the PC/SC token watcher. Only the views
// are recorders.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/kartello_session.h"
#include "management/card_tables.h"
#include "app/certificate_controller.h"
#include "app/log_utils.h"
#include "app/maintenance_controller.h"
#include "app/pin_change_controller.h"
#include "management/revocation/crl_download.h"
#include "app/pin_entry_controller.h"
#include "app/background_queue.h"
#include "app/pin_pad_controller.h"
#include "app/tmaj_backend.h"
#include "app/tmaj_controller.h"
#include "management/scard/scard.h"
#include "app/services_controller.h"
#include "app/token_watch.h"
#include "management/trust/authority_store.h"
#include "management/trust/nss_certificate_store.h"
#include "management/trust/trust_installer.h"
#include "app/unlock_card_controller.h"
#include "app/main_window_controller.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"
#include "issuerlib/pkcs11_x509.h"
#include "issuerlib/service_report.h"
#include "platform/pcsc/pcsc_card.h"
#include "platform/pcsc/slot_manager.h"
#include "platform/pcsc/token_watcher.h"
#include "common/hex.h"
#include "common/user_dirs.h"
#include "sim/card/profile.h"
#include "sim/card/profile_generator.h"
#include "sim/card/rsa_key.h"
#include "tests/app_integration/counting_module.h"
#include "tests/support/fake_views.h"
#include "tests/support/log_capture.h"
#include "tests/support/raw_signature.h"
#include "tests/support/testbed_slots.h"
#include "tests/token/integration_support.h"
#include "update/tmaj_manager.h"
#include "update/tmaj_service.h"

namespace qel::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct RecordingSaisie : PinEntryListener {
    void pinEntryResult(bool success, const std::string&) override { results.push_back(success); }
    void pinEntered(const SecretBytes&) override {}
    std::vector<bool> results;
};

struct FakeLauncher : ui::ProgramLauncher {
    bool isRunning(const std::string&) override { return true; }
    bool launch(const std::string&) override { return true; }
};

/// A private copy of a testbed profile with full PIN counters.
std::string freshProfile(const std::string& name) {
    static int counter = 0;
    const std::string target =
        std::string(std::getenv("HOME")) + "/app-profiles/" + std::to_string(++counter) + "-" + name;
    std::filesystem::remove_all(target);
    std::filesystem::create_directories(target);
    std::filesystem::copy(testbed::runDir() + "/profiles/" + name, target, std::filesystem::copy_options::recursive);
    std::filesystem::remove(target + "/state.json");
    return target;
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/// What a program printed, and whether it succeeded.
std::pair<int, std::string> run(const std::string& command) {
    std::string out;
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p) return {-1, out};
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
    return {pclose(p), out};
}

/// The first line of a file, empty when there is none.
std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

/// The testbed's revocation-list server: its fault switch, and whether it answers.
bool crlFault(const std::string& fault) {
    return run("curl -sf --max-time 2 http://127.0.0.1:8081/control/fault/" + fault).first == 0;
}

/// The certutil line of one nickname (its trust flags follow the name), or empty.
std::string nssLine(const std::string& listing, const std::string& nickname) {
    auto at = listing.find(nickname + " ");
    return at == std::string::npos ? std::string() : listing.substr(at, listing.find('\n', at) - at);
}

class KartelloIntegrationTest : public ::testing::Test {
public:
    static void SetUpTestSuite() { savedReaders = std::make_unique<testbed::ReaderState>(); }
    static void TearDownTestSuite() { savedReaders.reset(); }

    void SetUp() override {
        if (!testbed::daemonRuns()) GTEST_SKIP() << "no card daemon in the testbed";
        for (const char* reader : {"contact", "contactless"}) remove(reader);
    }

    void TearDown() override {
        if (watcher) watcher->stop();
        vc.reset();
    }

    void insert(const std::string& reader, const std::string& profile) {
        ASSERT_TRUE(testbed::insertCard(slots, reader, profile)) << "no card in " << reader;
    }
    void remove(const std::string& reader) { testbed::removeCard(slots, reader); }
    static std::string readerName(const std::string& reader) { return testbed::readerName(reader); }
    /// The reader list's entry of a virtual reader ("contact", "contactless"), found by its key: a
    /// real reader may sit beside the virtual ones, before or after them.
    int entryOf(const std::string& reader) const {
        const auto& keys = window.cardComboBox.keys;
        for (std::size_t i = 0; i < keys.size(); ++i)
            if (keys[i] == readerName(reader)) return static_cast<int>(i);
        ADD_FAILURE() << readerName(reader) << " is not listed";
        return -2;  // never an entry, nor "none selected"
    }

    /// Builds the window and runs its start, as the program does; returns the time it took.
    double start() {
        const auto begin = Clock::now();
        counting = std::make_unique<CountingModule>(configuredPkcs11LibraryPath());
        library = std::make_unique<Pkcs11Library>(counting->functions(), counting->transmit());
        // As the program's library, loaded by path, does: the login's end resets the card.
        library->setCardResetter(pcscCardResetter());
        kartelloSession = std::make_unique<KartelloSession>(*library, launcher);
        watcher = std::make_unique<pcsc::TokenWatcher>(pcsc::systemPcscApi(), readQelSerial);
        watch = std::make_unique<PcscTokenWatch>(*watcher, serviceLog);
        MainWindowParts parts;
        parts.certificates = &certificates;
        // A new installer for each start, as for each run of the program: a refusal lasts one run.
        trust = std::make_unique<TrustCertificatesInstaller>(authorities, nss, alerts);
        parts.trust = trust.get();
        parts.updates = updates;
        MainWindowServices services{*library, queue,   navigator,   urls,  clipboard,
                                    scard,    readers, watch.get(), parts, {}};
        vc = std::make_unique<MainWindowController>(window, *kartelloSession, services);
        certificates.setMainWindow(vc.get());
        kartelloSession->started();
        vc->setUp();
        vc->onShown();
        return millisecondsSince(begin);
    }

    /// Runs the main queue, as the event loop would, until `done` or the time is up.
    template <typename Done>
    bool pumpUntil(Done done, std::chrono::milliseconds timeout = 8s) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            queue.advance(20);
            if (done()) return true;
            std::this_thread::sleep_for(20ms);
        }
        queue.advance(20);
        return done();
    }

    /// One PIN entry dialog on the selected card, as the navigator would open it.
    std::string enterPin(const std::string& pin) {
        FakePinEntryView dialog;
        PinEntryController controller(dialog, queue, scard);
        controller.pCard = vc->selectedCard();
        controller.listener = vc.get();
        controller.onShown();
        dialog.pinTextField.type(pin);
        dialog.validate.click();
        const std::string shown = dialog.errorPinLabel.value;
        queue.advance(500);
        return shown;
    }

    /// A PIN change or card unlock dialog on the selected card, as the navigator would open it:
    /// `code` typed into its first field (the old PIN, or the PUK), `newPin` twice, then validated.
    /// The dialog's delayed close runs only while the returned controller lives.
    template <typename Controller, typename View>
    [[nodiscard]] std::unique_ptr<Controller> submitNewPin(View& dialog, FakeField& first, const std::string& code,
                                                           const std::string& newPin) {
        auto controller = std::make_unique<Controller>(dialog, queue);
        controller->pCard = vc->selectedCard();
        controller->listener = vc.get();
        first.type(code);
        dialog.newPin.type(newPin);
        dialog.renewPin.type(newPin);
        dialog.validate.click();
        return controller;
    }

    static std::unique_ptr<testbed::ReaderState> savedReaders;

    pcsc::SlotManager slots;
    PcscCardReaders readers{slots};
    ServiceAbsenceLog serviceLog;
    Scard scard{readers, serviceLog};
    ManualMainQueue queue;
    FakeNavigator navigator;
    FakeUrlOpener urls;
    FakeClipboard clipboard;
    FakeLauncher launcher;
    FakeMainWindow window;
    // The certificates view and the trust installation on the testbed's authorities, the real
    // download and the test home's own NSS database.
    FakeCertificateView certificateView;
    FakeCertificateViewer viewer;
    FakeFilePicker files;
    CurlCrlFetcher fetcher;
    AuthorityStore authorities{testbed::runDir() + "/profiles/ca"};
    CertificateController certificates{
        certificateView,
        CertificateViewServices{viewer, files, fetcher, authorities, defaultCrlPath(), userdirs::desktopDir()}};
    FakeAlertPresenter alerts;
    NssCertificateStore nss;
    std::unique_ptr<TrustCertificatesInstaller> trust;
    std::unique_ptr<CountingModule> counting;
    std::unique_ptr<Pkcs11Library> library;
    std::unique_ptr<KartelloSession> kartelloSession;
    std::unique_ptr<pcsc::TokenWatcher> watcher;
    std::unique_ptr<PcscTokenWatch> watch;
    std::unique_ptr<MainWindowController> vc;
    /// The update badge's check, when a test wires one before start().
    UpdateAvailability* updates = nullptr;
};
std::unique_ptr<testbed::ReaderState> KartelloIntegrationTest::savedReaders;

TEST_F(KartelloIntegrationTest, StartsOnTheSecondReaderAndShowsItsHolder) {
    const std::string profile = freshProfile("qel3-default");
    insert("contactless", profile);
    const double startMs = start();
    ASSERT_GE(window.cardComboBox.itemCount(), 2);
    // The library's slot descriptions end with a NUL, as the issuer's do.
    EXPECT_EQ(trimControlCharacters(window.cardComboBox.itemTitle(entryOf("contact"))), testbed::kContactReader);
    EXPECT_EQ(window.cardComboBox.selected, entryOf("contactless"));
    EXPECT_TRUE(vc->isCardInserted());
    EXPECT_FALSE(vc->isContactQEL());  // the third generation through a contactless reader
    EXPECT_FALSE(window.cardNameLabel.value.empty());
    EXPECT_FALSE(window.card.hidden);

    CountingModule::reset();
    vc->readerSelection(MainWindowController::algoSender);
    std::printf(
        "[figures] start to holder summary, card in the second reader: %.1f ms; "
        "library calls for one contactless read: %ld\n",
        startMs, CountingModule::calls());
}

TEST_F(KartelloIntegrationTest, ContactCardReadShowsTheHolderSummary) {
    const std::string dir = freshProfile("qel3-default");
    const sim::Profile profile = sim::loadProfile(dir);
    insert("contact", dir);
    const double startMs = start();
    EXPECT_EQ(window.cardComboBox.selected, entryOf("contact"));
    EXPECT_EQ(window.cardNameLabel.value, profile.holder.lastName + " " + profile.holder.usualFirstName);
    EXPECT_EQ(window.cardIdentifierLabel.value, profile.holder.identifier());
    EXPECT_EQ(window.cardNumLabel.value, profile.cardNumber);
    EXPECT_EQ(window.topCard.picture, "top-card-medecin");
    EXPECT_TRUE(vc->isContactQEL());
    EXPECT_TRUE(window.pinCode.enabled);

    CountingModule::reset();
    const auto begin = Clock::now();
    vc->readerSelection(MainWindowController::algoSender);
    const double readMs = millisecondsSince(begin);
    std::printf(
        "[figures] start to holder summary, contact card: %.1f ms; one contact read: %.1f ms, "
        "%ld library calls\n",
        startMs, readMs, CountingModule::calls());
    // Holder data, certificates, lock flags and the log-out: a read that costs much more repeats work.
    EXPECT_LE(CountingModule::calls(), 50);
    EXPECT_EQ(window.cardNameLabel.value, profile.holder.lastName + " " + profile.holder.usualFirstName);
}

TEST_F(KartelloIntegrationTest, PinEntryChangeBlockAndUnlock) {
    const std::string dir = freshProfile("qel3-default");
    const sim::Profile profile = sim::loadProfile(dir);
    const std::string pin = profile.pin.code, puk = profile.puk.code;
    ASSERT_EQ(pin.size(), 4u);
    const std::string wrong = pin == "0000" ? "1111" : "0000";
    insert("contact", dir);
    start();

    EXPECT_EQ(enterPin(wrong), "Le code PIN n'est pas valide !");
    EXPECT_FALSE(vc->isUserAuthenticated());
    EXPECT_EQ(enterPin(pin), "Authentification réussie !");
    EXPECT_TRUE(vc->isUserAuthenticated());
    EXPECT_FALSE(window.pinCode.enabled);
    EXPECT_EQ(window.cardPinPadlock.picture, "unlock");

    // Situations now read the private objects.
    window.situation.click();
    EXPECT_EQ(window.subView, ui::SubView::situation);
    EXPECT_GE(vc->situationController().totalSitu, 1);

    // Another program ends its own login on the same card by resetting it: the PIN verified here goes
    // too. The window follows (the padlock opens by itself), and the next step asks for the PIN,
    // saying why, instead of failing.
    {
        pcsc::PcscCard other(std::make_shared<pcsc::PcscContext>(pcsc::systemPcscApi()), testbed::kContactReader);
        other.resetSecurityState();
    }
    EXPECT_FALSE(vc->selectedCard()->isUserLoggedIn());
    const auto resetAt = Clock::now();
    EXPECT_TRUE(pumpUntil([&] { return window.cardPinPadlock.picture == "lock"; }, 5s));
    std::printf("[figures] padlock opened %.0f ms after another program's reset\n", millisecondsSince(resetAt));
    EXPECT_FALSE(vc->isUserAuthenticated());
    const std::size_t opened = navigator.opened.size();
    window.situation.click();
    ASSERT_EQ(navigator.opened.size(), opened + 1);
    EXPECT_EQ(navigator.opened.back().dialog, Dialog::pinEntry);
    EXPECT_TRUE(navigator.opened.back().pinEntry.askedByProgram);
    EXPECT_EQ(navigator.opened.back().pinEntry.notice, kCardResetNotice);
    EXPECT_EQ(enterPin(pin), "Authentification réussie !");
    EXPECT_TRUE(vc->selectedCard()->isUserLoggedIn());

    // PIN change.
    const std::string newPin = pin == "4321" ? "8765" : "4321";
    {
        FakePinChangeView dialog;
        auto controller = submitNewPin<PinChangeController>(dialog, dialog.oldPin, pin, newPin);
        EXPECT_EQ(dialog.errorLabel.value, "Modification du code PIN OK !");
        queue.advance(1000);
        EXPECT_TRUE(dialog.closed);
    }

    // A new read logs out; the old PIN no longer works, the new one does; then block the card.
    window.refreshButton.click();
    EXPECT_FALSE(vc->isUserAuthenticated());
    EXPECT_EQ(enterPin(pin), "Le code PIN n'est pas valide !");
    EXPECT_EQ(enterPin(newPin), "Authentification réussie !");
    window.refreshButton.click();
    EXPECT_EQ(enterPin(wrong), "Le code PIN n'est pas valide !");
    EXPECT_EQ(enterPin(wrong), "Le code PIN n'est pas valide ! Dernier essai avant le blocage de la carte");
    EXPECT_EQ(enterPin(wrong), "La carte est bloquée !");
    EXPECT_TRUE(vc->isCardBlocked());
    EXPECT_TRUE(window.unlockCard.enabled);
    EXPECT_FALSE(window.pinCode.enabled);

    // The card read again still says blocked.
    window.refreshButton.click();
    EXPECT_TRUE(vc->isCardBlocked());
    EXPECT_FALSE(window.cardBlockedLabel.hidden);

    // Unlock with the PUK.
    FakeUnlockCardView dialog;
    auto controller = submitNewPin<UnlockCardController>(dialog, dialog.puk, puk, pin);
    EXPECT_EQ(dialog.errorLabel.value, "Déblocage de la carte OK !");
    queue.advance(1000);
    EXPECT_FALSE(vc->isCardBlocked());
    EXPECT_TRUE(vc->isUserAuthenticated());
    EXPECT_FALSE(window.pinCode.enabled);
    EXPECT_TRUE(window.pinCodeModif.enabled);
    EXPECT_TRUE(vc->selectedCard()->isUserLoggedIn());
}

/// One call to the update service simulator's admin interface (the card it serves, its faults);
/// curl's exit status.
int tmajAdmin(const std::string& port, const std::string& path, const std::string& body) {
    const std::string ca = testbed::runDir() + "/tmaj-ca.pem";
    return run("curl -sf --max-time 5 --cacert " + ca + " -H 'Content-Type: text/plain' --data-binary '" + body +
               "' https://127.0.0.1:" + port + path)
        .first;
}

// The keypad reader (a testbed started with its driver): the PIN is typed on the reader, which the
// card daemon scripts; Kartello waits for it off the main thread and reports as for a typed PIN.
TEST_F(KartelloIntegrationTest, PinPadReaderTakesThePinOnItsKeypad) {
    if (!std::getenv("QEL_TESTBED_PINPAD_DRIVER")) GTEST_SKIP() << "no keypad reader in this testbed";
    const std::string kPinPadReader = "Virtual PinPad 00 00";
    const std::string dir = freshProfile("qel3-default");
    const sim::Profile profile = sim::loadProfile(dir);
    const std::string pin = profile.pin.code;
    const std::string wrong = pin == "0000" ? "1111" : "0000";
    testbed::control("swap pinpad " + dir);
    auto slot = slots.waitForCard(kPinPadReader, 5s);
    ASSERT_TRUE(slot && slot->state == pcsc::SlotState::cardPresent) << "no card in " << kPinPadReader;
    start();
    std::shared_ptr<Pkcs11Card> card = vc->selectedCard();
    ASSERT_TRUE(card);
    ASSERT_TRUE(usesPinPad(*card)) << "selected: " << window.cardComboBox.itemTitle(window.cardComboBox.selected);
    EXPECT_TRUE(changesPinOnPinPad(*card));

    BackgroundQueue background;
    auto settle = [&](PinPadController& c) {
        const auto begin = Clock::now();
        EXPECT_TRUE(pumpUntil([&] { return !c.waiting(); }, 10s));
        return millisecondsSince(begin);
    };
    {
        FakePinPadView dialog;
        PinPadController controller(dialog, queue, background, PinPadController::Step::login);
        controller.pCard = card;
        controller.entryListener = vc.get();
        controller.window = vc.get();

        testbed::control("pinpad " + wrong);
        controller.onShown();
        EXPECT_TRUE(dialog.waiting);
        settle(controller);
        EXPECT_EQ(dialog.message.value, "Le code PIN n'est pas valide !");
        EXPECT_FALSE(vc->isUserAuthenticated());

        // Annuler in the window while the reader waits only says where to cancel; the reader's
        // Cancel ends the entry.
        testbed::control("pinpad cancel 300");
        dialog.retry.click();
        dialog.cancel.click();
        EXPECT_EQ(dialog.message.value, "Appuyez sur la touche Annuler du lecteur pour interrompre la saisie");
        EXPECT_FALSE(dialog.closed);
        const double cancelMs = settle(controller);
        EXPECT_EQ(dialog.message.value, "Saisie annulée sur le lecteur");

        testbed::control("pinpad timeout");
        dialog.retry.click();
        settle(controller);
        EXPECT_EQ(dialog.message.value, "La saisie sur le lecteur n'a pas abouti : délai dépassé ou erreur du lecteur");

        testbed::control("pinpad " + pin + " 300");
        dialog.retry.click();
        const double loginMs = settle(controller);
        EXPECT_EQ(dialog.message.value, "Authentification réussie !");
        queue.advance(500);
        EXPECT_TRUE(dialog.closed);
        EXPECT_TRUE(vc->isUserAuthenticated());
        EXPECT_TRUE(card->isUserLoggedIn());
        std::printf("[figures] keypad entries of 300 ms: cancelled after %.0f ms, logged in after %.0f ms\n", cancelMs,
                    loginMs);
    }

    // The PIN changed on the keypad: current PIN, then the new one twice, all on the reader.
    const std::string newPin = pin == "4321" ? "8765" : "4321";
    {
        FakePinPadView dialog;
        PinPadController controller(dialog, queue, background, PinPadController::Step::change);
        controller.pCard = card;
        controller.window = vc.get();
        testbed::control("pinpad " + pin + "," + newPin);
        controller.onShown();
        settle(controller);
        EXPECT_EQ(dialog.message.value, "Modification du code PIN OK !");
        queue.advance(1000);
        EXPECT_TRUE(dialog.closed);
    }
    window.refreshButton.click();
    card = vc->selectedCard();
    ASSERT_TRUE(card);

    // The update wizard takes the new PIN on the keypad, then runs the session.
    const std::string port = readFile(testbed::runDir() + "/tmaj-sim.port");
    if (!port.empty()) {
        const std::string base = "https://127.0.0.1:" + port, ca = testbed::runDir() + "/tmaj-ca.pem";
        ASSERT_EQ(tmajAdmin(port, "/admin/clear", ""), 0);
        ASSERT_EQ(tmajAdmin(port, "/admin/card", dir), 0);
        TmajManager manager(TmajEndpoint{base, ca});
        TmajService service(manager);
        ServiceTmajBackend backend(manager, service);
        FakeTmajView view;
        TmajController wizard(view, queue, background, backend);
        wizard.pCard = card;
        testbed::control("pinpad " + newPin + " 300");
        view.next.click();
        ASSERT_EQ(wizard.step, 2) << view.message.value;
        EXPECT_TRUE(view.pinCode.hidden);
        EXPECT_EQ(view.consigne.value, "Saisissez votre code PIN sur le clavier du lecteur");
        const auto begin = Clock::now();
        ASSERT_TRUE(pumpUntil([&] { return wizard.sessionRunning(); }, 10s)) << view.errorTextField.value;
        ASSERT_TRUE(pumpUntil([&] { return !wizard.sessionRunning(); }, 90s));
        EXPECT_EQ(view.message.value, "Votre QEL a bien été mise à jour.");
        std::printf("[figures] update wizard on the keypad reader, entry and session: %.1f s\n",
                    millisecondsSince(begin) / 1000);
    } else {
        std::printf("no update simulator in the testbed: the wizard's keypad step is left out\n");
    }

    // Blocked by wrong keypad entries, the card is unlocked there: the PUK, then the PIN twice.
    window.refreshButton.click();
    card = vc->selectedCard();
    ASSERT_TRUE(card);
    CK_RV rv = CKR_OK;
    for (int i = 0; i < profile.pin.maxTries && rv != CKR_PIN_LOCKED; ++i) {
        testbed::control("pinpad " + wrong);
        rv = card->login("", false);
    }
    ASSERT_EQ(rv, CKR_PIN_LOCKED);
    vc->setCardBlocked(true);
    const std::string wrongPuk = profile.puk.code == "00000000" ? "11111111" : "00000000";
    {
        FakePinPadView dialog;
        PinPadController controller(dialog, queue, background, PinPadController::Step::unlock);
        controller.pCard = card;
        controller.window = vc.get();
        testbed::control("pinpad " + wrongPuk + "," + pin);
        controller.onShown();
        EXPECT_EQ(dialog.instruction.value,
                  "Saisissez votre code PUK, puis deux fois le nouveau code PIN, sur le clavier du lecteur");
        settle(controller);
        EXPECT_EQ(dialog.message.value, "Le code PUK est incorrect !");
        EXPECT_TRUE(vc->isCardBlocked());

        testbed::control("pinpad " + profile.puk.code + "," + pin);
        dialog.retry.click();
        settle(controller);
        EXPECT_EQ(dialog.message.value, "Déblocage de la carte OK !");
        queue.advance(1000);
        EXPECT_TRUE(dialog.closed);
        EXPECT_FALSE(vc->isCardBlocked());
    }
    testbed::control("pinpad " + pin);
    EXPECT_EQ(card->login("", false), CKR_OK) << "the PIN set on the keypad";
    testbed::control("remove pinpad");
}

// The holder's login lasts until the window logs out or the program ends; then the card forgets
// the PIN, and raw signature commands from another process want it again.
TEST_F(KartelloIntegrationTest, LoginEndsAtLogoutAndAtExitWithTheCardForgettingThePin) {
    using testbed::rawSignatureAnswers;
    const std::string dir = freshProfile("qel3-default");
    const std::string pin = sim::loadProfile(dir).pin.code;
    insert("contact", dir);
    start();
    const std::string reader = readerName("contact");
    EXPECT_EQ(rawSignatureAnswers(reader), testbed::kNoKeyWithoutPin);
    ASSERT_EQ(enterPin(pin), "Authentification réussie !");
    ASSERT_EQ(rawSignatureAnswers(reader), testbed::kBothKeysSign) << "the check sees a verified card";
    window.situation.click();
    window.identification.click();
    EXPECT_TRUE(vc->selectedCard()->isUserLoggedIn()) << "one PIN serves until the holder's login ends";

    window.refreshButton.click();
    EXPECT_FALSE(vc->isUserAuthenticated());
    EXPECT_EQ(rawSignatureAnswers(reader), testbed::kNoKeyWithoutPin) << "after the logout";

    ASSERT_EQ(enterPin(pin), "Authentification réussie !");
    kartelloSession->aboutToQuit();
    EXPECT_EQ(rawSignatureAnswers(reader), testbed::kNoKeyWithoutPin) << "after the exit";
}

TEST_F(KartelloIntegrationTest, CardRemovalAndReinsertionFollowedThroughTheTokenWatcher) {
    const std::string dir = freshProfile("qel3-default");
    const sim::Profile profile = sim::loadProfile(dir);
    const std::string holder = profile.holder.lastName + " " + profile.holder.usualFirstName;
    insert("contact", dir);
    start();
    ASSERT_EQ(window.cardNameLabel.value, holder);
    watcher->start();
    // The card present at start is reported as an insertion: it selects and reads the same reader.
    ASSERT_TRUE(pumpUntil([&] { return vc->contactLessSerial() == profile.cardSerial(); }));

    remove("contact");
    ASSERT_TRUE(pumpUntil([&] { return window.cardStatus.value == "⚠️ Pas de carte dans le lecteur"; }))
        << window.cardStatus.value;
    EXPECT_FALSE(vc->isCardInserted());
    EXPECT_EQ(window.cardNameLabel.value, "");
    // The library's slot descriptions end with a NUL, as the issuer's do.
    EXPECT_EQ(trimControlCharacters(window.cardComboBox.itemTitle(entryOf("contact"))), testbed::kContactReader);

    const auto begin = Clock::now();
    insert("contact", dir);
    ASSERT_TRUE(pumpUntil([&] { return window.cardNameLabel.value == holder; })) << window.cardNameLabel.value;
    std::printf("[figures] reinsertion to holder summary through the token watcher: %.1f ms\n",
                millisecondsSince(begin));
    EXPECT_TRUE(vc->isCardInserted());
    EXPECT_TRUE(window.pinCode.enabled);
}

TEST_F(KartelloIntegrationTest, Qel4SeenOnlyThroughPcscShowsItsContactlessIdentity) {
    const std::string dir = freshProfile("qel4-default");
    const sim::Profile profile = sim::loadProfile(dir);
    insert("contactless", dir);
    start();
    EXPECT_EQ(window.cardComboBox.selected, entryOf("contactless"));
    EXPECT_FALSE(vc->isCardInserted());
    EXPECT_EQ(window.cardNoInsertedLabel.value, "Carte QEL4 insérée");
    EXPECT_EQ(window.cardNoInsertedLabel.colour, ui::colours::blue);
    EXPECT_TRUE(window.identification.enabled);
    // File 3 holds 0 802500000 and the card number in BCD; the leading zero is not shown.
    EXPECT_EQ(window.identificationPane.serialNum.value, "802500000" + profile.cardNumber);
    EXPECT_EQ(window.identificationPane.num.value, profile.cardNumber);
    EXPECT_EQ(window.identificationPane.identifier.value, profile.holder.identifier());
    EXPECT_FALSE(window.identificationPane.serialNumTitle.hidden);
    EXPECT_TRUE(window.card.hidden);

    // Maintenance, where this card's contactless data are deleted, stays open.
    window.maintenance.click();
    vc->updateUI();
    EXPECT_EQ(window.subView, ui::SubView::maintenance);
    EXPECT_EQ(window.cardNoInsertedLabel.value, "Carte QEL4 insérée");
}

// The services test as maintenance opens it: the PIN entry's PIN, on the selected reader.
struct ServicesIntegrationTest : KartelloIntegrationTest {
    std::string runServices(const std::string& pin) {
        library->setRecorder(&recorder);
        auto card = vc->selectedCard();
        EXPECT_TRUE(card);
        if (!card) return {};
        FakeServicesView view;
        ServicesController services(view, ServicesViewServices{*library, recorder, queue, files, "9.9", "/d", {}},
                                    ServicesTestRequest{card->slotID, std::make_shared<SecretBytes>(pin), nullptr});
        services.onShown();
        EXPECT_TRUE(pumpUntil([&] { return services.finished(); }, 60s));
        EXPECT_EQ(view.resultText.value, services.report());
        // The header's second line carries the start time.
        const std::string report = services.report();
        const auto header = report.find('\n', report.find('\n') + 1);
        EXPECT_EQ(report.substr(0, report.find('\n')), "Kartello 9.9");
        return report.substr(header + 1);
    }
    ServiceReportRecorder recorder;
};

/// The report after its two header lines, as the testbed's two readers and cards give it, with one
/// slot line per reader the library lists: a real reader beside the virtual ones adds its own.
std::string expectedReport(const char* name, int readers) {
    std::ifstream in(std::string(std::getenv("QEL_SOURCE_DIR")) + "/tests/app_integration/" + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string report = text.str();
    const std::string slotLine = "C_GetSlotInfo:\t\t\t✅ CKR_OK\n";
    const auto at = report.find(slotLine + slotLine);
    if (at == std::string::npos || readers < 2) return report;
    std::string lines;
    for (int i = 0; i < readers; ++i) lines += slotLine;
    return report.replace(at, 2 * slotLine.size(), lines);
}

void expectHealthyReport(const std::string& report, int readers) {
    EXPECT_EQ(report, expectedReport("services_report_healthy.txt", readers));
    const std::string last = "\n\nGénération de nombres aléatoires:\nC_GenerateRandom:\t✅ CKR_OK";
    ASSERT_GE(report.size(), last.size());
    EXPECT_EQ(report.substr(report.size() - last.size()), last);
}

TEST_F(ServicesIntegrationTest, HealthyQel3Report) {
    const std::string dir = freshProfile("qel3-default");
    insert("contact", dir);
    start();
    const std::string report = runServices(sim::loadProfile(dir).pin.code);
    expectHealthyReport(report, window.cardComboBox.itemCount());
    // The PIN was the test's own: the card forgets it when the test ends.
    EXPECT_EQ(testbed::rawSignatureAnswers(readerName("contact")), testbed::kNoKeyWithoutPin);
    EXPECT_FALSE(vc->isUserAuthenticated());
}

TEST_F(ServicesIntegrationTest, HealthyQel4Report) {
    const std::string dir = freshProfile("qel4-default");
    insert("contact", dir);
    start();
    const std::string report = runServices(sim::loadProfile(dir).pin.code);
    expectHealthyReport(report, window.cardComboBox.itemCount());
}

TEST_F(ServicesIntegrationTest, WrongPinReport) {
    const std::string dir = freshProfile("qel3-default");
    const sim::Profile profile = sim::loadProfile(dir);
    insert("contact", dir);
    start();
    const std::string wrong = profile.pin.code == "0000" ? "1111" : "0000";
    const std::string report = runServices(wrong);
    EXPECT_EQ(report, expectedReport("services_report_wrong_pin.txt", window.cardComboBox.itemCount()));
    const auto situations = report.find("\n\nLecture des situations/facturations:\n");
    const auto certificates = report.find("\n\nLecture des certificats:\n");
    ASSERT_NE(situations, std::string::npos);
    ASSERT_NE(certificates, std::string::npos);
    const std::string section = report.substr(situations, certificates - situations);
    EXPECT_EQ(section.substr(section.size() - std::string("C_Login:\t\t\t\t⛔️ CKR_PIN_INCORRECT").size()),
              "C_Login:\t\t\t\t⛔️ CKR_PIN_INCORRECT");
    EXPECT_NE(report.find("\n\nSignature:\n"), std::string::npos);
    EXPECT_NE(report.find("C_GenerateRandom:\t✅ CKR_OK"), std::string::npos);
}

TEST_F(KartelloIntegrationTest, LibraryTracesFollowTheSwitchAtItsNextLoad) {
    const std::string dir = freshProfile("qel3-default");
    insert("contact", dir);
    start();
    const std::string traceFile = userdirs::stateHome() + "/kartello/Logs/qel3_pkcs11-trace.log";
    auto traceSize = [&] {
        std::error_code ec;
        const auto size = std::filesystem::file_size(traceFile, ec);
        return ec ? 0 : size;
    };
    FakeMaintenanceView page;
    MaintenanceController maintenance(page, MaintenanceServices{navigator, alerts, urls, *vc, {}, {}});
    auto reload = [&] {
        library->finalize();
        library->initialize();
        std::vector<CK_SLOT_ID> slots;
        library->getSlotList(slots);
    };
    if (page.activeTraces.checked) page.traceLabel.click();
    reload();
    const auto before = traceSize();
    reload();
    EXPECT_EQ(traceSize(), before);

    page.activeTraces.click();
    EXPECT_EQ(alerts.alerts.back().messageText,
              "L'activation des traces prendra effet lors de la prochaine exécution de Kartello");
    reload();
    EXPECT_GT(traceSize(), before);

    page.traceLabel.click();
    EXPECT_FALSE(LogUtils::isTraceActive());
    // The library still loaded traces its own finalisation.
    reload();
    const auto off = traceSize();
    reload();
    EXPECT_EQ(traceSize(), off);
}

/// Alerts answered as the fake does, after `onAlert` ran (the user acting while one is shown).
struct ActingAlerts : FakeAlertPresenter {
    int runModal(const ui::Alert& alert) override {
        if (onAlert) onAlert(alert);
        return FakeAlertPresenter::runModal(alert);
    }
    std::function<void(const ui::Alert&)> onAlert;
    std::vector<std::string> messages() const {
        std::vector<std::string> m;
        for (const auto& a : alerts) m.push_back(a.messageText);
        return m;
    }
};

TEST_F(KartelloIntegrationTest, DesfireDataDeletedThroughEitherReader) {
    const char* const confirm = kDeleteDesfireQuestion;
    FakeMaintenanceView page;
    ActingAlerts acting;
    RecordingSaisie mainWindow;
    MaintenanceController maintenance(page, MaintenanceServices{navigator, acting, urls, mainWindow, {}, {}, &scard});

    // Contactless, with the card's default master key.
    std::string dir = freshProfile("qel4-default");
    insert("contactless", dir);
    maintenance.aboutToShow(std::nullopt, testbed::kContactlessReader, nullptr);
    page.deleteDESfire.click();
    EXPECT_EQ(acting.messages(), (std::vector<std::string>{confirm, "Données DESFire supprimées."}));
    page.deleteDESfire.enabled = true;
    page.deleteDESfire.click();
    EXPECT_EQ(acting.messages().back(), "Erreur : Les données DESFire ont déjà été supprimées.");
    remove("contactless");

    // Contact, with the key read from the card; the user moves the card when asked.
    acting.alerts.clear();
    dir = freshProfile("qel4-default");
    const sim::Profile profile = sim::loadProfile(dir);
    insert("contact", dir);
    maintenance.aboutToShow(std::nullopt, testbed::kContactReader, nullptr);
    page.deleteDESfire.enabled = true;
    page.deleteDESfire.click();
    ASSERT_FALSE(navigator.opened.empty());
    const ui::PinEntryRequest pinDialog = navigator.opened.back().pinEntry;
    EXPECT_EQ(pinDialog.context, "DeleteDESfire");
    acting.onAlert = [&](const ui::Alert& alert) {
        if (alert.buttons.size() == 2 && alert.buttons[0] == "Valider" && alert.messageText != confirm) {
            remove("contact");
            insert("contactless", dir);
        }
    };
    FakePinEntryView dialog;
    PinEntryController pin(dialog, queue, scard);
    pin.listener = pinDialog.receiver;
    pin.context = pinDialog.context;
    pin.readerNameQEL4 = pinDialog.readerNameQEL4;
    dialog.pinTextField.type(profile.pin.code);
    dialog.validate.click();
    queue.advance(500);
    EXPECT_EQ(mainWindow.results, std::vector<bool>{true});
    EXPECT_EQ(acting.messages().back(), "Données DESFire supprimées.") << acting.messages().front();
}

TEST_F(KartelloIntegrationTest, RevocationCheckedAgainstTheAuthoritysListOnly) {
    if (!crlFault("none")) GTEST_SKIP() << "no revocation-list server in the testbed";
    struct ResetFault {
        ~ResetFault() { crlFault("none"); }
    } resetFault;
    const std::string revoked = freshProfile("qel3-revoked");
    insert("contact", revoked);
    {
        LogCapture log;
        start();
        EXPECT_EQ(window.cardStatusLabel.value, kRevokedCardText);
        EXPECT_EQ(window.cardStatusLabel.colour, ui::colours::red);
        EXPECT_TRUE(log.contains("Certificat opposé !")) << log.text();
    }

    remove("contact");
    insert("contact", freshProfile("qel3-default"));
    {
        LogCapture log;
        window.refreshButton.click();
        EXPECT_TRUE(log.contains("Certificat valide")) << log.text();
        EXPECT_NE(window.cardStatusLabel.value, kRevokedCardText);
    }

    // A list the card's authority did not sign, or none at all, never says "revoked".
    remove("contact");
    insert("contact", revoked);
    const char* const verification = "CheckRevoke: Erreur lors de la vérification de l'opposition du certificat";
    const struct {
        const char* fault;
        std::vector<std::string> lines;
    } faults[] = {
        {"404", {"getCrl: CRL successfully downloaded. Status code: 404", verification}},
        {"garbage", {verification}},
        {"badsig", {"CheckRevoke: La signature du CRL ne correspond pas à l'autorité émettrice", verification}},
        {"delay",
         {"getCrl: Erreur durant le téléchargement du CRL. Description de l'erreur: ",
          "CheckRevoke: Erreur lors de la récupération du CRL"}},
    };
    for (const auto& f : faults) {
        ASSERT_TRUE(crlFault(f.fault)) << f.fault;
        LogCapture log;
        window.refreshButton.click();
        for (const std::string& line : f.lines) EXPECT_TRUE(log.contains(line)) << f.fault << ": " << log.text();
        EXPECT_FALSE(log.contains("Certificat opposé !")) << f.fault;
        EXPECT_NE(window.cardStatusLabel.value, kRevokedCardText) << f.fault;
    }
}

TEST_F(KartelloIntegrationTest, IssuerChainInstalledInTheUsersNssDatabase) {
    if (run("command -v certutil").first != 0) GTEST_SKIP() << "certutil not installed";
    const std::string db = userdirs::home() + "/.pki/nssdb";
    std::filesystem::remove_all(db);
    const std::string dir = freshProfile("qel3-default");
    insert("contact", dir);

    // Refused: nothing is written.
    alerts.answer = 1;
    start();
    ASSERT_EQ(alerts.alerts.size(), 1u);
    EXPECT_EQ(nssLine(run("certutil -L -d sql:" + db).second, "ACI-FO-PP-TEST"), "");

    // Not asked again while the program runs; asked again at its next start.
    alerts.answer = 0;
    window.refreshButton.click();
    EXPECT_EQ(alerts.alerts.size(), 1u);
    watcher->stop();
    vc.reset();
    watch.reset();
    watcher.reset();
    kartelloSession.reset();
    library.reset();  // finalised through the module that loaded it, before that goes
    counting.reset();
    start();
    EXPECT_EQ(alerts.alerts.size(), 2u);
    const std::string listing = run("certutil -L -d sql:" + db).second;
    EXPECT_NE(nssLine(listing, "ACR-FO-TEST").find("CT,,"), std::string::npos) << listing;
    const std::string intermediate = nssLine(listing, "ACI-FO-PP-TEST");
    ASSERT_NE(intermediate, "") << listing;
    EXPECT_EQ(intermediate.find("C,"), std::string::npos) << listing;
    // The card's authentication certificate now verifies for TLS client authentication.
    auto [status, output] = run("vfychain -d sql:" + db + " -u 0 " + dir + "/certs/authentication.cer");
    EXPECT_EQ(status, 0) << output;

    // A second read finds everything in place.
    window.refreshButton.click();
    EXPECT_EQ(alerts.alerts.size(), 2u);
    EXPECT_EQ(run("certutil -L -d sql:" + db).second, listing);
}

// Records what the main window's availability checks answered.
struct RecordedUpdateCheck : UpdateAvailability {
    explicit RecordedUpdateCheck(UpdateAvailability& i) : inner(i) {}
    void checkAvailability(const std::string& serial, std::function<void(TmajAvailability)> done) override {
        inner.checkAvailability(serial, [this, done](TmajAvailability availability) {
            statuses.push_back(availability);
            done(availability);
        });
    }
    UpdateAvailability& inner;
    std::vector<TmajAvailability> statuses;
};

/// The CKA_ID of pkcs11-tool's listings: lower-case hexadecimal.
std::string listedId(const Bytes& id) {
    std::string text = toHex(id);
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool contains(const std::vector<std::string>& ids, const std::string& id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// The CKA_ID of every certificate a session lists; nothing when the search fails.
std::vector<std::string> certificateIds(const sigillatest::LoadedModule& host, CK_SESSION_HANDLE session) {
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_ATTRIBUTE tmpl{CKA_CLASS, &cls, sizeof cls};
    CK_OBJECT_HANDLE found[16];
    CK_ULONG n = 0;
    if (host->C_FindObjectsInit(session, &tmpl, 1) != CKR_OK) return {};
    host->C_FindObjects(session, found, 16, &n);
    host->C_FindObjectsFinal(session);
    std::vector<std::string> ids;
    for (CK_ULONG i = 0; i < n; ++i) {
        Bytes id(64);
        CK_ATTRIBUTE a{CKA_ID, id.data(), id.size()};
        if (host->C_GetAttributeValue(session, found[i], &a, 1) != CKR_OK) continue;
        id.resize(a.ulValueLen);
        ids.push_back(listedId(id));
    }
    return ids;
}

bool holdsKey(const std::optional<std::vector<std::shared_ptr<Pkcs11X509>>>& certificates, EVP_PKEY* key) {
    if (!certificates) return false;
    for (const auto& certificate : *certificates)
        if (certificate->x509() && EVP_PKEY_eq(X509_get0_pubkey(certificate->x509()), key) == 1) return true;
    return false;
}

// A full update through the wizard on a fresh copy of `profileName` in the contact reader: the
// badge announces it, the PIN step logs in, the session runs through the pass-through, then the
// window shows the renewed holder and the service says the card is up to date. Sigilla, which
// published (and cached) the card as issued, then publishes the renewed authentication certificate
// under the new key's identifier, and that key signs for it. A host that keeps Sigilla loaded with a
// session open across the update lists the renewed certificate as soon as the session ends, with
// no reinsertion, and Kartello's certificates view shows it too.
void updateThroughTheWizard(KartelloIntegrationTest& t, const std::string& profileName, const std::string& port) {
    auto& queue = t.queue;
    auto& window = t.window;
    auto& navigator = t.navigator;
    const std::string base = "https://127.0.0.1:" + port, ca = testbed::runDir() + "/tmaj-ca.pem";
    const std::string dir = freshProfile(profileName);
    const sim::Profile profile = sim::loadProfile(dir);
    auto admin = [&](const std::string& path, const std::string& body) { return tmajAdmin(port, path, body); };
    ASSERT_EQ(admin("/admin/clear", ""), 0);
    ASSERT_EQ(admin("/admin/card", dir), 0);

    TmajManager manager(TmajEndpoint{base, ca});
    TmajService service(manager);
    ServiceTmajBackend backend(manager, service);
    BackgroundQueue background;
    BackgroundUpdateCheck check(backend, background, queue);
    RecordedUpdateCheck recorded(check);
    t.updates = &recorded;
    t.insert("contact", dir);

    const std::string generation = profile.generation == sim::Generation::QEL3 ? "QEL3" : "QEL4";
    const std::string token = "--token-label " + sigillatest::quoted(sigillatest::tokenLabel(generation, dir));
    const sim::KeyProfile& issued = *profile.key(sim::KeyProfile::Role::authentication);
    const std::string issuedId = listedId(issued.keyId);
    sigillatest::Outcome before = sigillatest::pkcs11Tool(token + " -O");
    ASSERT_EQ(before.status, 0) << before.output;
    ASSERT_TRUE(contains(sigillatest::objectIds(before.output, "Certificate Object"), issuedId)) << before.output;
    ASSERT_TRUE(std::filesystem::exists(std::filesystem::path(userdirs::cacheHome()) / "sigilla" / "OLMA" /
                                        profile.cardSerial()));

    sigillatest::LoadedModule host;
    ASSERT_EQ(host->C_Initialize(nullptr), CKR_OK);
    struct Finalize {
        sigillatest::LoadedModule& host;
        ~Finalize() { host->C_Finalize(nullptr); }
    } finalize{host};
    const CK_SLOT_ID hostSlot = host.slotWithLabel(sigillatest::tokenLabel(generation, dir));
    ASSERT_NE(hostSlot, sigillatest::kNoSlot);
    CK_SESSION_HANDLE held = CK_INVALID_HANDLE;
    ASSERT_EQ(host->C_OpenSession(hostSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &held), CKR_OK);
    ASSERT_TRUE(contains(certificateIds(host, held), issuedId));

    t.start();
    auto pumpUntil = [&](auto done, std::chrono::milliseconds timeout) { return t.pumpUntil(done, timeout); };
    ASSERT_EQ(window.cardNameLabel.value, profile.holder.lastName + " " + profile.holder.usualFirstName);
    ASSERT_TRUE(pumpUntil([&] { return !recorded.statuses.empty(); }, 15s));
    EXPECT_EQ(recorded.statuses, std::vector<TmajAvailability>{TmajAvailability::updateAvailable});
    EXPECT_FALSE(window.tmajNotif.hidden);

    // The wizard as the navigator opens it.
    window.tmaj.click();
    ASSERT_EQ(navigator.opened.back().dialog, Dialog::updateWizard);
    FakeTmajView view;
    TmajController wizard(view, queue, background, backend);
    wizard.pCard = navigator.opened.back().card;
    wizard.listener = navigator.opened.back().updateOwner;
    navigator.opened.clear();  // the card must not outlive the library in the fixture
    view.next.click();
    ASSERT_EQ(wizard.step, 2) << view.message.value;
    view.pinCode.type(profile.pin.code);
    // The issuer's library may leave the card verified when its sessions end: Kartello's own reset
    // after the update is what makes the card forget the PIN.
    setenv("QELSIM_LOGIN_END_KEEPS_PIN", "1", 1);
    struct Restore {
        ~Restore() { unsetenv("QELSIM_LOGIN_END_KEEPS_PIN"); }
    } restore;
    const auto begin = Clock::now();
    view.next.click();
    ASSERT_TRUE(wizard.sessionRunning()) << view.errorTextField.value;
    ASSERT_TRUE(pumpUntil([&] { return !wizard.sessionRunning(); }, 90s));
    std::printf("[figures] wizard update session on %s: %.1f s (with the 1 s full-bar pause)\n", profileName.c_str(),
                millisecondsSince(begin) / 1000);
    EXPECT_EQ(view.message.value, "Votre QEL a bien été mise à jour.");
    EXPECT_EQ(view.progressBar.values.back(), 100);
    EXPECT_EQ(wizard.step, 4);
    // The update asked for the PIN itself: once it has ended, the card signs for nobody.
    EXPECT_EQ(testbed::rawSignatureAnswers(testbed::readerName("contact")), testbed::kNoKeyWithoutPin)
        << "after the update";

    // Before the wizard closes: the session held on the card as issued has ended, and a new one on
    // the same slot lists what the card holds now.
    CK_SESSION_INFO heldInfo;
    EXPECT_NE(host->C_FindObjectsInit(held, nullptr, 0), CKR_OK);
    EXPECT_EQ(host->C_GetSessionInfo(held, &heldInfo), CKR_SESSION_HANDLE_INVALID);
    CK_SESSION_HANDLE renewedSession = CK_INVALID_HANDLE;
    ASSERT_EQ(host->C_OpenSession(hostSlot, CKF_SERIAL_SESSION, nullptr, nullptr, &renewedSession), CKR_OK);
    const std::vector<std::string> hostIds = certificateIds(host, renewedSession);
    host->C_CloseSession(renewedSession);

    view.next.click();
    EXPECT_EQ(view.closes, 1);
    std::string renamed = profile.holder.lastName;
    renamed.back() = renamed.back() == 'D' ? 'T' : 'D';
    EXPECT_EQ(window.cardNameLabel.value, renamed + " " + profile.holder.usualFirstName);
    const std::optional<std::vector<std::shared_ptr<Pkcs11X509>>> shown = t.certificates.certArray;
    ASSERT_TRUE(pumpUntil([&] { return recorded.statuses.size() == 2; }, 15s));
    EXPECT_EQ(recorded.statuses.back(), TmajAvailability::upToDate);
    EXPECT_TRUE(window.tmajNotif.hidden);
    t.vc.reset();  // before the checks it was handed

    const sim::CardState state = sim::loadState(dir, profile);
    ASSERT_EQ(state.generatedKeys.count(issued.reference), 1u);
    const sim::RsaKey renewedKey = sim::RsaKey::fromPem(state.generatedKeys.at(issued.reference));
    const std::string renewedId = listedId(sim::cardKeyId(renewedKey.get(), issued.reference));
    EXPECT_TRUE(contains(hostIds, renewedId)) << "the long-lived host lists the card as issued";
    EXPECT_FALSE(contains(hostIds, issuedId));
    const std::string login = token + " --login --pin " + profile.pin.code;
    sigillatest::Outcome after = sigillatest::pkcs11Tool(login + " -O");
    ASSERT_EQ(after.status, 0) << after.output;
    const auto certificates = sigillatest::objectIds(after.output, "Certificate Object");
    const auto keys = sigillatest::privateKeyIds(after.output);
    EXPECT_TRUE(contains(certificates, renewedId)) << after.output;
    EXPECT_FALSE(contains(certificates, issuedId)) << after.output;
    EXPECT_TRUE(holdsKey(shown, renewedKey.get())) << "the certificates view shows the card as issued";
    EXPECT_FALSE(contains(keys, issuedId)) << after.output;
    EXPECT_EQ(sigillatest::authenticationKeyId(after.output), renewedId) << after.output;
    // The third generation signs with PKCS#1 v1.5 only; the fourth is asked for PSS, its TLS 1.3 form.
    if (profile.generation == sim::Generation::QEL3)
        sigillatest::signAndVerify(login + " -m SHA256-RSA-PKCS", renewedId, "");
    else
        sigillatest::signAndVerify(login + " -m SHA256-RSA-PKCS-PSS --salt-len 32", renewedId,
                                   "-sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32");
    // The certificate it verified against is the renewed one: it holds the card's new key.
    std::ifstream in(sigillatest::scratch() + "/cert.der", std::ios::binary);
    const std::string der((std::istreambuf_iterator<char>(in)), {});
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    sim::X509Ptr published(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    ASSERT_TRUE(published);
    EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(published.get()), renewedKey.get()), 1);
}

TEST_F(KartelloIntegrationTest, UpdateWizardRenewsTheQel3ThenTheWindowShowsItUpToDate) {
    const std::string port = readFile(testbed::runDir() + "/tmaj-sim.port");
    if (port.empty()) GTEST_SKIP() << "no update simulator in the testbed";
    updateThroughTheWizard(*this, "qel3-default", port);
}

TEST_F(KartelloIntegrationTest, UpdateWizardRenewsTheQel4ThenTheWindowShowsItUpToDate) {
    const std::string port = readFile(testbed::runDir() + "/tmaj-sim.port");
    if (port.empty()) GTEST_SKIP() << "no update simulator in the testbed";
    updateThroughTheWizard(*this, "qel4-default", port);
}

// The update service as the session sees it, held at one of the session's requests until the test
// lets it go on: a cancel then lands on a session known to be running, with the card verified.
struct HeldService : TmajClient {
    HeldService(TmajClient& i, int at) : inner(i), holdAt(at) {}
    ApduList getRequest(const std::string& path, const std::vector<std::string>& arguments,
                        std::stop_token stop) override {
        wait();
        return inner.getRequest(path, arguments, stop);
    }
    ApduList postRequest(const std::string& path, const ApduList& list, const std::string& cardnum,
                         std::stop_token stop) override {
        wait();
        return inner.postRequest(path, list, cardnum, stop);
    }
    void wait() {
        std::unique_lock lock(mutex);
        if (++requests != holdAt) return;
        held = true;
        changed.wait(lock, [&] { return released; });
    }
    bool isHeld() {
        std::lock_guard lock(mutex);
        return held;
    }
    void release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    TmajClient& inner;
    const int holdAt;  ///< 0: never held
    int requests = 0;
    bool held = false, released = false;
    std::mutex mutex;
    std::condition_variable changed;
};

// An update through the wizard that does not complete: cancelled by the holder half-way, or refused
// by the service (`fault`). The wizard asked for the PIN itself, so once the session has ended the
// card signs for nobody, whatever the end.
void updateEndedEarly(KartelloIntegrationTest& t, const std::string& port, const std::string& fault) {
    const bool cancel = fault.empty();
    const std::string base = "https://127.0.0.1:" + port, ca = testbed::runDir() + "/tmaj-ca.pem";
    const std::string dir = freshProfile("qel3-default");
    const sim::Profile profile = sim::loadProfile(dir);
    auto admin = [&](const std::string& path, const std::string& body) { return tmajAdmin(port, path, body); };
    ASSERT_EQ(admin("/admin/clear", ""), 0);
    ASSERT_EQ(admin("/admin/card", dir), 0);
    if (!cancel) ASSERT_EQ(admin("/admin/fault", fault), 0);

    TmajManager manager(TmajEndpoint{base, ca});
    // The third request of the session comes after the secure-messaging step.
    HeldService held(manager, cancel ? 3 : 0);
    struct Release {
        HeldService& held;
        ~Release() { held.release(); }
    } release{held};
    TmajService service(held);
    service.finalPauseMs = 0;
    ServiceTmajBackend backend(manager, service);
    BackgroundQueue background;
    BackgroundUpdateCheck check(backend, background, t.queue);
    RecordedUpdateCheck recorded(check);
    t.updates = &recorded;
    t.insert("contact", dir);
    t.start();
    ASSERT_TRUE(t.pumpUntil([&] { return !recorded.statuses.empty(); }, 15s));
    ASSERT_EQ(recorded.statuses, std::vector<TmajAvailability>{TmajAvailability::updateAvailable});

    t.window.tmaj.click();
    ASSERT_EQ(t.navigator.opened.back().dialog, Dialog::updateWizard);
    FakeTmajView view;
    TmajController wizard(view, t.queue, background, backend);
    wizard.pCard = t.navigator.opened.back().card;
    wizard.listener = t.navigator.opened.back().updateOwner;
    t.navigator.opened.clear();
    view.next.click();
    ASSERT_EQ(wizard.step, 2) << view.message.value;
    view.pinCode.type(profile.pin.code);
    view.next.click();
    ASSERT_TRUE(wizard.sessionRunning()) << view.errorTextField.value;
    if (cancel) {
        ASSERT_TRUE(t.pumpUntil([&] { return held.isHeld(); }, 60s));
        ASSERT_FALSE(view.cancel.hidden);
        view.cancel.click();
        held.release();
    }
    ASSERT_TRUE(t.pumpUntil([&] { return !wizard.sessionRunning(); }, 90s));
    EXPECT_EQ(view.stepper.picture, cancel ? tmaj_pictures::cancelled : tmaj_pictures::updateFailed)
        << view.message.value;
    EXPECT_EQ(wizard.step, 4);
    EXPECT_EQ(testbed::rawSignatureAnswers(testbed::readerName("contact")), testbed::kNoKeyWithoutPin)
        << (cancel ? "after the cancelled update" : "after the failed update");
    view.next.click();
    EXPECT_EQ(view.closes, 1);
    // The window still shows the card as issued.
    EXPECT_EQ(t.window.cardNameLabel.value, profile.holder.lastName + " " + profile.holder.usualFirstName);
    t.vc.reset();
}

TEST_F(KartelloIntegrationTest, UpdateCancelledHalfWayLeavesTheCardSigningForNobody) {
    const std::string port = readFile(testbed::runDir() + "/tmaj-sim.port");
    if (port.empty()) GTEST_SKIP() << "no update simulator in the testbed";
    updateEndedEarly(*this, port, "");
}

TEST_F(KartelloIntegrationTest, UpdateRefusedByTheServiceLeavesTheCardSigningForNobody) {
    const std::string port = readFile(testbed::runDir() + "/tmaj-sim.port");
    if (port.empty()) GTEST_SKIP() << "no update simulator in the testbed";
    updateEndedEarly(*this, port, "QELMAJSequence2:end-inside");
}

}  // namespace
}  // namespace qel::test
