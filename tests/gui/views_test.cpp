// Kartello's Qt views without a card: pictures and colours, hover colours through the real
// controller, and the transitions the navigator opens.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QDialog>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QRegularExpression>
#include <QProcess>
#include <QTimer>
#include <QTreeWidget>
#include <QComboBox>
#include <QEnterEvent>
#include <QPainter>
#include <QProgressBar>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSvgRenderer>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "app/background_queue.h"
#include "app/kartello_session.h"
#include "management/card_tables.h"
#include "app/certificate_controller.h"
#include "app/qt/accessibility.h"
#include "app/qt/certificate_view.h"
#include "management/revocation/crl_download.h"
#include "management/trust/authority_store.h"
#include "app/qt/colour_table.h"
#include "app/log_utils.h"
#include "app/tmaj_controller.h"
#include "app/maintenance_controller.h"
#include "app/services_controller.h"
#include "issuerlib/service_report.h"
#include "app/qt/elided_label.h"
#include "app/qt/kartello_app.h"
#include "app/qt/main_window.h"
#include "app/qt/maintenance_view.h"
#include "app/qt/picture_view.h"
#include "app/qt/pictures.h"
#include "app/qt/pin_dialogs.h"
#include "app/qt/qt_widgets.h"
#include "app/qt/spinner.h"
#include "app/qt/qt_navigator.h"
#include "app/qt/tmaj_dialog.h"
#include "app/qt/vek_dialogs.h"
#include "management/scard/card_readers.h"
#include "management/scard/scard.h"
#include "app/main_window_controller.h"
#include "gui_support.h"
#include "issuerlib/pkcs11_library.h"
#include "issuerlib/pkcs11_x509.h"
#include "sim/card/x509_builder.h"
#include "tests/support/fake_tmaj_backend.h"
#include "tests/support/fake_issuer_module.h"
#include "tests/support/fake_vek_service.h"

namespace qel {
namespace {

using gui_test::guiApp;

void keepScreenshot(QWidget& widget, const char* name);

class NoReaders : public CardReaders {
public:
    std::vector<std::string> readerNames() override { return {}; }
    std::optional<Bytes> cardAtr(const std::string&) override { return std::nullopt; }
    std::unique_ptr<SmartCard> waitForCard(const std::string&, std::chrono::milliseconds) override { return nullptr; }
};

class RecordingServices : public ui::UrlOpener, public ui::Clipboard, public ui::ProgramLauncher {
public:
    bool openUrl(const std::string& url) override {
        urls.push_back(url);
        return true;
    }
    void setText(const std::string& text) override { clipboard = text; }
    bool isRunning(const std::string&) override { return true; }
    bool launch(const std::string&) override { return true; }
    std::vector<std::string> urls;
    std::string clipboard;
};

class RecordingListener : public PinEntryListener, public MainWindowListener {
public:
    void pinEntryResult(bool success, const std::string&) override { results.push_back(success); }
    void pinEntered(const SecretBytes&) override {}
    void pinEntryCancelled() override { ++cancelled; }
    void setCardBlocked(bool) override {}
    void setUserAuthenticated(bool) override {}
    void updateUI() override {}
    void showIdentificationPane(bool) override {}
    std::shared_ptr<Pkcs11Card> selectedCard() override { return nullptr; }
    void beginCardReading() override {}
    void endCardReading() override {}
    std::vector<bool> results;
    int cancelled = 0;
};

// The real main window and controller, with a library that cannot load and no reader.
struct WindowHarness {
    WindowHarness()
        : library("/nonexistent/libqel-none.so"),
          scard(readers, serviceLog),
          navigator(window, queue, scard),
          kartelloSession(library, services),
          controller(
              window, kartelloSession,
              MainWindowServices{library, queue, navigator, services, services, scard, readers, nullptr, {}, {}}) {
        controller.setUp();
    }

    QPushButton* button(const char* name) { return window.findChild<QPushButton*>(QString::fromLatin1(name)); }

