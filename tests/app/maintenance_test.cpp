// The maintenance sub-view (trace switch, services test launch, support link) and the services test.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "management/diagnostics_archive.h"
#include "app/log_utils.h"
#include "app/maintenance_controller.h"
#include "app/services_controller.h"
#include "common/user_dirs.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"
#include "issuerlib/service_report.h"
#include "tests/app/main_window_fixture.h"
#include "tests/support/card_records.h"
#include "tests/support/fake_issuer_module.h"
#include "tests/support/fake_views.h"
#include "tests/support/log_capture.h"

namespace qel::test {
namespace {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

/// Each test gets its own configuration folder.
struct PrivateConfigHome {
    PrivateConfigHome() {
        const char* previous = getenv("XDG_CONFIG_HOME");
        if (previous) saved = previous;
        root = fs::temp_directory_path() / ("kartello-maintenance-" + std::to_string(getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
        setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    }
    ~PrivateConfigHome() {
        if (saved)
            setenv("XDG_CONFIG_HOME", saved->c_str(), 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        fs::remove_all(root);
    }
    fs::path root;
    std::optional<std::string> saved;
};

struct RecordingMainWindow : PinEntryListener {
    void pinEntryResult(bool success, const std::string& context) override { results.emplace_back(success, context); }
    void pinEntered(const SecretBytes&) override { ADD_FAILURE() << "the main window must not get the PIN"; }
    std::vector<std::pair<bool, std::string>> results;
};

struct MaintenanceTest : ::testing::Test {
    MaintenanceTest() {
        vc = std::make_unique<MaintenanceController>(
            view, MaintenanceServices{navigator,
                                      alerts,
                                      urls,
                                      mainWindow,
                                      [this](std::shared_ptr<Pkcs11Card> c) { replaced = std::move(c); },
                                      {}});
    }
    PrivateConfigHome config;
    FakeMaintenanceView view;
    FakeNavigator navigator;
    FakeAlertPresenter alerts;
    FakeUrlOpener urls;
    RecordingMainWindow mainWindow;
    std::shared_ptr<Pkcs11Card> replaced;
    std::unique_ptr<MaintenanceController> vc;
};

TEST_F(MaintenanceTest, TraceSwitchRewritesTheWholeConfiguration) {
    // At launch a missing file is created with traces off; an existing one is left alone.
    LogUtils::ensureConfigFile();
    const std::string path = LogUtils::configPath();
    EXPECT_EQ(path, (config.root / "config/oberlane/QEL/qel3_pkcs11.conf").string());
    EXPECT_EQ(readFile(path), "Traces\n{\n  active = false;\n  debug = 0;\n}");
    { std::ofstream(path) << "Traces { active = false; debug = 3; }"; }
    LogUtils::ensureConfigFile();
    EXPECT_EQ(readFile(path), "Traces { active = false; debug = 3; }");
    // A debug level alone counts as traces on.
    vc->aboutToShow(0, "Reader A", nullptr);
    EXPECT_TRUE(view.activeTraces.checked);

    view.activeTraces.checked = false;
    view.activeTraces.click();
    EXPECT_EQ(readFile(path), "Traces\n{\n  active = true;\n  debug = 10;\n}");
    ASSERT_EQ(alerts.alerts.size(), 1u);
    EXPECT_EQ(alerts.alerts[0].messageText,
              "L'activation des traces prendra effet lors de la prochaine exécution de Kartello");
    EXPECT_EQ(alerts.alerts[0].buttons, std::vector<std::string>{"Fermer"});
    EXPECT_TRUE(LogUtils::isTraceActive());

    // The label flips the box.
    view.traceLabel.click();
    EXPECT_FALSE(view.activeTraces.checked);
    EXPECT_EQ(readFile(path), "Traces\n{\n  active = false;\n  debug = 0;\n}");
    EXPECT_EQ(alerts.alerts.back().messageText,
              "La désactivation des traces prendra effet lors de la prochaine exécution de Kartello");
    EXPECT_FALSE(LogUtils::isTraceActive());
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(path).parent_path()), fs::directory_iterator()), 1);
}

TEST_F(MaintenanceTest, UnwritableConfigurationPutsTheBoxBack) {
    // The configuration folder's place is taken by a file.
    fs::create_directories(config.root / "config/oberlane");
    { std::ofstream(config.root / "config/oberlane/QEL") << "not a folder"; }
    LogUtils::ensureConfigFile();
    EXPECT_FALSE(LogUtils::isTraceActive());
    view.activeTraces.click();
    EXPECT_FALSE(view.activeTraces.checked);
    ASSERT_EQ(alerts.alerts.size(), 1u);
    EXPECT_EQ(alerts.alerts[0].style, ui::Alert::Style::critical);
    EXPECT_EQ(alerts.alerts[0].messageText, "Une erreur est survenue lors de l'activation des traces");
    EXPECT_FALSE(alerts.alerts[0].informativeText.empty());
}

TEST(SectionedConfig, ReadsSectionsKeysAndQuotedValues) {
    const SectionedConfig c = parseSectionedConfig(
        "# comment line\nGeneral { path = \"/tmp/x\"; }\nTraces\n{\n  active = true ;\n debug=\"7\";\n  broken\n}\n"
        "Unclosed { key = value");
    EXPECT_EQ(c.at("General").at("path"), "/tmp/x");
    EXPECT_EQ(c.at("Traces").at("active"), "true");
    EXPECT_EQ(c.at("Traces").at("debug"), "7");
    EXPECT_EQ(c.at("Traces").size(), 2u);
    EXPECT_TRUE(c.at("Unclosed").empty());
    EXPECT_TRUE(parseSectionedConfig("").empty());
    EXPECT_TRUE(parseSectionedConfig("}{").at("").empty());
}

TEST_F(MaintenanceTest, ServicesTestFollowsASuccessfulPinEntry) {
    LogCapture log;
    vc->aboutToShow(3, "Reader A", nullptr);
    view.servicesTest.click();
    ASSERT_EQ(navigator.opened.size(), 1u);
    EXPECT_EQ(navigator.opened[0].dialog, Dialog::pinEntry);
    EXPECT_EQ(navigator.opened[0].pinEntry.receiver, vc.get());
    EXPECT_EQ(navigator.opened[0].pinEntry.context, "");

    // A refused PIN tells the main window and opens nothing.
    vc->pinEntryResult(false, "");
    EXPECT_EQ(navigator.opened.size(), 1u);

    vc->pinEntered(SecretBytes("4321"));
    vc->pinEntryResult(true, "");
    ASSERT_EQ(mainWindow.results.size(), 2u);
    EXPECT_EQ(mainWindow.results[1], std::make_pair(true, std::string()));
    ASSERT_EQ(navigator.opened.size(), 2u);
    EXPECT_EQ(navigator.opened[1].dialog, Dialog::servicesTest);
    ASSERT_TRUE(navigator.opened[1].servicesTest);
    const ServicesTestRequest& request = *navigator.opened[1].servicesTest;
    EXPECT_EQ(request.readerSelected, 3u);
    ASSERT_TRUE(request.secret);
    EXPECT_EQ(request.secret->view(), "4321");
    EXPECT_EQ(request.owner, vc.get());
    EXPECT_FALSE(log.contains("4321"));

    view.contactSupport.click();
    EXPECT_EQ(urls.urls, std::vector<std::string>{kSupportContactUrl});
    EXPECT_TRUE(log.contains("Clic sur le lien 'Contacter le support'"));
}

TEST_F(MaintenanceTest, KeypadReaderGoesStraightToTheServicesTest) {
    FakeIssuerModule module;
    module.addSlot("Reader A", true).token.keypadEntry = "1234";
    Pkcs11Library library{module.functions(), nullptr};
    ASSERT_EQ(library.initialize(), CKR_OK);
    auto card = std::make_shared<Pkcs11Card>(library, 0, true);
    vc->aboutToShow(0, "Reader A", card);
    view.servicesTest.click();
    // One entry on the reader, made by the test itself: it starts its library afresh, which would
    // end a login made here.
    ASSERT_EQ(navigator.opened.size(), 1u);
    EXPECT_EQ(navigator.opened[0].dialog, Dialog::servicesTest);
    ASSERT_TRUE(navigator.opened[0].servicesTest);
    EXPECT_TRUE(navigator.opened[0].servicesTest->pinOnKeypad);
    EXPECT_EQ(module.count("C_Login"), 0);
}

// The services test against the in-process issuer module.
struct ServicesTest : ::testing::Test {
    ServicesTest() {
        FakeSlot& slot = module.addSlot("Reader A", true);
        slot.token.objects["QEL_ID_CARD"] = sampleIdCard(0x00, "31/12/2029");
        slot.token.objects["QEL_NAME_PS"] = nameObject("DUPONT", "JEAN");
        slot.token.objects["QEL_INFO_PS"] = infoObject("00", "810001234567", "10", "");
        library.initialize();
    }
    std::unique_ptr<ServicesController> open(std::string pin, std::optional<CK_SLOT_ID> slot = 0) {
        auto vc = std::make_unique<ServicesController>(
            view,
            ServicesViewServices{library, recorder, queue, files, "1.2.3", "/home/u/Desktop", [this] { return now; }},
            ServicesTestRequest{slot, std::make_shared<SecretBytes>(pin), nullptr});
        return vc;
    }
    void run(ServicesController& vc) {
        vc.onShown();
        vc.waitForWorker();
        queue.runReady();
    }
    FakeIssuerModule module;
    ServiceReportRecorder recorder;
    Pkcs11Library library{module.functions(), nullptr, &recorder};
    ManualMainQueue queue;
    FakeFilePicker files;
    FakeServicesView view;
    std::chrono::system_clock::time_point now = fixedNow();
};

TEST_F(ServicesTest, HealthyCardReportEndsWithTheRandomNumbers) {
    auto vc = open("1234");
    vc->onShown();
    // Nothing usable while the test runs.
    EXPECT_FALSE(view.save.enabled);
    EXPECT_FALSE(view.quit.enabled);
    EXPECT_EQ(view.stepLabel.value, "Initialisation PKCS11");
    vc->waitForWorker();
    queue.runReady();
    const std::string& report = view.resultText.value;
    EXPECT_EQ(report, vc->report());
    EXPECT_EQ(report.rfind("Kartello 1.2.3\nTest des services du 15/06/2025 à "
                           "10:00:00\n\n\nInitialisation:\nC_Initialize:\t\t\t✅ CKR_OK",
                           0),
              0u)
        << report;
    for (const char* section : {"\n\nDémarrage slot et carte:\nC_GetSlotList:\t\t\t✅ CKR_OK\nC_GetSlotInfo:",
                                "\n\nLecture des données porteur:\n", "\n\nLecture des situations/facturations:\n",
                                "C_Login:\t\t\t\t✅ CKR_OK", "\n\nLecture des certificats:\n", "\n\nSignature:\n"})
        EXPECT_NE(report.find(section), std::string::npos) << section << "\n" << report;
    // The in-process module has no random generator: its refusal is the report's last line.
    const std::string last =
        "\n\nGénération de nombres aléatoires:\nC_GenerateRandom:\t⛔️ CKR_FUNCTION_NOT_SUPPORTED";
    EXPECT_EQ(report.substr(report.size() - last.size()), last) << report;
    EXPECT_EQ(view.progressBar.values, (std::vector<int>{0, 10, 20, 40, 60, 80, 90, 100}));
    EXPECT_EQ(view.stepLabel.value, "Test des services terminé");
    EXPECT_TRUE(view.save.enabled);
    EXPECT_TRUE(view.quit.enabled);
    EXPECT_TRUE(recorder.enabled());

    // Saved under the start time, not the save time, starting on the desktop.
    now += std::chrono::minutes(5);
    const fs::path saved = fs::temp_directory_path() / ("services-" + std::to_string(getpid()) + ".txt");
    files.answer = saved.string();
    view.save.click();
    ASSERT_EQ(files.requests.size(), 1u);
    EXPECT_EQ(files.requests[0].proposedName, "Kartello - Résultat du test des services du 15-06-2025 à 10h00m00.txt");
    EXPECT_EQ(files.requests[0].title, "Enregistrer le résultat du test des services");
    EXPECT_EQ(files.requests[0].typeName, "Texte");
    EXPECT_EQ(files.requests[0].startDirectory, "/home/u/Desktop");
    EXPECT_EQ(files.requests[0].extension, "txt");
    EXPECT_EQ(readFile(saved.string()), report);
    fs::remove(saved);
}

TEST_F(ServicesTest, WrongPinSkipsTheSituationsOnly) {
    LogCapture log;
    auto vc = open("9999");
    run(*vc);
    const std::string& report = vc->report();
    const auto situations = report.find("\n\nLecture des situations/facturations:\n");
    const auto certificates = report.find("\n\nLecture des certificats:\n");
    ASSERT_NE(situations, std::string::npos);
    ASSERT_NE(certificates, std::string::npos);
    const std::string section = report.substr(situations, certificates - situations);
    EXPECT_NE(section.find("C_Login:\t\t\t\t⛔️ CKR_PIN_INCORRECT"), std::string::npos) << section;
    // Nothing after the refused login in that section.
    EXPECT_EQ(section.substr(section.size() - std::string("CKR_PIN_INCORRECT").size()), "CKR_PIN_INCORRECT");
    EXPECT_NE(report.find("C_GenerateRandom:\t"), std::string::npos);
    EXPECT_FALSE(log.contains("9999"));
}

TEST_F(ServicesTest, KeypadReaderLogsInOnTheReaderWithoutAPin) {
    module.slot(0).token.keypadEntry = "1234";
    auto vc = std::make_unique<ServicesController>(
        view, ServicesViewServices{library, recorder, queue, files, "1.2.3", "/d", [this] { return now; }},
        ServicesTestRequest{0, nullptr, nullptr, true});
    run(*vc);
    EXPECT_NE(vc->report().find("C_Login:\t\t\t\t✅ CKR_OK"), std::string::npos) << vc->report();

    module.slot(0).token.keypadEntry = "cancel";
    auto again = std::make_unique<ServicesController>(
        view, ServicesViewServices{library, recorder, queue, files, "1.2.3", "/d", [this] { return now; }},
        ServicesTestRequest{0, nullptr, nullptr, true});
    run(*again);
    EXPECT_NE(again->report().find("C_Login:\t\t\t\t⛔️ CKR_FUNCTION_CANCELED"), std::string::npos)
        << again->report();
}

TEST_F(ServicesTest, SecondShowingHasOnlyItsOwnLinesAndHandsTheCardBack) {
    {
        auto first = open("1234");
        run(*first);
    }
    // Calls made between the tests are not part of the next report.
    recorder.recordServiceResult("C_GetTokenInfo", 0);
    struct Owner : ServicesOwner {
        void servicesTestEnded(std::shared_ptr<Pkcs11Card> c) override { card = std::move(c); }
        std::shared_ptr<Pkcs11Card> card;
    } owner;
    auto second = std::make_unique<ServicesController>(
        view, ServicesViewServices{library, recorder, queue, files, "1.2.3", "/d", [this] { return now; }},
        ServicesTestRequest{0, std::make_shared<SecretBytes>("1234"), &owner});
    run(*second);
    const std::string& report = second->report();
    EXPECT_EQ(report.find("Test des services du"), report.rfind("Test des services du"));
    EXPECT_EQ(report.find("C_Initialize"), report.rfind("C_Initialize"));
    EXPECT_EQ(module.count("C_Finalize"), 2);
    view.quit.click();
    EXPECT_TRUE(view.closed);
    ASSERT_TRUE(owner.card);
    EXPECT_FALSE(owner.card->isUserLoggedIn()) << "the PIN was given for the test only";
    EXPECT_EQ(module.count("C_Logout"), 2) << "each showing ends its own login";
}

TEST_F(ServicesTest, ClosedByEscapeDuringTheTestGoesAtOnceAndHandsTheCardBackWhenItEnds) {
    struct Owner : ServicesOwner {
        void servicesTestStarted() override { events.push_back("started"); }
        void servicesTestEnded(std::shared_ptr<Pkcs11Card> c) override {
            events.push_back("ended");
            card = std::move(c);
        }
        std::vector<std::string> events;
        std::shared_ptr<Pkcs11Card> card;
    } owner;
    auto vc = std::make_unique<ServicesController>(
        view, ServicesViewServices{library, recorder, queue, files, "1.2.3", "/d", [this] { return now; }},
        ServicesTestRequest{0, std::make_shared<SecretBytes>("1234"), &owner});
    vc->onShown();
    EXPECT_EQ(owner.events, std::vector<std::string>{"started"});  // before the library is restarted
    // Whatever the worker's progress, its end has not reached the window yet: the window only hides.
    vc->onCloseRequest();
    EXPECT_TRUE(view.hidden);
    EXPECT_FALSE(view.closed);
    EXPECT_EQ(owner.events.size(), 1u);

    vc->waitForWorker();
    queue.runReady();
    EXPECT_TRUE(view.closed);
    EXPECT_EQ(owner.events, (std::vector<std::string>{"started", "ended"}));
    ASSERT_TRUE(owner.card);
    // The test asked for the PIN itself: its login ended with it.
    EXPECT_FALSE(owner.card->isUserLoggedIn());

    // Once ended, the close box is the quit button; the card is handed back once only.
    view.closed = false;
    vc->onCloseRequest();
    EXPECT_TRUE(view.closed);
    EXPECT_EQ(owner.events.size(), 2u);
}

TEST_F(ServicesTest, NoSelectedReaderEndsTheTest) {
    auto vc = open("1234", std::nullopt);
    run(*vc);
    EXPECT_NE(vc->report().find("Aucun lecteur sélectionné : test interrompu"), std::string::npos);
    EXPECT_EQ(module.count("C_Login"), 0);
    EXPECT_TRUE(view.quit.enabled);
    EXPECT_EQ(view.stepLabel.value, "Test des services terminé");
}

}  // namespace
}  // namespace qel::test

