// The real Kartello window on the virtual QEL3 card of the testbed, through pcscd and the stand-in
// issuer library (QEL_PKCS11_LIBRARY).
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDate>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <QPushButton>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <vector>
#include <set>
#include <sstream>

#include "app/qt/kartello_app.h"
#include "app/qt/main_window.h"
#include "app/qt/picture_view.h"
#include "app/qt/pin_dialogs.h"
#include "app/qt/qt_navigator.h"
#include "app/qt/vek_dialogs.h"
#include "authservice/request_builder.h"
#include "authservice/vek_config.h"
#include "common/logger.h"
#include "gui_support.h"
#include "issuerlib/pkcs11_library.h"
#include "tests/support/testbed_client.h"

namespace qel {
namespace {

using gui_test::guiApp;

// As Kartello's main does before any thread starts: the sign-in takes over the card its PIN step
// verified.
[[maybe_unused]] const int g_adoptionAsked = setenv("SIGILLA_ADOPT_VERIFIED_CARD", std::to_string(getpid()).c_str(), 1);

/// The expiry of the testbed's contact card as the window shows it (dd/MM/yyyy): the profiles take
/// their dates from the day they are made.
QString contactCardExpiry() {
    QFile file(qEnvironmentVariable("QELCARD_SIM_RUN_DIR") + "/profiles/qel3-default/profile.json");
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
    const QString iso = QJsonDocument::fromJson(file.readAll()).object().value("validUntil").toString();
    return QDate::fromString(iso, Qt::ISODate).toString("dd/MM/yyyy");
}
using gui_test::waitUntil;

class KartelloWindow : public ::testing::Test {
protected:
    void SetUp() override {
        guiApp();
        // Reading the card installs the issuer chain, which asks once before trusting its root:
        // the user agrees.
        QObject::connect(&alertAnswerer_, &QTimer::timeout, [this] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                    alertsAnswered_.push_back(box->text());
                    if (QPushButton* ok = box->defaultButton()) ok->click();
                }
        });
        alertAnswerer_.start(50);
        app_ = std::make_unique<qt::KartelloApp>(configuredPkcs11LibraryPath());
        app_->start();
    }
    void TearDown() override { app_.reset(); }