    Pkcs11Library library;
    ManualMainQueue queue;
    NoReaders readers;
    ServiceAbsenceLog serviceLog;
    Scard scard;
    qt::QtMainWindow window;
    qt::QtNavigator navigator;
    RecordingServices services;
    KartelloSession kartelloSession;
    MainWindowController controller;
};

TEST(Pictures, EveryProfessionHasAReadablePictureAndAJobColour) {
    guiApp();
    for (const char* key :
         {"00", "02", "03", "10", "21", "40", "50", "60", "70", "80", "F10", "F21", "F40", "F50", "99", "unknown"}) {
        SCOPED_TRACE(key);
        const QString path = qt::picturePath(cardPicture(key));
        ASSERT_FALSE(path.isEmpty()) << cardPicture(key);
        QSvgRenderer renderer(path);
        EXPECT_TRUE(renderer.isValid()) << path.toStdString();
        EXPECT_TRUE(qt::hasNamedColour(jobColour(key))) << jobColour(key);
    }
    for (const char* name : {"lock", "unlock", "tmaj-notif", "warning", "kartello", "refresh", "copy"}) {
        EXPECT_TRUE(QSvgRenderer(qt::picturePath(name)).isValid()) << name;
    }
    EXPECT_TRUE(qt::picturePath("top-card-nothing").isEmpty());
}

TEST(Pictures, TraineeCardsDifferFromTheirProfessionsCards) {
    guiApp();
    for (auto [trained, trainee] : {std::pair{"10", "F10"}, {"21", "F21"}, {"40", "F40"}, {"50", "F50"}}) {
        QImage a(344, 216, QImage::Format_ARGB32), b(344, 216, QImage::Format_ARGB32);
        a.fill(Qt::white);
        b.fill(Qt::white);
        QPainter pa(&a), pb(&b);
        QSvgRenderer(qt::picturePath(cardPicture(trained))).render(&pa);
        QSvgRenderer(qt::picturePath(cardPicture(trainee))).render(&pb);
        pa.end();
        pb.end();
        // The "en formation" mark is a band of yellow that the professional's card does not have.
        const QColor mark(0xF4, 0xC4, 0x30);
        EXPECT_EQ(gui_test::pixelsNear(a, mark, 8), 0) << trained;
        EXPECT_GT(gui_test::pixelsNear(b, mark, 8), 500) << trainee;
    }
}

TEST(MainWindow, MainButtonTitlesTakeTheHoverColourAndGiveItBack) {
    guiApp();
    WindowHarness h;
    h.window.show();
    const QColor hover = qt::textColour(ui::colours::hover), normal(33, 57, 75);
    const char* names[] = {"identification", "situation",      "certificate",       "tmaj",          "pinCode",
                           "pinCodeModif",   "unlockCard",     "maintenance",       "diagQELButton", "testsSsl",
                           "portalEQEL",     "contactSupport", "VekAuthentication", "VekDisconnect"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        QPushButton* button = h.button(name);
        ASSERT_NE(button, nullptr);
        button->setEnabled(true);
        QEnterEvent enter(QPointF(4, 4), QPointF(4, 4), QPointF(4, 4));
        QCoreApplication::sendEvent(button, &enter);
        EXPECT_GT(gui_test::pixelsNear(button->grab().toImage(), hover), 10);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(button, &leave);
        const QImage left = button->grab().toImage();
        EXPECT_EQ(gui_test::pixelsNear(left, hover), 0);
        EXPECT_GT(gui_test::pixelsNear(left, normal), 10);
    }
    // A button that cannot be used still looks unavailable after the pointer passed over it.
    QPushButton* vek = h.button("VekDisconnect");
    vek->setEnabled(false);
    QEnterEvent enter(QPointF(4, 4), QPointF(4, 4), QPointF(4, 4));
    QCoreApplication::sendEvent(vek, &enter);
    const QImage disabled = vek->grab().toImage();
    EXPECT_EQ(gui_test::pixelsNear(disabled, hover), 0);
    EXPECT_EQ(gui_test::pixelsNear(disabled, normal), 0);
}

TEST(MainWindow, WithoutLibraryTheWindowShowsNoCardAndOnlyAlwaysAvailableButtons) {
    guiApp();
    WindowHarness h;
    h.window.show();
    h.controller.onShown();
    EXPECT_TRUE(h.window.findChild<QWidget*>("card")->isHidden());
    EXPECT_FALSE(h.window.findChild<QWidget*>("cardEmpty")->isHidden());
    EXPECT_EQ(h.window.findChild<QLabel*>("cardNoInsertedLabel")->text(), QStringLiteral("Carte non insérée"));
    EXPECT_FALSE(h.button("identification")->isEnabled());
    EXPECT_FALSE(h.button("pinCode")->isEnabled());
    EXPECT_TRUE(h.button("maintenance")->isEnabled());
    EXPECT_TRUE(h.button("contactSupport")->isEnabled());
    EXPECT_EQ(h.window.findChild<QLabel*>("cardStatus")->text(), QString());
}

TEST(Desktop, QtsOwnDialogsAreFrenchAndTheReportMarksHaveAFont) {
    guiApp();
    ASSERT_TRUE(qt::installQtFrenchTranslation());
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Annuler"));
    EXPECT_EQ(QCoreApplication::translate("QFileDialog", "File &name:"), QStringLiteral("&Nom de fichier :"));
    // Without a colour emoji font every mark of the services report is an empty box.
    EXPECT_TRUE(QFontDatabase::families().contains(QStringLiteral("Noto Color Emoji")));
}

TEST(MainWindow, DemoModeShowsTheSampleHolderWithItsPictureAndColour) {
    guiApp();
    WindowHarness h;
    h.window.show();
    h.window.widgets().activateDemoMenuItem->setEnabled(true);
    h.window.findChild<QAction*>("activateDemoMenuItem")->trigger();
    EXPECT_FALSE(h.window.findChild<QLabel*>("demoModeTitle")->isHidden());
    auto* list = h.window.findChild<QComboBox*>("cardComboBox");
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->itemText(1), QStringLiteral("Carte insérée"));
    list->setCurrentIndex(1);
    Q_EMIT list->activated(1);
    EXPECT_EQ(h.window.findChild<QLabel*>("cardNameLabel")->text(), QStringLiteral("DUPONT Philippe"));
    EXPECT_EQ(h.window.findChild<qt::PictureView*>("topCard")->pictureName(), "top-card-medecin");
    const QImage job = h.window.findChild<QLabel*>("cardJobLabel")->grab().toImage();
    EXPECT_GT(gui_test::pixelsNear(job, qt::namedColour("medecin"), 10), 10);
}

TEST(Navigator, PinTransitionsOpenTheirSheetWithAWiredController) {
    guiApp();
    WindowHarness h;
    h.window.show();
    RecordingListener listener;
    ui::PinEntryRequest request;
    request.window = &listener;
    request.receiver = &listener;

    for (const bool byProgram : {false, true}) {
        SCOPED_TRACE(byProgram);
        request.askedByProgram = byProgram;
        h.navigator.openPinEntry(request);
        auto* dialog = qobject_cast<qt::QtPinEntryDialog*>(h.navigator.lastDialog());
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->parentWidget(), &h.window);
        EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
        EXPECT_TRUE(dialog->isVisible());
        auto* field = dialog->findChild<QLineEdit*>("pinTextField");
        gui_test::typeText(field, "12a34");
        EXPECT_EQ(field->text(), QStringLiteral("1234"));  // the letter never stays; a fifth digit neither
        gui_test::typeText(field, "5");
        EXPECT_EQ(field->text(), QStringLiteral("1234"));
        field->clear();
        gui_test::typeText(field, "12");
        dialog->findChild<QPushButton*>("validateButton")->click();
        auto* error = dialog->findChild<QLabel*>("errorPinLabel");
        EXPECT_FALSE(error->isHidden());
        EXPECT_EQ(error->text(), QStringLiteral("Le code PIN doit comporter 4 chiffres"));
        // The window grows with its lines: none is cut.
        error->setText(QStringLiteral("Le code PIN n'est pas valide ! Dernier essai avant le blocage de la carte"));
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
        for (const char* name : {"dialogText", "errorPinLabel"}) {
            auto* label = dialog->findChild<QLabel*>(name);
            EXPECT_GE(label->height(), label->heightForWidth(label->width())) << name;
        }
        keepScreenshot(*dialog, "pin-error");
        dialog->findChild<QPushButton*>("cancelButton")->click();
        EXPECT_TRUE(gui_test::waitUntil([&] { return h.navigator.lastDialog() == nullptr; }, 2000));
    }
    EXPECT_TRUE(listener.results.empty());

    h.navigator.openPinChange(nullptr, &listener);
    auto* modif = qobject_cast<qt::QtPinChangeDialog*>(h.navigator.lastDialog());
    ASSERT_NE(modif, nullptr);
    gui_test::typeText(modif->findChild<QLineEdit*>("oldPinTextField"), "1234");
    gui_test::typeText(modif->findChild<QLineEdit*>("newPinTextField"), "1111");
    gui_test::typeText(modif->findChild<QLineEdit*>("renewPinTextField"), "2222");
    modif->findChild<QPushButton*>("validateButton")->click();
    EXPECT_EQ(modif->findChild<QLabel*>("errorLabel")->text(),
              QStringLiteral("Le code PIN n'est pas identique au précédent."));
    modif->close();