namespace qel::test {
namespace {

// The diagnostics archive, with the real tools of the machine.
TEST(DiagnosticsArchive, HoldsTheLogsAndTheSystemReportOnly) {
    const fs::path home = fs::temp_directory_path() / ("kartello-archive-" + std::to_string(getpid()));
    fs::remove_all(home);
    const fs::path logs = home / "state/kartello/Logs";
    fs::create_directories(logs);
    { std::ofstream(logs / "KartelloStore-2025-06-15.log") << "[INFO] démarrage\n"; }
    { std::ofstream(home / "private.txt") << "not for support"; }
    fs::create_symlink(home / "private.txt", logs / "link.log");
    const std::string path = (home / "archive.zip").string();
    const std::string report = systemReport(std::chrono::seconds(5));
    EXPECT_NE(report.find("===== uname -a =====\nLinux"), std::string::npos) << report;
    EXPECT_NE(report.find("===== /etc/os-release =====\n"), std::string::npos);
    ASSERT_EQ(writeDiagnosticsArchive(path, "KartelloStoreTraces-x", logs.string(), report), std::nullopt);

    for (const std::vector<std::string>& lister :
         {std::vector<std::string>{"unzip", "-Z1", path}, std::vector<std::string>{"bsdtar", "-tf", path}}) {
        const CommandResult listing = runCommand(lister, std::chrono::seconds(10));
        if (!listing.started) continue;
        EXPECT_EQ(listing.exitStatus, 0) << listing.output;
        EXPECT_EQ(
            listing.output,
            "KartelloStoreTraces-x/Kartello/KartelloStore-2025-06-15.log\nKartelloStoreTraces-x/systeminfos.txt\n")
            << lister[0];
    }
    const CommandResult content =
        runCommand({"unzip", "-p", path, "KartelloStoreTraces-x/systeminfos.txt"}, std::chrono::seconds(10));
    if (content.started) EXPECT_EQ(content.output, report);
    fs::remove_all(home);
}

TEST(DiagnosticsArchive, MissingOrSlowProgramsAreNotedNotFatal) {
    const char* path = getenv("PATH");
    const std::string saved = path ? path : "";
    // Only the folder of a few tools, without lsusb.
    const fs::path bin = fs::temp_directory_path() / ("kartello-bin-" + std::to_string(getpid()));
    fs::create_directories(bin);
    fs::create_symlink("/bin/uname", bin / "uname");
    setenv("PATH", bin.c_str(), 1);
    const std::string report = systemReport(std::chrono::seconds(5));
    setenv("PATH", saved.c_str(), 1);
    fs::remove_all(bin);
    EXPECT_NE(report.find("===== lsusb =====\nabsent : lsusb n'est pas installé\n"), std::string::npos) << report;
    EXPECT_NE(report.find("===== opensc-tool -l =====\nabsent"), std::string::npos) << report;
    EXPECT_NE(report.find("Linux"), std::string::npos);

    const CommandResult slow = runCommand({"sleep", "30"}, std::chrono::milliseconds(200));
    EXPECT_TRUE(slow.started);
    EXPECT_TRUE(slow.timedOut);
    const CommandResult failing = runCommand({"sh", "-c", "echo oops >&2; exit 3"}, std::chrono::seconds(5));
    EXPECT_EQ(failing.exitStatus, 3);
    EXPECT_EQ(failing.output, "oops\n");
}

TEST(DiagnosticsArchive, NameUsesTheWeekBasedYear) {
    // Monday 30/12/2024 belongs to the first week of 2025.
    std::tm tm{};
    tm.tm_year = 2024 - 1900;
    tm.tm_mon = 11;
    tm.tm_mday = 30;
    tm.tm_hour = 9;
    tm.tm_min = 8;
    tm.tm_sec = 7;
    tm.tm_isdst = -1;
    const auto when = std::chrono::system_clock::from_time_t(std::mktime(&tm));
    EXPECT_EQ(diagnosticsArchiveStem(when), "KartelloStoreTraces-2025-12-30-090807");
    tm.tm_mon = 5;
    tm.tm_mday = 15;
    EXPECT_EQ(diagnosticsArchiveStem(std::chrono::system_clock::from_time_t(std::mktime(&tm))),
              "KartelloStoreTraces-2024-06-15-090807");
}

TEST_F(MaintenanceTest, ExportTellsWhereTheArchiveIs) {
    const fs::path downloads = config.root / "Downloads";
    setenv("XDG_DOWNLOAD_DIR", downloads.c_str(), 1);
    struct Revealer : ui::FileRevealer {
        bool reveal(const std::string& path) override {
            shown.push_back(path);
            return true;
        }
        std::vector<std::string> shown;
    } files;
    exportDiagnostics(alerts, fixedNow(), std::chrono::seconds(5), &files);
    unsetenv("XDG_DOWNLOAD_DIR");
    ASSERT_EQ(alerts.alerts.size(), 1u);
    EXPECT_EQ(alerts.alerts[0].style, ui::Alert::Style::informational);
    const std::string archive = (downloads / "KartelloStoreTraces-2025-06-15-100000.zip").string();
    EXPECT_NE(alerts.alerts[0].informativeText.find(archive), std::string::npos) << alerts.alerts[0].informativeText;
    EXPECT_TRUE(fs::exists(archive));
    EXPECT_EQ(files.shown, std::vector<std::string>{archive});  // shown in the file manager too
    EXPECT_EQ(std::distance(fs::directory_iterator(downloads), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace qel::test

#include "sim/card/apdu_command.h"
#include "sim/card/desfire_card.h"
#include "sim/card/profile.h"

namespace qel::test {
namespace {

// The contactless data deletion against the virtual QEL4's DESFire application.
/// Alerts answered as the fake does, after `onAlert` has run (the user acting while it is shown).
struct HookedAlerts : FakeAlertPresenter {
    int runModal(const ui::Alert& alert) override {
        if (onAlert) onAlert(alert);
        return FakeAlertPresenter::runModal(alert);
    }
    std::function<void(const ui::Alert&)> onAlert;
};

struct DesfireDeletionTest : MaintenanceTest {
    DesfireDeletionTest() {
        profile.generation = sim::Generation::QEL4;
        profile.desfire.applicationKey = hex("00112233445566778899AABBCCDDEEFF");
        vc = std::make_unique<MaintenanceController>(
            view, MaintenanceServices{navigator, hooked, urls, mainWindow, {}, {}, &scard});
        scard.setSlotWait(std::chrono::milliseconds(0));
    }
    /// The card's contactless face in `reader`.
    FakeCardReaders::Card contactless() {
        return {hex(kQel4ContactlessAtr), [this](const Bytes& apdu) {
                    if (pulledAfter && --*pulledAfter < 0)
                        throw TransportError(TransportError::Kind::cardRemoved, 0, "pulled");
                    auto command = sim::parseCommand(apdu);
                    return command ? desfire.process(*command).toBytes() : hex("6700");
                }};
    }
    /// The contact face: the key file behind the PIN.
    FakeCardReaders::Card contact() {
        return {hex(kQel4ContactAtr), [this](const Bytes& apdu) {
                    if (apdu.size() > 5 && apdu[1] == 0x20) {
                        pinOk = Bytes(apdu.begin() + 5, apdu.begin() + 9) == Bytes{'1', '2', '3', '4'};
                        return pinOk ? hex("9000") : hex("63C2");
                    }
                    if (apdu[1] == 0xB0) {
                        if (!pinOk) return hex("6982");
                        Bytes answer = profile.desfire.applicationKey;
                        answer.push_back(0x90);
                        answer.push_back(0x00);
                        return answer;
                    }
                    return hex("9000");
                }};
    }
    void selectReader(const std::string& name) { vc->aboutToShow(0, name, nullptr); }
    std::vector<std::string> messages() const {
        std::vector<std::string> m;
        for (const auto& a : hooked.alerts) m.push_back(a.messageText);
        return m;
    }
    /// The PIN dialog opened by the deletion answers with `pin`.
    void enterPin(const std::string& pin) {
        ASSERT_FALSE(navigator.opened.empty());
        EXPECT_EQ(navigator.opened.back().pinEntry.context, "DeleteDESfire");
        const bool ok = scard.loginWithoutP11(navigator.opened.back().pinEntry.readerNameQEL4, pin).result == 0;
        if (ok) vc->pinEntered(SecretBytes(pin));
        vc->pinEntryResult(ok, "DeleteDESfire");
    }

    sim::Profile profile;
    sim::CardState state;
    sim::DesfireCard desfire{profile, state, [] {}};
    FakeCardReaders readers;
    ServiceAbsenceLog serviceLog;
    Scard scard{readers, serviceLog};
    bool pinOk = false;
    std::optional<int> pulledAfter;
    HookedAlerts hooked;
};

TEST_F(DesfireDeletionTest, ContactlessReaderWithTheDefaultKey) {
    readers.addReader("CL", contactless());
    selectReader("CL");
    view.deleteDESfire.click();
    EXPECT_EQ(messages(), (std::vector<std::string>{kDeleteDesfireQuestion, "Données DESFire supprimées."}));
    EXPECT_EQ(hooked.alerts[0].defaultButton, 1);  // Return cancels what cannot be undone
    EXPECT_FALSE(state.desfireApplicationPresent);

    // Gone already: said before any confirmation.
    hooked.alerts.clear();
    view.deleteDESfire.enabled = true;
    view.deleteDESfire.click();
    EXPECT_EQ(messages(), std::vector<std::string>{"Erreur : Les données DESFire ont déjà été supprimées."});
}

TEST_F(DesfireDeletionTest, CardMasterKeyChangedAsksForTheContactPath) {
    profile.desfire.piccMasterKey = hex("0102030405060708");
    readers.addReader("CL", contactless());
    selectReader("CL");
    view.deleteDESfire.click();
    ASSERT_EQ(hooked.alerts.size(), 2u);
    EXPECT_EQ(hooked.alerts[1].messageText, "La suppression des données DESFire a échoué.");
    EXPECT_TRUE(state.desfireApplicationPresent);
}

TEST_F(DesfireDeletionTest, ContactPathWithTheKeyFromTheCard) {
    LogCapture log;
    readers.addReader("Contact", contact());
    selectReader("Contact");
    view.deleteDESfire.click();
    ASSERT_EQ(navigator.opened.size(), 1u);
    EXPECT_EQ(navigator.opened[0].pinEntry.readerNameQEL4, "Contact");
    // The user moves the card to the contactless reader when asked.
    hooked.onAlert = [this](const ui::Alert& alert) {
        if (alert.buttons.size() == 2 && alert.buttons[0] == "Valider" && readers.cards["Contact"]) {
            readers.cards["Contact"].reset();
            readers.addReader("CL", contactless());
        }
    };
    enterPin("1234");
    EXPECT_EQ(
        messages(),
        (std::vector<std::string>{
            "Veuillez insérer la carte QEL4 dans un lecteur sans contact puis, appuyer sur le bouton « Valider ».",
            kDeleteDesfireQuestion, "Données DESFire supprimées."}));
    EXPECT_FALSE(state.desfireApplicationPresent);
    EXPECT_TRUE(
        log.contains("00200001"
                     "04FFFFFFFF"));
    EXPECT_FALSE(log.contains("31323334"));
    EXPECT_FALSE(log.contains("00112233445566778899AABBCCDDEEFF"));
}

TEST_F(DesfireDeletionTest, ContactPathStopsOnTheWrongReaderOrTwoCards) {
    readers.addReader("Contact", contact());
    selectReader("Contact");
    view.deleteDESfire.click();
    // Still in the contact reader when the user validates.
    enterPin("1234");
    EXPECT_EQ(messages().back(), "La carte QEL4 est encore insérée dans un lecteur à contact.");
    EXPECT_EQ(hooked.alerts.back().informativeText, "Veuillez recommencer l’opération.");

    view.deleteDESfire.click();
    readers.addReader("CL", contactless());
    enterPin("1234");
    EXPECT_EQ(messages().back(), "Erreur : Veuillez n’insérer qu’une seule carte QEL4 à la fois.");

    // Cancelled when asked to move the card: nothing more.
    hooked.answer = 1;
    hooked.alerts.clear();
    view.deleteDESfire.click();
    enterPin("1234");
    EXPECT_EQ(hooked.alerts.size(), 1u);
    EXPECT_TRUE(state.desfireApplicationPresent);
}

TEST_F(DesfireDeletionTest, NoCardAndCardPulledMidAuthentication) {
    view.deleteDESfire.click();
    EXPECT_EQ(messages(), std::vector<std::string>{"Erreur : Carte QEL4 non insérée."});

    readers.addReader("CL", contactless());
    selectReader("CL");
    // The presence test (three commands), the two selections and the first authentication frame
    // pass; the card is gone at the second frame.
    pulledAfter = 3 + 2 + 1;
    hooked.alerts.clear();
    view.deleteDESfire.click();
    EXPECT_EQ(messages().back(), "Erreur de connexion avec la carte QEL4");
    EXPECT_TRUE(state.desfireApplicationPresent);
}

}  // namespace
}  // namespace qel::test
