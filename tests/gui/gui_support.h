#pragma once
#include <QApplication>
#include <QColor>
#include <QImage>
#include <QString>
#include <functional>

namespace qel::gui_test {

/// The test program's application object, with Kartello's resources and style sheet loaded.
QApplication& guiApp();

/// Runs the event loop until `condition` holds or `timeoutMs` passes; the final value.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs);

/// Lets queued work and short timers run for about `ms`.
void processFor(int ms);

/// Types `text` into the widget as key presses, as a user would.
void typeText(QWidget* widget, const QString& text);

/// How many pixels of the image are within `tolerance` (per channel) of `colour`.
int pixelsNear(const QImage& image, const QColor& colour, int tolerance = 6);

/// When $QEL_SCREENSHOT_DIR names a folder, saves there NAME.png: the whole screen as the window
/// manager draws it on a real display, the window alone offscreen (for looking at it by eye).
void keepScreen(QWidget& window, const char* name);

}  // namespace qel::gui_test
