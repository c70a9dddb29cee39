#include "app/qt/elided_label.h"

#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>
#include <QStyle>

namespace qel::qt {

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect area = contentsRect();
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, area.width());
    style()->drawItemText(&painter, area, int(alignment()), palette(), isEnabled(), shown, foregroundRole());
}

bool ElidedLabel::isElided() const { return fontMetrics().horizontalAdvance(text()) > contentsRect().width(); }

bool ElidedLabel::event(QEvent* event) {
    // A tooltip of its own (set by the program) wins; otherwise the cut text is given whole.
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty()) {
        if (isElided())
            QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), text(), this);
        else
            QToolTip::hideText();
        return true;
    }
    return QLabel::event(event);
}

}  // namespace qel::qt