    template <typename T = QWidget>
    T* find(const char* name) {
        T* widget = app_->window().findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QString text(const char* label) { return find<QLabel>(label)->text(); }
    bool enabled(const char* button) { return find<QPushButton>(button)->isEnabled(); }

    // The library loads, the readers are listed and the card in the contact reader is read.
    bool waitForHolder() {
        return waitUntil([&] { return text("cardNameLabel") == QStringLiteral("DUPONT JEAN"); }, 30000);
    }

    QTimer alertAnswerer_;
    QStringList alertsAnswered_;
    std::unique_ptr<qt::KartelloApp> app_;
};

TEST_F(KartelloWindow, ShowsTheHolderOfTheContactCardAndTheFunctionsItAllows) {
    ASSERT_TRUE(waitForHolder()) << "name shown: " << text("cardNameLabel").toStdString()
                                 << ", status: " << text("cardStatus").toStdString();

    auto* readers = find<QComboBox>("cardComboBox");
    QStringList entries;
    for (int i = 0; i < readers->count(); ++i) entries << readers->itemText(i);
    // The selected reader's entry shows the holder and the reader; the contactless reader its name.
    EXPECT_EQ(readers->currentText(), QStringLiteral("DUPONT JEAN — Virtual PCD 00 00"))
        << entries.join('|').toStdString();
    EXPECT_EQ(readers->currentData().toString(), QStringLiteral("Virtual PCD 00 00"));
    EXPECT_EQ(readers->toolTip(), readers->currentText());
    EXPECT_TRUE(entries.contains(QStringLiteral("Virtual PCD 00 01"))) << entries.join('|').toStdString();
    if (!qEnvironmentVariableIsEmpty("QEL_SCREENSHOT_DIR")) {
        readers->showPopup();
        gui_test::keepScreen(app_->window(), "window-two-readers");
        readers->hidePopup();
    }

    EXPECT_EQ(text("cardJobLabel"), QStringLiteral("Médecin"));
    EXPECT_EQ(text("cardNumLabel"), QStringLiteral("1234567890"));
    EXPECT_EQ(text("cardStatusLabel"), QStringLiteral("Expire le ") + contactCardExpiry());
    EXPECT_FALSE(find("testLabel")->isHidden());
    EXPECT_EQ(find<qt::PictureView>("topCard")->pictureName(), "top-card-medecin");
    EXPECT_FALSE(find("card")->isHidden());
    EXPECT_TRUE(find("cardEmpty")->isHidden());
    EXPECT_EQ(text("nameLabel"), QStringLiteral("DUPONT"));
    EXPECT_EQ(text("firstNameLabel"), QStringLiteral("JEAN"));
    EXPECT_EQ(text("cardStatus"), QString());

    for (const char* on : {"identification", "situation", "certificate", "tmaj", "pinCode", "pinCodeModif",
                           "diagQELButton", "testsSsl", "portalEQEL", "VekAuthentication", "refreshButton"})
        EXPECT_TRUE(enabled(on)) << on;
    for (const char* off : {"unlockCard", "VekDisconnect"}) EXPECT_FALSE(enabled(off)) << off;
    EXPECT_TRUE(find("cardUnlock")->isHidden());
    EXPECT_FALSE(find("cardPinPadlock")->isHidden());
    EXPECT_EQ(find("cardPinPadlock")->property("pictureName").toString(), QStringLiteral("lock"));

    // The certificates pane in place of its placeholder, with the card's two rows.
    find<QPushButton>("certificate")->click();
    EXPECT_EQ(text("authentName"), QStringLiteral("Certificat d'Authentification QEL"));
    EXPECT_TRUE(find("signatureView")->isVisible());
    EXPECT_TRUE(text("countLabel").endsWith(QStringLiteral(" certificats sur la carte")))
        << text("countLabel").toStdString();
}

TEST_F(KartelloWindow, PinEntryThenSituationsReadFromTheCard) {
    ASSERT_TRUE(waitForHolder());
    // The token watch reports the cards already present once it runs, and the window reads the
    // card again for it (which logs the holder out): let that pass before logging in.
    gui_test::processFor(3000);

    find<QPushButton>("situation")->click();  // not logged in yet: asks for the PIN first
    auto* dialog = qobject_cast<qt::QtSaisiePinDialog*>(app_->navigator().lastDialog());
    ASSERT_NE(dialog, nullptr);
    gui_test::typeText(dialog->findChild<QLineEdit*>("pinTextField"), "1234");
    dialog->findChild<QPushButton*>("validateButton")->click();
    EXPECT_EQ(dialog->findChild<QLabel*>("errorPinLabel")->text(), QStringLiteral("Authentification réussie !"));
    ASSERT_TRUE(waitUntil([&] { return app_->navigator().lastDialog() == nullptr; }, 5000));

    EXPECT_FALSE(enabled("pinCode"));
    EXPECT_EQ(find("cardPinPadlock")->property("pictureName").toString(), QStringLiteral("unlock"));
    EXPECT_TRUE(find("situationLock")->isHidden());
    EXPECT_EQ(app_->window().currentSubView(), ui::SubView::situation);
    ASSERT_TRUE(waitUntil([&] { return !find("SituView")->isHidden(); }, 10000));
    EXPECT_EQ(text("pageCounter"), QStringLiteral("1 / 2"));
    EXPECT_EQ(text("situRaisonSociale"), QStringLiteral("CABINET DUPONT"));
    EXPECT_TRUE(find("previousButton")->isHidden());
    QWidget& window = app_->window();
    window.showNormal();
    window.resize(window.minimumSize());
    gui_test::keepScreen(window, "window-situations-960x640");
    find<QPushButton>("nextButton")->click();
    EXPECT_EQ(text("pageCounter"), QStringLiteral("2 / 2"));
    EXPECT_EQ(text("situRaisonSociale"), QStringLiteral("CENTRE HOSPITALIER DE TEST"));
    EXPECT_EQ(text("factuPermissionLot"), QStringLiteral("Non"));
    EXPECT_TRUE(find("nextButton")->isHidden());
    gui_test::keepScreen(window, "window-situations-960x640-page2");
    window.showMaximized();
    gui_test::keepScreen(window, "window-situations-maximised-page2");
    find<QPushButton>("previousButton")->click();
    gui_test::keepScreen(window, "window-situations-maximised");
}

// ---------------------------------------------------------------------------------------------
// Sign-in answers from the real window, over TLS signed by the virtual card (Sigilla through
// p11-kit) with vek-sim. The program runs as an ordinary user: p11-kit reads no user registration
// for root, and the run's wrapper registers Sigilla in the user's private home.

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

/// A call to the simulator's plain HTTP admin server.
std::string vekAdmin(const std::string& method, const std::string& path, const std::string& body = "") {
    const std::string port = firstLine(fileText(testbed::runDir() + "/vek-sim.admin-port"));
    const std::string out = qEnvironmentVariable("HOME").toStdString() + "/vek-admin.out";
    const std::string bodyFile = out + ".body";
    std::ofstream(bodyFile) << body;
    const std::string line =
        "curl -s -X " + method + " --data-binary @" + bodyFile + " http://127.0.0.1:" + port + path + " > " + out;
    if (std::system(line.c_str()) != 0) return "<admin unreachable>";
    return fileText(out);
}

nlohmann::json vekReceived() { return nlohmann::json::parse(vekAdmin("GET", "/admin/received"), nullptr, false); }

/// The sign-in dialogs and the PIN dialog, by layout name, in the order they appeared.
class DialogRecorder : public QObject {
public:
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == QEvent::Show)
            if (auto* dialog = qobject_cast<QDialog*>(object); dialog && dialog->isWindow()) {
                const QString name = dialog->objectName();
                // The trust installer's question may come with a card read; it is not part of the flow.
                if (name.startsWith(QLatin1String("Vek")) || name == QLatin1String("SaisiePinDialog")) shown << name;
            }
        return false;
    }
    QStringList shown;
};

