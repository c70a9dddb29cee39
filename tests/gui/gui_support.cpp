#include "gui_support.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <QWidget>
#include <cstdlib>

#include "app/qt/kartello_app.h"
#include "app/qt/pictures.h"

namespace qel::gui_test {

QApplication& guiApp() {
    static int argc = 1;
    static char name[] = "kartello-gui-test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        // Screenshots kept for the eye are taken on the display, as its window manager draws them.
        const bool onDisplay = !qgetenv("QEL_SCREENSHOT_DIR").isEmpty() && !qgetenv("DISPLAY").isEmpty();
        if (onDisplay)
            qputenv("QT_QPA_PLATFORM", "xcb");
        else if (qgetenv("QT_QPA_PLATFORM").isEmpty())
            qputenv("QT_QPA_PLATFORM", "offscreen");
        auto* created = new QApplication(argc, argv);
        qelInitQtResources();
        created->setStyleSheet(qt::kartelloStyleSheet());
        return created;
    }();
    return *app;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs) return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

void processFor(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
}

void typeText(QWidget* widget, const QString& text) {
    for (QChar c : text) {
        const int key = c.isDigit() ? Qt::Key_0 + c.digitValue() : int(c.toUpper().unicode());
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(c));
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(widget, &press);
        QCoreApplication::sendEvent(widget, &release);
    }
}

int pixelsNear(const QImage& image, const QColor& colour, int tolerance) {
    int count = 0;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < rgb.height(); ++y) {
        for (int x = 0; x < rgb.width(); ++x) {
            const QColor p = rgb.pixelColor(x, y);
            if (std::abs(p.red() - colour.red()) <= tolerance && std::abs(p.green() - colour.green()) <= tolerance &&
                std::abs(p.blue() - colour.blue()) <= tolerance)
                ++count;
        }
    }
    return count;
}

void keepScreen(QWidget& window, const char* name) {
    const QString dir = qEnvironmentVariable("QEL_SCREENSHOT_DIR");
    if (dir.isEmpty()) return;
    processFor(800);  // the window manager's moves and the repaint they bring
    QPixmap picture;
    if (QGuiApplication::platformName() == QLatin1String("xcb") && window.screen())
        picture = window.screen()->grabWindow(0);
    if (picture.isNull()) picture = window.grab();
    picture.save(dir + "/" + QString::fromLatin1(name) + ".png");
}

}  // namespace qel::gui_test