    h.navigator.openUnlock(nullptr, &listener);
    auto* unlock = qobject_cast<qt::QtUnlockCardDialog*>(h.navigator.lastDialog());
    ASSERT_NE(unlock, nullptr);
    EXPECT_TRUE(unlock->findChild<QWidget*>("pukTooltip")->isHidden());
    gui_test::typeText(unlock->findChild<QLineEdit*>("pukTextField"), "1234");
    unlock->findChild<QPushButton*>("validateButton")->click();
    EXPECT_FALSE(unlock->findChild<QWidget*>("pukTooltip")->isHidden());
    EXPECT_FALSE(unlock->findChild<QWidget*>("newPinTooltip")->isHidden());
    unlock->close();
}

TEST(Navigator, KeypadReaderGetsTheWaitThatEscapeCannotCloseWhileTheReaderWaits) {
    guiApp();
    WindowHarness h;
    h.window.show();
    test::FakeIssuerModule module;
    module.addSlot("Reader 0", true).token.keypadEntry = "0000";
    Pkcs11Library cardLibrary(module.functions(), nullptr);
    ASSERT_EQ(cardLibrary.initialize(), CKR_OK);
    test::ScriptedBackend backend;
    BackgroundQueue background;
    h.navigator.enableUpdateWizard(background, backend);
    RecordingListener listener;
    ui::PinEntryRequest request;
    request.card = std::make_shared<Pkcs11Card>(cardLibrary, 0, true);
    request.receiver = &listener;
    request.window = &listener;

    h.navigator.openPinEntry(request);
    auto* dialog = qobject_cast<qt::QtPinPadDialog*>(h.navigator.lastDialog());
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    auto* instruction = dialog->findChild<QLabel*>("instructionLabel");
    auto* message = dialog->findChild<QLabel*>("messageLabel");
    auto* retry = dialog->findChild<QPushButton*>("retryButton");
    ASSERT_TRUE(gui_test::waitUntil([&] { return !instruction->text().isEmpty(); }, 2000));
    EXPECT_EQ(instruction->text(), QStringLiteral("Saisissez votre code PIN sur le clavier du lecteur"));
    EXPECT_TRUE(dialog->findChild<qt::Spinner*>("waitIndicator")->isSpinning());
    EXPECT_TRUE(retry->isHidden());

    // The reader's outcome waits on the main queue: Escape meanwhile only says where to cancel.
    dialog->reject();
    QCoreApplication::processEvents();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(message->text(), QStringLiteral("Appuyez sur la touche Annuler du lecteur pour interrompre la saisie"));
    keepScreenshot(*dialog, "pinpad-waiting");

    background.waitIdle();
    h.queue.runReady();
    EXPECT_EQ(message->text(), QStringLiteral("Le code PIN n'est pas valide !"));
    EXPECT_FALSE(retry->isHidden());
    EXPECT_TRUE(retry->isDefault());
    EXPECT_FALSE(dialog->findChild<qt::Spinner*>("waitIndicator")->isSpinning());
    dialog->reject();
    EXPECT_TRUE(gui_test::waitUntil([&] { return h.navigator.lastDialog() == nullptr; }, 2000));
    EXPECT_EQ(listener.cancelled, 1);
    EXPECT_TRUE(listener.results.empty());

    // The unlock waits on the keypad too, for the PUK and the new PIN.
    h.navigator.openUnlock(std::make_shared<Pkcs11Card>(cardLibrary, 0, true), &listener);
    dialog = qobject_cast<qt::QtPinPadDialog*>(h.navigator.lastDialog());
    ASSERT_NE(dialog, nullptr);
    instruction = dialog->findChild<QLabel*>("instructionLabel");
    ASSERT_TRUE(gui_test::waitUntil([&] { return !instruction->text().isEmpty(); }, 2000));
    EXPECT_EQ(
        instruction->text(),
        QStringLiteral("Saisissez votre code PUK, puis deux fois le nouveau code PIN, sur le clavier du lecteur"));
    keepScreenshot(*dialog, "pinpad-unlock");
    background.waitIdle();
    h.queue.runReady();
    dialog->reject();
    EXPECT_TRUE(gui_test::waitUntil([&] { return h.navigator.lastDialog() == nullptr; }, 2000));

    // A fourth-generation card changes its PIN in the fields: its reader cannot build the command.
    module.slot(0).token.label = "QEL4-1234567890Z";
    h.navigator.openPinChange(std::make_shared<Pkcs11Card>(cardLibrary, 0, true), &listener);
    ASSERT_NE(qobject_cast<qt::QtPinChangeDialog*>(h.navigator.lastDialog()), nullptr);
    h.navigator.lastDialog()->close();
    // Gone, with its card, before the library.
    EXPECT_TRUE(gui_test::waitUntil([&] { return h.navigator.lastDialog() == nullptr; }, 2000));
}

TEST(Navigator, DialogsOpenOnlyOnceEnabledAndTheServicesTestGetsItsRequest) {
    guiApp();
    WindowHarness h;
    h.navigator.openSignInWait(vek::makeVekRequest(), nullptr);
    h.navigator.openSignInAlert(vek::RespType::BAD_CODE);
    h.navigator.openUpdateWizard(nullptr, nullptr);
    EXPECT_EQ(h.navigator.lastDialog(), nullptr);

    ServicesTestRequest sent;
    sent.readerSelected = 12;
    sent.secret = std::make_shared<SecretBytes>(std::string_view("4321"));
    h.navigator.openServicesTest(sent);  // nothing enabled: nothing happens
    std::optional<ServicesTestRequest> received;
    int calls = 0;
    h.navigator.enableServicesTest([&](const ServicesTestRequest& r) {
        received = r;
        ++calls;
    });
    h.navigator.openServicesTest(sent);
    EXPECT_EQ(calls, 1);
    ASSERT_TRUE(received);
    EXPECT_EQ(received->readerSelected, 12u);
    EXPECT_EQ(received->secret, sent.secret);  // the one PIN buffer, shared, not copied
}

// Saves the dialog's picture when $QEL_SCREENSHOT_DIR names a folder (looking at the steps by eye).
void keepScreenshot(QWidget& widget, const char* name) {
    const QByteArray dir = qgetenv("QEL_SCREENSHOT_DIR");
    if (!dir.isEmpty()) widget.grab().save(QString::fromLocal8Bit(dir) + "/" + name + ".png");
}