// The codes of every sign-in request, the right one first. Chosen, not drawn, and above every HTTP
// status, so that a log line naming the status of an ordinary download cannot pass for a leaked code.
const std::vector<std::string> kSignInCodes = {"917", "948", "983"};

// The PIN and the codes met during the run, for the search through the logs at the end.
std::set<std::string>& secretsSeen() {
    static std::set<std::string> seen{"1234"};
    return seen;
}

class KartelloSignIn : public KartelloWindow {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(testbed::runDir() + "/vek-sim.port")) GTEST_SKIP() << "vek-sim is not running";
        if (getuid() == 0) GTEST_SKIP() << "the card's TLS identity needs an ordinary user (p11-kit)";
        // Both environments on the simulator: the testbed's card is a test card.
        const std::string base = "https://127.0.0.1:" + firstLine(fileText(testbed::runDir() + "/vek-sim.port")) + "/";
        std::filesystem::create_directories(std::filesystem::path(vek::VekConfig::settingsPath()).parent_path());
        std::ofstream(vek::VekConfig::settingsPath(), std::ios::binary) << vek::VekConfig::encodeBinary({base, base});
        ASSERT_EQ(vekAdmin("POST", "/admin/clear"), "ok");
        KartelloWindow::SetUp();
        qApp->installEventFilter(&recorder_);
        ASSERT_TRUE(waitForHolder());
        gui_test::processFor(3000);  // the token watch reads the card again once
        idNat_ = text("cardIdentifierLabel").toStdString();
        ASSERT_FALSE(idNat_.empty());
    }
    void TearDown() override {
        qApp->removeEventFilter(&recorder_);
        vek::OpenAPIClientAPI::setTimeoutMs(60000);
        KartelloWindow::TearDown();
    }

    void queueRequest(const std::string& notificationId) {
        ASSERT_EQ(vekAdmin("POST", "/admin/request",
                           nlohmann::json{{"idNat", idNat_},
                                          {"notificationId", notificationId},
                                          {"serviceName", "Portail de test"},
                                          {"codes", kSignInCodes}}
                               .dump()),
                  "ok");
    }
    /// The dialog of that layout once it is the open one.
    QDialog* dialog(const char* name, int timeoutMs = 30000) {
        QDialog* found = nullptr;
        waitUntil(
            [&] {
                QDialog* d = app_->navigator().lastDialog();
                found = d && d->isVisible() && d->objectName() == QLatin1String(name) ? d : nullptr;
                return found != nullptr;
            },
            timeoutMs);
        EXPECT_NE(found, nullptr) << name << " after " << recorder_.shown.join(' ').toStdString();
        // Its controller fills it once it has appeared, in a call queued when it was shown: until then it
        // shows the texts of its layout.
        QCoreApplication::processEvents();
        return found;
    }
    QString label(QDialog* d, const char* name) { return d ? d->findChild<QLabel*>(name)->text() : QString(); }
    void click(QDialog* d, const char* button) {
        if (d) d->findChild<QPushButton*>(button)->click();
    }
    /// The authentication button, with the PIN first when the card is not verified yet.
    void authenticate() {
        recorder_.shown.clear();
        find<QPushButton>("VekAuthentication")->click();
        ASSERT_TRUE(waitUntil([&] { return !recorder_.shown.isEmpty(); }, 10000));
        if (recorder_.shown.first() == QLatin1String("SaisiePinDialog")) {
            QDialog* pin = dialog("SaisiePinDialog");
            ASSERT_NE(pin, nullptr);
            gui_test::typeText(pin->findChild<QLineEdit*>("pinTextField"), "1234");
            click(pin, "validateButton");
        }
    }
    /// Accepts the pending request at the request dialog.
    QDialog* accept() {
        QDialog* request = dialog("VekAuthDialog");
        EXPECT_EQ(label(request, "newAuthLabel"),
                  QStringLiteral("Le service \"Portail de test\" demande l'accès à votre compte e-QEL"));
        click(request, "authButton");
        return dialog("VekCodesDialog");
    }
    /// The code the simulator expects (or another), as shown on one of the three buttons.
    QPushButton* codeButton(QDialog* codes, bool right) {
        const nlohmann::json pending = vekReceived()["pending"];
        if (!codes || pending.empty() || pending[0]["codes"].size() != 3) return nullptr;
        EXPECT_EQ(pending[0]["codes"].get<std::vector<std::string>>(), kSignInCodes);
        const std::string expected = pending[0]["codes"][0];
        for (const auto& c : pending[0]["codes"]) secretsSeen().insert(c.get<std::string>());
        for (const char* name : {"code1", "code2", "code3"}) {
            auto* button = codes->findChild<QPushButton*>(name);
            if ((button->text().toStdString() == expected) == right) return button;
        }
        return nullptr;
    }
    void answerWithCode(const std::string& notificationId) {
        queueRequest(notificationId);
        authenticate();
        QPushButton* right = codeButton(accept(), true);
        ASSERT_NE(right, nullptr);
        right->click();
        QDialog* result = dialog("VekValidDialog");
        EXPECT_EQ(label(result, "titleMesage"), QStringLiteral("AUTHENTIFICATION RÉUSSIE"));
        EXPECT_EQ(label(result, "message"), QStringLiteral("La demande d'authentification pour le service \"Portail de "
                                                           "test\" a bien été prise en compte."));
        click(result, "continueButton");
    }
    /// The alert's message once it shows.
    QString alertMessage(const char* title = "DEMANDE D'AUTHENTIFICATION") {
        QDialog* alert = dialog("VekAlertDialog");
        EXPECT_EQ(label(alert, "titleAlert"), QString::fromUtf8(title));
        const QString message = label(alert, "message");
        click(alert, "closeButton");
        return message;
    }

    DialogRecorder recorder_;
    std::string idNat_;
};

