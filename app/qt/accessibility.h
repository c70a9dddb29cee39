#pragma once
// What Kartello's widgets tell the screen readers (AT-SPI through Qt's accessibility bridge) beyond
// what Qt's own widgets say: the drawn pictures and the activity indicator get a role and a French
// name, icon-only buttons take their tooltip as name, the values of the title–value grids name
// their title, and the labels marked `announce` speak each new text.
#include <QColor>
#include <QString>
#include <string>

class QLabel;
class QWidget;

namespace qel::qt {

/// Installs the accessible interfaces of the drawn widgets and the naming pass that runs on every
/// widget before it is first shown. Once per process, after the QApplication exists.
void installAccessibility();

/// The French words a screen reader says for one of the application's pictures ("" for one that
/// only decorates).
QString pictureDescription(const std::string& pictureName);

/// Tells the screen readers that `label` now says its text (the status line, a dialog's result).
void announce(QLabel* label);

/// The WCAG contrast ratio of two opaque colours (1 to 21).
double contrastRatio(const QColor& a, const QColor& b);

/// `colour` darkened, keeping its hue, until text of it reaches 4.5:1 on `background`.
QColor readableOn(const QColor& colour, const QColor& background);

}  // namespace qel::qt