TEST(MainWindow, SituationsHoldFromTheMinimumSizeToMaximisedAndTheSideBarMarksThem) {
    guiApp();
    WindowHarness h;
    const ui::SituationWidgets& o = h.window.situationView().widgets();
    o.SituView->setHidden(false);
    o.FactuView->setHidden(false);
    o.noSitu->setHidden(true);
    o.situModeExercice->setText("Libéral, exploitant ou commerçant, et salarié d'un établissement de santé privé");
    o.situRaisonSociale->setText("CENTRE HOSPITALIER DE SAINT-JEAN-DE-MAURIENNE ET DE LA HAUTE VALLÉE DE L'ARC");
    o.situIdentifiant->setText("3 10 123456 7");
    o.situSecteurActivite->setText("Établissement public de santé, centre hospitalier régional universitaire");
    o.situTabPharma->setText("Section A");
    o.factuIdentifiant->setText("12 3 45678 9");
    o.factuSpecialite->setText("Médecine générale (spécialiste en médecine générale)");
    o.factuConvention->setText("Conventionné secteur 2 avec option de pratique tarifaire maîtrisée");
    o.factuZoneTarifaire->setText("Zone tarifaire des autres départements métropolitains");
    o.factuIndemKilometre->setText("Indemnités kilométriques de plaine");
    o.factuAgrement->setText("A, B, C, D, E, F, G, H, J, K");
    o.factuPermissionFSE->setText("A, B, C, D, E, F, G, H, J, K");
    o.factuPermissionLot->setText("A, B, C, D, E, F, G, H, J, K");
    h.window.showSubView(ui::SubView::situation);
    EXPECT_TRUE(h.button("situation")->property("current").toBool());
    // The reader list shows that it opens.
    h.window.show();
    auto* list = h.window.findChild<QComboBox*>("cardComboBox");
    const QImage arrow = list->grab().toImage().copy(list->width() - 22, 0, 22, list->height());
    EXPECT_GT(gui_test::pixelsNear(arrow, QColor(33, 57, 75)), 5);
    EXPECT_FALSE(h.button("identification")->property("current").toBool());

    for (const QSize size : {QSize(960, 640), QSize(1920, 1080)}) {
        SCOPED_TRACE(size.width());
        h.window.resize(size);
        h.window.show();
        QCoreApplication::processEvents();
        const auto values = h.window.findChildren<qt::ElidedLabel*>(QRegularExpression("^(situ|factu)"));
        ASSERT_EQ(values.size(), 13);
        QWidget* page = h.window.findChild<QWidget*>("situationScroll");
        ASSERT_NE(page, nullptr);
        for (qt::ElidedLabel* value : values) {
            // Whole or visibly cut ("…" and the tooltip), never clipped at the bottom.
            EXPECT_GE(value->contentsRect().height(), value->fontMetrics().height())
                << value->objectName().toStdString();
            if (!value->isElided()) continue;
            EXPECT_LT(size.width(), 1920) << value->objectName().toStdString();
        }
        // No two rows of a form on one another.
        for (qt::ElidedLabel* a : values)
            for (qt::ElidedLabel* b : values) {
                if (a == b || a->parentWidget() != b->parentWidget()) continue;
                const QRect ra(a->mapTo(page, QPoint(0, 0)), a->size()), rb(b->mapTo(page, QPoint(0, 0)), b->size());
                EXPECT_FALSE(ra.intersects(rb))
                    << a->objectName().toStdString() << " " << b->objectName().toStdString();
            }
        // Narrow, the blocks stand one above the other rather than cut their values to a few letters.
        const QRect situ = h.window.findChild<QWidget*>("SituView")->geometry();
        const QRect factu = h.window.findChild<QWidget*>("FactuView")->geometry();
        EXPECT_EQ(factu.top() > situ.bottom(), size.width() == 960);
        keepScreenshot(h.window, size.width() == 960 ? "situations-960x640" : "situations-maximised");
    }
}

TEST(Navigator, UpdateWizardWalksItsFourStepsAndStaysOpenDuringTheSession) {
    guiApp();
    WindowHarness h;
    h.window.show();
    test::FakeIssuerModule module;
    module.addSlot("Reader 0", true);
    Pkcs11Library cardLibrary(module.functions(), nullptr);
    ASSERT_EQ(cardLibrary.initialize(), CKR_OK);
    test::ScriptedBackend backend;
    backend.progress = {20, 40, 60};
    backend.holdSession = true;
    BackgroundQueue background;
    h.navigator.enableUpdateWizard(background, backend);
    test::RecordingTmajListener listener;
    const auto card = std::make_shared<Pkcs11Card>(cardLibrary, 0, true);

    h.navigator.openUpdateWizard(card, &listener);
    auto* dialog = qobject_cast<qt::QtTmajDialog*>(h.navigator.lastDialog());
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    auto* stepper = dialog->findChild<qt::PictureView*>("stepper");
    auto* pin = dialog->findChild<QLineEdit*>("pinCode");
    auto* next = dialog->findChild<QPushButton*>("next");
    auto* cancel = dialog->findChild<QPushButton*>("cancel");
    auto* progress = dialog->findChild<QProgressBar*>("progressBar");
    auto* message = dialog->findChild<QLabel*>("message");
    EXPECT_TRUE(gui_test::waitUntil([&] { return dialog->isVisible(); }, 2000));
    EXPECT_TRUE(pin->isHidden());
    EXPECT_TRUE(progress->isHidden());
    keepScreenshot(*dialog, "tmaj-step1");

    next->click();
    EXPECT_EQ(stepper->pictureName(), "step2");
    EXPECT_FALSE(pin->isHidden());
    EXPECT_TRUE(message->isHidden());
    gui_test::typeText(pin, "12a345678 9");
    EXPECT_EQ(pin->text(), QStringLiteral("12345678"));
    pin->clear();
    gui_test::typeText(pin, "1234");
    keepScreenshot(*dialog, "tmaj-step2");

    next->click();
    EXPECT_EQ(stepper->pictureName(), "step3");
    EXPECT_TRUE(next->isHidden());
    EXPECT_FALSE(cancel->isHidden());  // stops the session, see below
    ASSERT_TRUE(gui_test::waitUntil([&] { return backend.reported() == 3; }, 5000));
    h.queue.runReady();
    EXPECT_EQ(progress->value(), 60);
    keepScreenshot(*dialog, "tmaj-step3");

    backend.release();
    background.waitIdle();
    h.queue.runReady();
    EXPECT_EQ(stepper->pictureName(), "step4");
    EXPECT_EQ(message->text(), QStringLiteral("Votre QEL a bien été mise à jour."));
    EXPECT_EQ(next->text(), QStringLiteral("Terminer"));
    EXPECT_TRUE(progress->isHidden());
    keepScreenshot(*dialog, "tmaj-step4");

    next->click();
    EXPECT_TRUE(gui_test::waitUntil([&] { return h.navigator.lastDialog() == nullptr; }, 2000));
    EXPECT_EQ(listener.closings, std::vector<bool>{true});
    for (const char* picture : {"step1", "step2", "step3", "step4", tmaj_pictures::upToDate, tmaj_pictures::checkFailed,
                                tmaj_pictures::pinFailed, tmaj_pictures::updateFailed, tmaj_pictures::cancelled}) {
        SCOPED_TRACE(picture);
        EXPECT_TRUE(QSvgRenderer(qt::picturePath(picture)).isValid());
    }
}