TEST_F(KartelloSignIn, AnswerWithACodeThenDisconnectionFailedAndSucceeded) {
    answerWithCode("n-accept");
    EXPECT_EQ(recorder_.shown.join(' '), QStringLiteral("SaisiePinDialog VekWaitDialog VekAuthDialog VekWaitDialog "
                                                        "VekCodesDialog VekWaitDialog VekValidDialog"));
    nlohmann::json got = vekReceived();
    ASSERT_EQ(got["cardResponses"].size(), 1u) << got.dump();
    EXPECT_EQ(got["cardResponses"][0]["authStatus"], "SUCCEED");
    EXPECT_EQ(got["cardResponses"][0]["idNat"], idNat_);
    EXPECT_EQ(got["cardResponses"][0]["notificationId"], "n-accept");
    EXPECT_EQ(got["cardResponses"][0]["code"].get<std::string>().size(), 3u);
    ASSERT_TRUE(waitUntil([&] { return enabled("VekDisconnect"); }, 2000));

    ASSERT_EQ(vekAdmin("POST", "/admin/fault", "logoutAll:status=500"), "ok");
    recorder_.shown.clear();
    find<QPushButton>("VekDisconnect")->click();
    EXPECT_EQ(alertMessage("DÉCONNEXION"), QStringLiteral("Échec de déconnexion - Une erreur est survenue"));
    EXPECT_EQ(recorder_.shown.join(' '), QStringLiteral("VekWaitDialog VekAlertDialog"));
    EXPECT_TRUE(enabled("VekDisconnect"));
    EXPECT_TRUE(vekReceived()["loggedOut"].empty());

    ASSERT_EQ(vekAdmin("POST", "/admin/clear"), "ok");
    find<QPushButton>("VekDisconnect")->click();
    EXPECT_EQ(alertMessage("DÉCONNEXION"), QStringLiteral("Toutes vos sessions ont été clôturées"));
    EXPECT_EQ(vekReceived()["loggedOut"], nlohmann::json::array({idNat_}));
    EXPECT_FALSE(enabled("VekDisconnect"));
}

