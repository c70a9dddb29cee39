#include "app/qt/qt_desktop_services.h"

#include "platform/qt/program_launch.h"

#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>
#include <vector>

#include "app/qt/qt_widgets.h"

namespace qel::qt {

int QtAlertPresenter::runModal(const ui::Alert& alert) {
    QMessageBox box(window_.data());
    switch (alert.style) {
        case ui::Alert::Style::informational:
            box.setIcon(QMessageBox::Information);
            break;
        case ui::Alert::Style::warning:
            box.setIcon(QMessageBox::Warning);
            break;
        case ui::Alert::Style::critical:
            box.setIcon(QMessageBox::Critical);
            break;
    }
    box.setText(toQString(alert.messageText));
    box.setInformativeText(toQString(alert.informativeText));
    box.setWindowModality(window_ ? Qt::WindowModal : Qt::ApplicationModal);
    std::vector<QAbstractButton*> buttons;
    const std::vector<std::string> titles = alert.buttons.empty() ? std::vector<std::string>{"OK"} : alert.buttons;
    for (std::size_t i = 0; i < titles.size(); ++i) {
        // The first title accepts; the others are plain choices in their order.
        auto* button = box.addButton(toQString(titles[i]), i == 0 ? QMessageBox::AcceptRole : QMessageBox::ActionRole);
        buttons.push_back(button);
        if (static_cast<int>(i) == alert.defaultButton) box.setDefaultButton(static_cast<QPushButton*>(button));
        // Escape answers as the cancel does; an alert of one button is closed by it.
        if (titles[i] == "Annuler" || titles[i] == "Non" || titles[i] == "Fermer") box.setEscapeButton(button);
    }
    box.exec();
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        if (box.clickedButton() == buttons[i]) return int(i);
    }
    return -1;
}

void QtClipboard::setText(const std::string& text) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(toQString(text));
}

bool QtUrlOpener::openUrl(const std::string& url) { return QDesktopServices::openUrl(QUrl(toQString(url))); }

bool QtFileRevealer::reveal(const std::string& path) {
    const QFileInfo file(toQString(path));
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
            QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
        call << QStringList{QUrl::fromLocalFile(file.absoluteFilePath()).toString()} << QString();
        // A short wait: with no file manager on the bus the answer is an error at once.
        const QDBusMessage reply = bus.call(call, QDBus::Block, 3000);
        if (reply.type() == QDBusMessage::ReplyMessage) return true;
    }
    return QDesktopServices::openUrl(QUrl::fromLocalFile(file.absolutePath()));
}

bool QtProgramLauncher::isRunning(const std::string& identifier) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr) return false;
    return bus.interface()->isServiceRegistered(toQString(identifier)).value();
}

QString QtProgramLauncher::locate(const std::string& identifier) { return locateProgram(identifier); }

bool QtProgramLauncher::launch(const std::string& identifier) { return startDetachedQuietly(locate(identifier)); }

bool claimBusName(const QString& name) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.registerService(name);
}

}  // namespace qel::qt