TEST(Navigator, UpdateWizardEndsWithoutTickingWhatDidNotRunAndEscapeStopsTheSession) {
    guiApp();
    WindowHarness h;
    h.window.show();
    test::FakeIssuerModule module;
    module.addSlot("Reader 0", true);
    Pkcs11Library cardLibrary(module.functions(), nullptr);
    ASSERT_EQ(cardLibrary.initialize(), CKR_OK);
    test::ScriptedBackend backend;
    BackgroundQueue background;
    h.navigator.enableUpdateWizard(background, backend);
    test::RecordingTmajListener listener;
    const auto card = std::make_shared<Pkcs11Card>(cardLibrary, 0, true);

    // Opens the wizard and presses next at step 1; the dialog and its stepper, message and next.
    auto open = [&] {
        h.navigator.openUpdateWizard(card, &listener);
        auto* dialog = qobject_cast<qt::QtTmajDialog*>(h.navigator.lastDialog());
        EXPECT_TRUE(gui_test::waitUntil([&] { return dialog && dialog->isVisible(); }, 2000));
        dialog->findChild<QPushButton*>("next")->click();
        return dialog;
    };
    auto closeWith = [&](qt::QtTmajDialog* dialog) {
        dialog->findChild<QPushButton*>("next")->click();
        EXPECT_TRUE(gui_test::waitUntil([&] { return h.navigator.lastDialog() == nullptr; }, 2000));
    };
    struct Outcome {
        TmajAvailability availability;
        long httpStatus;
        const char* picture;
        const char* text;
        const char* screenshot;
    };
    const Outcome outcomes[] = {
        {TmajAvailability::upToDate, 200, tmaj_pictures::upToDate, "Votre QEL est déjà à jour.", "tmaj-no-update"},
        {TmajAvailability::checkFailed, 500, tmaj_pictures::checkFailed,
         "Le service de télémise à jour a répondu par une erreur (code 500). Veuillez réessayer ultérieurement.",
         "tmaj-service-error"},
    };
    for (const Outcome& o : outcomes) {
        SCOPED_TRACE(o.screenshot);
        backend.availability = o.availability;
        backend.httpStatus = o.httpStatus;
        qt::QtTmajDialog* dialog = open();
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->findChild<qt::PictureView*>("stepper")->pictureName(), o.picture);
        EXPECT_EQ(dialog->findChild<QLabel*>("message")->text(), QString::fromUtf8(o.text));
        EXPECT_EQ(dialog->findChild<QPushButton*>("next")->text(), QStringLiteral("Terminer"));
        QCoreApplication::processEvents();  // the button takes its new title's width
        keepScreenshot(*dialog, o.screenshot);
        closeWith(dialog);
    }

    // Escape while the session runs stops it; the wizard stays until the session has ended.
    backend.availability = TmajAvailability::updateAvailable;
    backend.holdSession = true;
    qt::QtTmajDialog* dialog = open();
    ASSERT_NE(dialog, nullptr);
    gui_test::typeText(dialog->findChild<QLineEdit*>("pinCode"), "1234");
    dialog->findChild<QPushButton*>("next")->click();
    dialog->reject();
    EXPECT_TRUE(dialog->isVisible());
    background.waitIdle();
    h.queue.runReady();
    EXPECT_TRUE(backend.stopped);
    EXPECT_EQ(dialog->findChild<qt::PictureView*>("stepper")->pictureName(), tmaj_pictures::cancelled);
    keepScreenshot(*dialog, "tmaj-cancelled");
    closeWith(dialog);
    EXPECT_EQ(listener.closings, (std::vector<bool>{false, false, false}));
}

/// What the sign-in dialogs reported.
struct VekReports : VekListener {
    void pendingRequestDone(vek::RespType o, VekRequestRef) override { add("pendingRequestDone", o); }
    void authorisationDone(vek::RespType o, VekRequestRef) override { add("authorisationDone", o); }
    void codeStepDone(vek::RespType o, VekRequestRef) override { add("codeStepDone", o); }
    void codeChosen(vek::RespType o, VekRequestRef) override { add("codeChosen", o); }
    void validationDone(vek::RespType o, VekRequestRef) override { add("validationDone", o); }
    void disconnectionDone(vek::RespType o, bool) override { add("disconnectionDone", o); }
    void refuseRequest(VekRequestRef, bool reported) override {
        add("refuseRequest", reported ? vek::RespType::NOTIFY : vek::RespType::CANCEL);
    }
    void disconnect(bool silent) override { add(silent ? "disconnect silent" : "disconnect", vek::RespType::OK); }
    void add(const std::string& op, vek::RespType o) {
        reports.push_back(op + " " + std::to_string(static_cast<int>(o)));
    }
    std::vector<std::string> reports;
};