TEST_F(KartelloSignIn, RefusalsFailuresAndRequestsThatCannotBeAnswered) {
    // Refused: the service receives CANCELLED; refused with report: UNAUTHORIZED.
    int answered = 0;
    const struct {
        const char* button;
        const char* status;
        QString alert;
    } refusals[] = {
        {"cancelButton", "CANCELLED", QStringLiteral("La demande d'authentification a été annulée")},
        {"notifyButton", "UNAUTHORIZED", QStringLiteral("La demande d'authentification a été refusée et signalée")},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.button);
        queueRequest(std::string("n-") + refusal.button);
        authenticate();
        click(dialog("VekAuthDialog"), refusal.button);
        EXPECT_EQ(alertMessage(), refusal.alert);
        const nlohmann::json got = vekReceived();
        ASSERT_EQ(got["cardResponses"].size(), static_cast<std::size_t>(++answered)) << got.dump();
        EXPECT_EQ(got["cardResponses"].back()["authStatus"], refusal.status);
        EXPECT_EQ(got["cardResponses"].back()["code"], "");
    }
    EXPECT_EQ(recorder_.shown.join(' '), QStringLiteral("VekWaitDialog VekAuthDialog VekWaitDialog VekAlertDialog"))
        << "after the PIN of the first request";

    authenticate();
    EXPECT_EQ(alertMessage(), QStringLiteral("Aucune demande d'authentification à Vestalink n'a été détectée"));
    EXPECT_EQ(recorder_.shown.join(' '), QStringLiteral("VekWaitDialog VekAlertDialog"));

    // A wrong code: nothing is answered.
    queueRequest("n-wrong");
    authenticate();
    QPushButton* wrong = codeButton(accept(), false);
    ASSERT_NE(wrong, nullptr);
    wrong->click();
    EXPECT_EQ(alertMessage(),
              QStringLiteral("Le code sélectionné n'est pas valide.\nLa demande d'authentification reste en attente : "
                             "appuyez de nouveau sur AUTHENTIFICATION pour choisir un autre code"));
    EXPECT_EQ(vekReceived()["cardResponses"].size(), 2u);

    // No code step at the service: the request ends without a challenge or an answer.
    ASSERT_EQ(vekAdmin("POST", "/admin/clear"), "ok");
    ASSERT_EQ(vekAdmin("POST", "/admin/code-state", "false"), "ok");
    const nlohmann::json challenges = vekReceived()["challenges"];
    queueRequest("n-nocode");
    authenticate();
    click(dialog("VekAuthDialog"), "authButton");
    EXPECT_EQ(alertMessage(), QStringLiteral("Authentification échouée - Une erreur est survenue"));
    EXPECT_EQ(vekReceived()["challenges"], challenges);
    EXPECT_TRUE(vekReceived()["cardResponses"].empty());

    // The service's session time-out, and a server error.
    const std::pair<const char*, const char*> faults[] = {
        {"pending:business=BUSI-AUTHENT-8", "Authentification échouée - Délai dépassé"},
        {"verify:status=500", "Authentification échouée - Une erreur est survenue"},
    };
    for (const auto& [fault, message] : faults) {
        SCOPED_TRACE(fault);
        ASSERT_EQ(vekAdmin("POST", "/admin/clear"), "ok");
        ASSERT_EQ(vekAdmin("POST", "/admin/fault", fault), "ok");
        queueRequest("n-fault");
        authenticate();
        if (QString::fromLatin1(fault).startsWith("verify")) {
            QPushButton* right = codeButton(accept(), true);
            ASSERT_NE(right, nullptr);
            right->click();
        }
        EXPECT_EQ(alertMessage(), QString::fromUtf8(message));
        EXPECT_TRUE(vekReceived()["cardResponses"].empty());
    }
    EXPECT_FALSE(enabled("VekDisconnect"));
}

