// Kartello: the QEL card holder's desktop application.
#include <QApplication>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "app/qt/kartello_app.h"
#include "app/qt/pictures.h"
#include "app/qt/qt_desktop_services.h"
#include "authservice/http_session.h"
#include "common/logger.h"
#include "app/qt/accessibility.h"
#include "issuerlib/pkcs11_library.h"

int main(int argc, char** argv) {
    // The sign-in's TLS logs in to Sigilla without a PIN, taking over the card that Kartello's own PIN
    // step verified; Sigilla allows that only to the process that asks, by its pid, before any thread
    // starts (the programs Kartello starts inherit the variable, not the permission).
    setenv("SIGILLA_ADOPT_VERIFIED_CARD", std::to_string(getpid()).c_str(), 1);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kartello"));
    QApplication::setApplicationDisplayName(QStringLiteral("Kartello"));
    QApplication::setOrganizationName(QStringLiteral("Oberlane"));
    QApplication::setApplicationVersion(QStringLiteral(KARTELLO_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.oberlane.qel.kartello"));
    qelInitQtResources();
    app.setStyleSheet(qel::qt::kartelloStyleSheet());
    qel::qt::installQtFrenchTranslation();
    qel::qt::installAccessibility();

    qel::Logger::configure("/KartelloStore", "Kartello");
    // Seen by the agent as running; a second Kartello simply does not get the name.
    qel::qt::claimBusName(QStringLiteral("org.oberlane.qel.kartello"));

    qel::qt::KartelloApp kartello(qel::configuredPkcs11LibraryPath());
    kartello.start();
    const int status = app.exec();
    kartello.stop();
    // Completions of requests still under way must not reach the main queue, which goes with the app.
    qel::vek::HttpSession::shared().shutdown();
    return status;
}