TEST(Navigator, SignInDialogsShowTheFlowsTextsAndHandTheAnswersOver) {
    guiApp();
    WindowHarness h;
    h.window.show();
    test::FakeVekOperations service(h.queue);
    test::FakeCardHolder holder;
    h.navigator.enableVekDialogs(service, holder);
    VekReports listener;
    auto request = vek::makeVekRequest();
    request->idNat = holder.identifier;
    request->action = vek::VekAction::CHECK_PCSC;
    const auto text = [](QDialog* d, const char* name) { return d->findChild<QLabel*>(name)->text(); };
    const auto closed = [&] { return gui_test::waitUntil([&] { return h.navigator.lastDialog() == nullptr; }, 2000); };

    // The wait stays while the service has not answered, Escape or not.
    service.hold = true;
    h.navigator.openSignInWait(request, &listener);
    auto* wait = qobject_cast<qt::QtVekWaitDialog*>(h.navigator.lastDialog());
    ASSERT_NE(wait, nullptr);
    ASSERT_TRUE(gui_test::waitUntil([&] { return !service.calls.empty(); }, 2000));
    EXPECT_EQ(text(wait, "waitTitle"), QStringLiteral("DEMANDE D'AUTHENTIFICATION"));
    wait->reject();
    static_cast<QWidget*>(wait)->close();  // the window's close box
    EXPECT_TRUE(wait->isVisible());
    keepScreenshot(*wait, "vek-wait");
    service.release();
    h.queue.runReady();
    EXPECT_TRUE(closed());
    EXPECT_EQ(listener.reports, std::vector<std::string>{"pendingRequestDone 0"});

    h.navigator.openSignIn(request, &listener);
    QDialog* auth = h.navigator.lastDialog();
    ASSERT_NE(qobject_cast<qt::QtVekAuthDialog*>(auth), nullptr);
    ASSERT_TRUE(gui_test::waitUntil([&] { return text(auth, "newAuthLabel").contains("Portail"); }, 2000));
    EXPECT_EQ(text(auth, "newAuthLabel"),
              QStringLiteral("Le service \"Portail Santé\" demande l'accès à votre compte e-QEL"));
    EXPECT_EQ(auth->findChild<qt::PictureView*>("dialogIcon")->pictureName(), "vek-request");
    keepScreenshot(*auth, "vek-request");
    auth->findChild<QPushButton*>("notifyButton")->click();
    EXPECT_TRUE(closed());
    EXPECT_EQ(listener.reports.back(), "refuseRequest 1");

    request->codes = std::vector<std::string>{"47", "12", "85"};
    h.navigator.openSignInCodes(request, &listener);
    QDialog* codes = h.navigator.lastDialog();
    ASSERT_NE(qobject_cast<qt::QtVekCodesDialog*>(codes), nullptr);
    auto* code2 = codes->findChild<QPushButton*>("code2");
    ASSERT_TRUE(gui_test::waitUntil([&] { return code2->text() == QStringLiteral("12"); }, 2000));
    EXPECT_EQ(codes->findChild<QPushButton*>("code3")->text(), QStringLiteral("85"));
    keepScreenshot(*codes, "vek-codes");
    code2->click();
    EXPECT_TRUE(closed());
    EXPECT_EQ(request->code, "12");
    EXPECT_EQ(listener.reports.back(), "codeChosen 0");
    // Escape (or the close box) refuses, as the cancel does: the service is told, not left waiting.
    h.navigator.openSignInCodes(request, &listener);
    codes = h.navigator.lastDialog();
    ASSERT_NE(qobject_cast<qt::QtVekCodesDialog*>(codes), nullptr);
    codes->reject();
    EXPECT_TRUE(closed());
    EXPECT_EQ(listener.reports.back(), "refuseRequest " + std::to_string(static_cast<int>(vek::RespType::CANCEL)));

    h.navigator.openSignInDone(request, &listener);
    QDialog* valid = h.navigator.lastDialog();
    ASSERT_TRUE(gui_test::waitUntil([&] { return text(valid, "titleMesage") == "AUTHENTIFICATION RÉUSSIE"; }, 2000));
    EXPECT_EQ(
        text(valid, "message"),
        QStringLiteral("La demande d'authentification pour le service \"Portail Santé\" a bien été prise en compte."));
    EXPECT_EQ(valid->findChild<qt::PictureView*>("dialogIcon")->pictureName(), "vek-success");
    keepScreenshot(*valid, "vek-result");
    valid->findChild<QPushButton*>("continueButton")->click();
    EXPECT_TRUE(closed());

    h.navigator.openSignInAlert(vek::RespType::BAD_CODE);
    QDialog* alert = h.navigator.lastDialog();
    ASSERT_TRUE(gui_test::waitUntil([&] { return text(alert, "message").startsWith("Le code"); }, 2000));
    EXPECT_EQ(text(alert, "message"),
              QStringLiteral("Le code sélectionné n'est pas valide.\nLa demande d'authentification reste en attente : "
                             "appuyez de nouveau sur AUTHENTIFICATION pour choisir un autre code"));
    EXPECT_EQ(text(alert, "titleAlert"), QStringLiteral("DEMANDE D'AUTHENTIFICATION"));
    keepScreenshot(*alert, "vek-alert");
    alert->findChild<QPushButton*>("closeButton")->click();
    EXPECT_TRUE(closed());

    h.navigator.openQuitWhileSignedIn(&listener);
    QDialog* quit = h.navigator.lastDialog();
    ASSERT_NE(qobject_cast<qt::QtVekQuitDialog*>(quit), nullptr);
    keepScreenshot(*quit, "vek-quit");
    quit->findChild<QPushButton*>("quitButton")->click();
    EXPECT_TRUE(closed());
    EXPECT_EQ(listener.reports.back(), "disconnect silent 0");

    h.navigator.openSignOut(request, &listener);
    QDialog* deauth = h.navigator.lastDialog();
    ASSERT_NE(qobject_cast<qt::QtVekDeauthDialog*>(deauth), nullptr);
    EXPECT_EQ(text(deauth, "titleMesage"), QStringLiteral("DÉCONNEXION"));
    deauth->findChild<QPushButton*>("continueButton")->click();
    EXPECT_TRUE(closed());

    for (const char* picture : {"vek-request", "vek-codes", "vek-success", "vek-failure", "vek-alert", "vek-logout"}) {
        SCOPED_TRACE(picture);
        EXPECT_TRUE(QSvgRenderer(qt::picturePath(picture)).isValid());
    }
}

/// The first visible top-level widget of that type.
template <typename Widget>
Widget* openDialog() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* d = qobject_cast<Widget*>(w); d && d->isVisible()) return d;
    return nullptr;
}

