#include "app/qt/kartello_app.h"

#include <QCoreApplication>
#include <QFile>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <QPushButton>
#include <QString>
#include <QTimer>

#include "app/app_delegate.h"
#include "app/certificate_view_controller.h"
#include "management/diagnostics_archive.h"
#include "app/log_utils.h"
#include "app/maintenance_view_controller.h"
#include "app/qt/maintenance_view.h"
#include "app/services_view_controller.h"
#include "app/qt/certificate_view.h"
#include "app/qt/main_window.h"
#include "app/qt/qt_desktop_services.h"
#include "platform/qt/qt_main_queue.h"
#include "app/qt/qt_navigator.h"
#include "app/background_queue.h"
#include "management/scard/card_readers.h"
#include "management/scard/scard.h"
#include "management/revocation/crl_download.h"
#include "app/tmaj_backend.h"
#include "app/token_watch.h"
#include "management/trust/authority_store.h"
#include "management/trust/nss_certificate_store.h"
#include "management/trust/trust_installer.h"
#include "app/vek_settings.h"
#include "app/view_controller.h"
#include "authservice/http_session.h"
#include "authservice/tls/client_tls.h"
#include "authservice/vek_service_operations.h"
#include "common/logger.h"
#include "common/user_dirs.h"
#include "issuerlib/pkcs11_library.h"
#include "issuerlib/service_report.h"
#include "platform/pcsc/pcsc_api.h"
#include "platform/pcsc/slot_manager.h"
#include "platform/pcsc/token_watcher.h"
#include "update/tmaj_manager.h"
#include "update/tmaj_service.h"