TEST_F(KartelloSignIn, QuitWhileSignedInEndsOnlyAfterTheSilentDisconnection) {
    answerWithCode("n-quit");
    // The service takes its time: the window stays until it answered.
    ASSERT_EQ(vekAdmin("POST", "/admin/fault", "logoutAll:delay=2000"), "ok");
    recorder_.shown.clear();
    app_->window().close();
    click(dialog("VekQuitDialog"), "quitButton");
    dialog("VekWaitDialog");
    gui_test::processFor(1000);
    EXPECT_TRUE(app_->window().isVisible());
    EXPECT_TRUE(vekReceived()["loggedOut"].empty());
    ASSERT_TRUE(waitUntil([&] { return !app_->window().isVisible(); }, 15000));
    EXPECT_EQ(vekReceived()["loggedOut"], nlohmann::json::array({idNat_}));
    EXPECT_EQ(recorder_.shown.join(' '), QStringLiteral("VekQuitDialog VekWaitDialog"));  // no alert on the way out

    // Again, with a service that does not answer before the client gives up: it ends all the same.
    app_->window().show();
    ASSERT_EQ(vekAdmin("POST", "/admin/clear"), "ok");
    answerWithCode("n-quit-late");
    vek::OpenAPIClientAPI::setTimeoutMs(1500);
    ASSERT_EQ(vekAdmin("POST", "/admin/fault", "logoutAll:delay=6000"), "ok");
    app_->window().close();
    click(dialog("VekQuitDialog"), "quitButton");
    gui_test::processFor(800);
    EXPECT_TRUE(app_->window().isVisible());
    ASSERT_TRUE(waitUntil([&] { return !app_->window().isVisible(); }, 15000));
    EXPECT_TRUE(vekReceived()["loggedOut"].empty());
}

// After the flows above: neither the PIN nor a code shows in Kartello's and Sigilla's logs or in the
// service's. The time stamps are left out (their digits would match anything).
TEST_F(KartelloSignIn, NoLogHoldsThePinOrACode) {
    std::vector<std::string> logs{testbed::runDir() + "/vek-sim.log"};
    const std::filesystem::path logDir = std::filesystem::path(SwiftLogger::currentFilePath()).parent_path();
    for (const auto& entry : std::filesystem::directory_iterator(logDir)) logs.push_back(entry.path().string());
    ASSERT_GE(logs.size(), 2u);
    for (const std::string& secret : secretsSeen()) {
        // The PIN quoted, or as a number of its own on a line about a PIN or a login (alone it would
        // match the sizes of certificates, which change with every run's keys); a code quoted or
        // named as a code.
        const std::regex word(secret.size() == 4
                                  ? "\"" + secret + "\"|([Pp][Ii][Nn]|[Ll]ogin)([^\\n]*[^0-9])?" + secret + "([^0-9]|$)"
                                  : "(\"" + secret + "\"|[Cc]ode[^0-9]{0,20}" + secret + "([^0-9]|$))");
        // The PIN inside a VERIFY command as a card exchange would be logged (INS 20, 4 bytes of
        // data); the same digits elsewhere in hexadecimal are the holder's data or certificates.
        std::string hexDigits;
        for (char c : secret) hexDigits += "3" + std::string(1, c);
        const std::regex verify("20 ?00 ?[0-9A-F]{2} ?04 ?" + hexDigits);
        for (const std::string& log : logs) {
            std::istringstream lines(fileText(log));
            for (std::string line; std::getline(lines, line);) {
                const std::string body = line.size() > 23 ? line.substr(23) : line;
                EXPECT_FALSE(std::regex_search(body, word)) << log << ": " << line;
                if (secret.size() == 4) EXPECT_FALSE(std::regex_search(body, verify)) << log << ": " << line;
            }
        }
    }
}

}  // namespace
}  // namespace qel