TEST(CertificateView, DialogShowsTheDecodedCertificateAndTheSaveWritesItsBytes) {
    guiApp();
    sim::PkeyPtr key = sim::generateRsaKey(2048);
    sim::CertificateRequest r;
    r.subject = {{"C", "FR"}, {"O", "IRV"}, {"CN", "ACI-FO-PP-TEST"}};
    r.notBefore = "20240101000000Z";
    r.notAfter = "20340101000000Z";
    r.ca = true;
    r.keyUsage = "critical,keyCertSign,cRLSign";
    sim::X509Ptr issuer = sim::issueCertificate(r, key.get(), nullptr, key.get());
    r.subject = {{"C", "FR"}, {"O", "CABINET DUPONT"}, {"serialNumber", "810001234567"}, {"CN", "JEAN DUPONT"}};
    r.ca = false;
    r.keyUsage = "critical,digitalSignature,keyEncipherment";
    r.extendedKeyUsage = "clientAuth,emailProtection";
    r.crlUrls = {"http://127.0.0.1:8081/crl/ACI-FO-PP-TEST.crl", "http://127.0.0.1:8081/crl/ACI-FO-PP-TEST.crl"};
    sim::X509Ptr leaf = sim::issueCertificate(r, key.get(), issuer.get(), key.get());
    const Bytes der = sim::derOf(leaf.get());

    QWidget window;
    window.resize(900, 700);
    window.show();
    qt::QtCertificateView view;
    qt::QtCertificateViewer viewer(&window);
    qt::QtFilePicker files(&window);
    struct NoDownload : CrlFetcher {
        std::optional<Bytes> fetch(const std::string&, const std::string&) override { return std::nullopt; }
    } fetcher;
    AuthorityStore authorities{std::vector<AuthorityCertificate>{}};
    const std::string folder = std::string(std::getenv("HOME")) + "/certificate-view";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    CertificateController controller(
        view, CertificateViewServices{viewer, files, fetcher, authorities, folder + "/root.crl", folder});
    controller.setCertificates(
        std::vector{std::make_shared<Pkcs11X509>(der, Bytes{1}, std::string(kAuthentCertificateName), true)});

    QString fingerprint, title;
    int extensions = 0;
    QTimer::singleShot(100, [&] {
        auto* dialog = openDialog<QDialog>();
        if (!dialog) return;
        title = dialog->windowTitle();
        for (auto* label : dialog->findChildren<QLabel*>())
            if (label->text().count(QLatin1Char(':')) == 31) fingerprint = label->text();
        if (auto* tree = dialog->findChild<QTreeWidget*>(QStringLiteral("extensions")))
            extensions = tree->topLevelItemCount();
        // Under a real X server (xvfb-run), a picture of the screen for the record.
        if (const char* shot = std::getenv("QEL_SCREENSHOT")) {
            gui_test::processFor(300);
            QProcess::execute(QStringLiteral("import"),
                              {QStringLiteral("-window"), QStringLiteral("root"), QString::fromLocal8Bit(shot)});
        }
        dialog->reject();
    });
    controller.onViewAuthentCertificate();
    EXPECT_EQ(title.toStdString(), kAuthentCertificateName);
    EXPECT_EQ(fingerprint.size(), 32 * 3 - 1);
    EXPECT_GE(extensions, 5);  // constraints, usages, key identifiers, distribution points

    QString proposed;
    QTimer::singleShot(100, [&] {
        auto* dialog = openDialog<QFileDialog>();
        if (!dialog) return;
        proposed = QFileInfo(dialog->selectedFiles().value(0)).fileName();
        static_cast<QDialog*>(dialog)->accept();
    });
    controller.onSaveAuthentCertificate();
    EXPECT_EQ(proposed.toStdString(), std::string(kAuthentCertificateName) + " - .cer");
    std::ifstream saved(folder + "/" + proposed.toStdString(), std::ios::binary);
    EXPECT_EQ(Bytes((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>()), der);
}

struct AnsweringAlerts : ui::AlertPresenter {
    int runModal(const ui::Alert& alert) override {
        alerts.push_back(alert);
        return 0;
    }
    std::vector<ui::Alert> alerts;
};

TEST(MaintenanceView, TheBoxAndItsLabelSwitchTheLibrarysTraces) {
    guiApp();
    WindowHarness h;
    AnsweringAlerts alerts;
    RecordingListener mainWindow;
    auto* page = new qt::QtMaintenanceView;
    MaintenanceController maintenance(*page, MaintenanceServices{h.navigator, alerts, h.services, mainWindow, {}, {}});
    h.window.setSubViewWidget(ui::SubView::maintenance, page);
    h.window.show();
    h.controller.showMaintenance();
    EXPECT_EQ(h.window.currentSubView(), ui::SubView::maintenance);

    auto* box = page->findChild<QCheckBox*>("activeTraces");
    ASSERT_TRUE(box);
    EXPECT_FALSE(box->isChecked());
    box->click();
    EXPECT_TRUE(LogUtils::isTraceActive());
    page->findChild<QPushButton*>("traceLabelButton")->click();
    EXPECT_FALSE(box->isChecked());
    EXPECT_FALSE(LogUtils::isTraceActive());
    EXPECT_EQ(alerts.alerts.size(), 2u);
    page->findChild<QPushButton*>("contactSupportButton")->click();
    EXPECT_EQ(h.services.urls, std::vector<std::string>{kSupportContactUrl});
    if (const char* shot = std::getenv("KARTELLO_SCREENSHOT")) h.window.grab().save(QString::fromLocal8Bit(shot));
}

struct NoFile : ui::FilePicker {
    std::optional<std::string> chooseSaveLocation(const ui::SaveRequest&) override { return std::nullopt; }
};

TEST(ServicesWindow, ShowsTheReportAsWrittenAndItsButtonsAtTheEnd) {
    guiApp();
    WindowHarness h;
    h.window.show();
    ServiceReportRecorder recorder;
    NoFile files;
    auto* dialog = new qt::QtServicesWindow(&h.window);
    auto services = std::make_shared<ServicesController>(
        *dialog, ServicesViewServices{h.library, recorder, h.queue, files, "1.0", "/tmp", {}},
        ServicesTestRequest{0, std::make_shared<SecretBytes>("1234"), nullptr});
    dialog->keepAlive(services);
    dialog->present();
    services->onShown();
    EXPECT_FALSE(dialog->findChild<QPushButton*>("quit")->isEnabled());
    services->waitForWorker();
    h.queue.runReady();
    ASSERT_TRUE(services->finished());
    EXPECT_EQ(dialog->findChild<QPlainTextEdit*>("resultText")->toPlainText().toStdString(), services->report());
    EXPECT_EQ(dialog->findChild<QProgressBar*>("progressBar")->value(), 100);
    EXPECT_EQ(dialog->findChild<QLabel*>("stepLabel")->text(), QStringLiteral("Test des services terminé"));
    EXPECT_TRUE(dialog->findChild<QPushButton*>("resultSaveButton")->isEnabled());
    if (const char* shot = std::getenv("KARTELLO_SERVICES_SCREENSHOT"))
        dialog->grab().save(QString::fromLocal8Bit(shot));
    dialog->findChild<QPushButton*>("quit")->click();
}

TEST(ServicesWindow, TheReportsMarksAreDrawnInColourNotAsEmptyBoxes) {
    guiApp();
    WindowHarness h;
    h.window.show();
    test::FakeIssuerModule module;
    module.addSlot("Reader 0", true);
    ServiceReportRecorder recorder;
    Pkcs11Library cardLibrary(module.functions(), nullptr, &recorder);
    cardLibrary.initialize();
    NoFile files;
    auto* dialog = new qt::QtServicesWindow(&h.window);
    auto services = std::make_shared<ServicesController>(
        *dialog, ServicesViewServices{cardLibrary, recorder, h.queue, files, "1.0", "/tmp", {}},
        ServicesTestRequest{0, std::make_shared<SecretBytes>("1234"), nullptr});
    dialog->keepAlive(services);
    dialog->present();
    services->onShown();
    services->waitForWorker();
    h.queue.runReady();
    ASSERT_NE(services->report().find("\u2705"), std::string::npos);
    auto* text = dialog->findChild<QPlainTextEdit*>("resultText");
    // The mark alone, in the report's font: a drawn emoji has colour, a missing glyph is grey.
    QLabel mark(QStringLiteral("\u2705"));
    mark.setFont(text->font());
    const QImage image = mark.grab().toImage();
    int coloured = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            coloured += std::abs(c.red() - c.green()) > 40 || std::abs(c.green() - c.blue()) > 40;
        }
    EXPECT_GT(coloured, 10);
    dialog->resize(900, 640);
    keepScreenshot(*dialog, "services-report");
    dialog->findChild<QPushButton*>("quit")->click();
    delete dialog;  // its card goes before the library on this stack
}