namespace qel::qt {

bool installQtFrenchTranslation() {
    static QTranslator translator;
    if (translator.isEmpty() &&
        !translator.load(QLocale(QLocale::French), QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        logWarning("Traduction française de Qt introuvable : les boîtes de dialogue standard restent en anglais");
        return false;
    }
    QCoreApplication::installTranslator(&translator);
    return true;
}

QString kartelloStyleSheet() {
    QFile file(QStringLiteral(":/style/kartello.qss"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
}

// Declaration order is construction order: every part is built after what it uses and destroyed
// before it.
struct KartelloApp::Parts {
    explicit Parts(const std::string& libraryPath)
        : library(libraryPath),
          pcscApi(pcsc::systemPcscApi()),
          slotManager(pcscApi),
          readers(slotManager),
          scard(readers, serviceLog),
          watcher(pcscApi, [](SmartCard& card) { return readQelSerial(card); }),
          tokenWatch(watcher, serviceLog),
          appDelegate(library, launcher, [] { LogUtils::ensureConfigFile(); }),
          alerts(&window),
          navigator(window, mainQueue, scard),
          authorities(authorityDirectory()),
          certificateViewer(&window),
          certificateFiles(&window),
          certificates(window.certificateView(),
                       CertificateViewServices{certificateViewer, certificateFiles, crlFetcher, authorities,
                                               defaultCrlPath(), userdirs::desktopDir()}),
          trust(authorities, nssStore, alerts),
          maintenanceView(new QtMaintenanceView),
          reportFiles(&window),
          // The controller below is only reached once the user acts, after it was built.
          maintenance(*maintenanceView,
                      MaintenanceServices{
                          navigator, alerts, urlOpener, controller,
                          [this](std::shared_ptr<Pkcs11Card> card) { controller.replaceSelectedCard(std::move(card)); },
                          [this] {
                              exportDiagnostics(alerts, std::chrono::system_clock::now(), std::chrono::seconds(5),
                                                &fileRevealer);
                          },
                          &scard, [this](bool paused) { controller.pauseCardEvents(paused); }}),
          controller(window, appDelegate,
                     ViewControllerServices{library,
                                            mainQueue,
                                            navigator,
                                            urlOpener,
                                            clipboard,
                                            scard,
                                            readers,
                                            &tokenWatch,
                                            LaterHooks{&certificates, &trust, &maintenance, &vekSettings, &updateCheck},
                                            {},
                                            &alerts}) {
        certificates.setMainWindow(&controller);
        navigator.enableUpdateWizard(background, tmajBackend);
        navigator.enableVekDialogs(vekOperations, controller);
        // The service knows the holder by the certificate of the card that signs the handshake.
        vek::HttpSession::shared().setClientTlsConfigurator(std::make_shared<vek::CardClientTls>());
        window.setSubViewWidget(ui::SubView::maintenance, maintenanceView);
        library.setRecorder(&processServiceReportRecorder());
        navigator.registerSegue(kServicesSegue, [this](const ui::SegueValues& values) { openServices(values); });
    }

    void openServices(const ui::SegueValues& values) {
        const auto* request = std::any_cast<ServicesTestRequest>(&values.sender);
        if (!request) return;
        auto* dialog = new QtServicesWindow(&window);
        auto services = std::make_shared<ServicesViewController>(
            *dialog,
            ServicesViewServices{library,
                                 processServiceReportRecorder(),
                                 mainQueue,
                                 reportFiles,
                                 QCoreApplication::applicationVersion().toStdString(),
                                 userdirs::desktopDir(),
                                 {}},
            *request);
        dialog->keepAlive(services);
        dialog->setCloseRequestHandler([c = services.get()] { c->onCloseRequest(); });
        dialog->present();
        std::weak_ptr<ServicesViewController> weak = services;
        QTimer::singleShot(0, dialog, [weak] {
            if (auto c = weak.lock()) c->viewDidAppear();
        });
    }

    Pkcs11Library library;
    QtMainQueue mainQueue;
    std::shared_ptr<pcsc::PcscApi> pcscApi;
    pcsc::SlotManager slotManager;
    PcscCardReaders readers;
    ServiceAbsenceLog serviceLog;
    Scard scard;
    pcsc::TokenWatcher watcher;
    PcscTokenWatch tokenWatch;
    QtProgramLauncher launcher;
    QtUrlOpener urlOpener;
    QtFileRevealer fileRevealer;
    QtClipboard clipboard;
    AppDelegate appDelegate;
    QtMainWindow window;
    QtAlertPresenter alerts;
    QtNavigator navigator;
    CurlCrlFetcher crlFetcher;
    AuthorityStore authorities;
    QtCertificateViewer certificateViewer;
    QtFilePicker certificateFiles;
    CertificateViewController certificates;
    NssCertificateStore nssStore;
    TrustCertificatesInstaller trust;
    TmajManager tmajManager;
    TmajService tmajService{tmajManager};
    ServiceTmajBackend tmajBackend{tmajManager, tmajService};
    // Joined before the update client it runs, and before the main queue its tasks post to.
    BackgroundQueue background;
    BackgroundUpdateCheck updateCheck{tmajBackend, background, mainQueue};
    QtMaintenanceView* maintenanceView;  // owned by the window
    QtFilePicker reportFiles;
    MaintenanceViewController maintenance;
    ServiceVekOperations vekOperations{mainQueue};
    ProcessVekSettings vekSettings;
    ViewController controller;
};

KartelloApp::KartelloApp(const std::string& pkcs11LibraryPath) : parts_(std::make_unique<Parts>(pkcs11LibraryPath)) {
    auto& p = *parts_;
    p.appDelegate.activateDemoMenuItem = p.window.outlets().activateDemoMenuItem;
    p.appDelegate.desactivateDemoMenuItem = p.window.outlets().desactivateDemoMenuItem;
    // The red "card blocked" line offers the same unlock as the main button.
    QObject::connect(p.window.findChild<QPushButton*>(QStringLiteral("cardUnlock")), &QPushButton::clicked,
                     p.window.findChild<QPushButton*>(QStringLiteral("unlockCard")), &QPushButton::click);
    p.window.setAppearHandler([&p] { p.controller.viewDidAppear(); });
}

KartelloApp::~KartelloApp() { stop(); }

void KartelloApp::start() {
    auto& p = *parts_;
    p.appDelegate.applicationDidFinishLaunching();
    p.controller.viewDidLoad();
    p.window.show();
    p.watcher.start();
}

void KartelloApp::stop() {
    if (stopped_) return;
    stopped_ = true;
    parts_->watcher.stop();
    parts_->appDelegate.applicationWillTerminate();
}

QtMainWindow& KartelloApp::window() { return parts_->window; }
QtNavigator& KartelloApp::navigator() { return parts_->navigator; }
ViewController& KartelloApp::controller() { return parts_->controller; }
AppDelegate& KartelloApp::appDelegate() { return parts_->appDelegate; }

}  // namespace qel::qt
