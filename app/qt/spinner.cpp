#include "app/qt/spinner.h"

#include <QAccessible>
#include <QPainter>
#include <algorithm>

namespace qel::qt {

namespace {
constexpr int kBars = 12;
}

Spinner::Spinner(QWidget* parent) : QWidget(parent) {
    timer_.setInterval(80);
    connect(&timer_, &QTimer::timeout, this, [this] {
        step_ = (step_ + 1) % kBars;
        update();
    });
}

void Spinner::start() {
    if (timer_.isActive()) return;
    timer_.start();
    tellScreenReader();
}

void Spinner::stop() {
    if (!timer_.isActive()) return;
    timer_.stop();
    tellScreenReader();
}

void Spinner::tellScreenReader() {
    if (!QAccessible::isActive()) return;
    QAccessible::State busy;
    busy.busy = true;
    QAccessibleStateChangeEvent state(this, busy);
    QAccessible::updateAccessibility(&state);
    QAccessibleEvent name(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&name);
}

void Spinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = std::min(width(), height());
    painter.translate(width() / 2.0, height() / 2.0);
    QColor colour = palette().color(QPalette::WindowText);
    QPen pen;
    pen.setWidthF(std::max<qreal>(1.5, side / 10));
    pen.setCapStyle(Qt::RoundCap);
    for (int i = 0; i < kBars; ++i) {
        // The bar at the current step is the darkest; the others fade behind it.
        const int age = (step_ - i + kBars) % kBars;
        colour.setAlphaF(1.0 - age * 0.07);
        pen.setColor(colour);
        painter.setPen(pen);
        painter.save();
        painter.rotate(i * 360.0 / kBars);
        painter.drawLine(QPointF(0, -side * 0.25), QPointF(0, -side * 0.45));
        painter.restore();
    }
}

}  // namespace qel::qt