TEST(Accessibility, EveryTextColourOfTheStyleSheetAndTheControllersReads45To1) {
    guiApp();
    QFile sheet(QStringLiteral(":/style/kartello.qss"));
    ASSERT_TRUE(sheet.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(sheet.readAll());
    // Rules that set a text colour without a background sit on white, or on the dark header.
    const QColor white(Qt::white), header(0x21, 0x39, 0x4B);
    const QRegularExpression rule(QStringLiteral("([^{}]+)\\{([^}]*)\\}"));
    const QRegularExpression colour(QStringLiteral("(?:^|[;\\s])color:\\s*(#[0-9A-Fa-f]{6})"));
    const QRegularExpression background(QStringLiteral("background:\\s*(#[0-9A-Fa-f]{6})"));
    int checked = 0;
    for (auto it = rule.globalMatch(text); it.hasNext();) {
        const auto match = it.next();
        const QString selector = match.captured(1).trimmed(), body = match.captured(2);
        const auto fg = colour.match(body);
        if (!fg.hasMatch() || selector.contains(QStringLiteral("dialogIcon"))) continue;  // a drawing, not text
        const auto bg = background.match(body);
        const bool onHeader = selector.contains(QStringLiteral("appTitle")) ||
                              selector.contains(QStringLiteral("appSubtitle")) ||
                              selector.contains(QStringLiteral("readerTitle"));
        const QColor under = bg.hasMatch() ? QColor(bg.captured(1)) : onHeader ? header : white;
        EXPECT_GE(qt::contrastRatio(QColor(fg.captured(1)), under), 4.5) << selector.toStdString();
        ++checked;
    }
    EXPECT_GT(checked, 25);
    // The side bar's own backgrounds, under its titles and its greyed entries.
    for (const char* under : {"#F8FAFC", "#E9F4FA", "#E3EEF5"})
        for (const char* title : {"#21394B", "#5F6B76", "#56636F"})
            EXPECT_GE(qt::contrastRatio(QColor(title), QColor(under)), 4.5) << title << " on " << under;
    for (const auto& c : {ui::colours::lightGrey, ui::colours::blue, ui::colours::darkGrey, ui::colours::red,
                          ui::colours::hover, ui::colours::normalButtonTitle, ui::colours::green})
        EXPECT_GE(qt::contrastRatio(qt::textColour(c), QColor(0xE3, 0xEE, 0xF5)), 4.5);
    for (const char* job : {"etabli", "person", "medecin", "pharma", "chdent", "sagefem", "infir", "kine", "pedicu",
                            "Fmed", "Fpharma", "Fchdent", "Fsagefem", "empty"})
        EXPECT_GE(qt::contrastRatio(qt::namedColour(job), white), 4.5) << job;
}

TEST(Accessibility, DrawnWidgetsHaveARoleAndAFrenchNameAndTitlesLoseTheirMnemonic) {
    guiApp();
    qt::installAccessibility();
    qt::PictureView stepper;
    stepper.setPicture("step2");
    QAccessibleInterface* picture = QAccessible::queryAccessibleInterface(&stepper);
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->role(), QAccessible::Graphic);
    EXPECT_EQ(picture->text(QAccessible::Name), QStringLiteral("Étape 2 sur 4 : code PIN"));
    qt::Spinner spinner;
    QAccessibleInterface* busy = QAccessible::queryAccessibleInterface(&spinner);
    ASSERT_NE(busy, nullptr);
    EXPECT_EQ(busy->role(), QAccessible::Animation);
    EXPECT_FALSE(busy->state().busy);
    spinner.start();
    EXPECT_TRUE(busy->state().busy);
    EXPECT_EQ(busy->text(QAccessible::Name), QStringLiteral("Opération en cours"));
    spinner.stop();

    QPushButton entry(QStringLiteral("&SAISIE CODE PIN")), padlock;
    qt::QtButton title(&entry), icon(&padlock);
    EXPECT_EQ(title.title(), "SAISIE CODE PIN");
    EXPECT_EQ(qt::withoutMnemonic(QStringLiteral("R&&D &Test")), QStringLiteral("R&D Test"));
    icon.setTooltip("Saisir le code PIN");
    EXPECT_EQ(padlock.accessibleName(), QStringLiteral("Saisir le code PIN"));

    // The sign-in codes are read out as a choice, and Enter on a tile picks that tile only.
    WindowHarness h;
    auto* codes = new qt::QtVekCodesDialog(&h.window);
    codes->setCodeTitles({"12", "47", "85"});
    auto* tile = codes->findChild<QPushButton*>("code2");
    EXPECT_EQ(tile->accessibleName(), QStringLiteral("Choisir le code 47"));
    EXPECT_TRUE(tile->autoDefault());
    EXPECT_FALSE(tile->isDefault());
    delete codes;
}

}  // namespace
}  // namespace qel
