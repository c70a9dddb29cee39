#include "app/qt/picture_view.h"

#include <QAccessible>
#include <QPainter>

#include "app/qt/pictures.h"

namespace qel::qt {

PictureView::PictureView(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_TranslucentBackground); }

void PictureView::setPicture(const std::string& pictureName) {
    if (pictureName == pictureName_) return;
    pictureName_ = pictureName;
    const QString path = picturePath(pictureName);
    renderer_.load(path.isEmpty() ? QByteArray() : path);
    updateGeometry();
    update();
    // The wizard's steps and the card's picture are read by name: a new picture is news.
    if (QAccessible::isActive()) {
        QAccessibleEvent changed(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&changed);
    }
}

QSize PictureView::sizeHint() const { return renderer_.isValid() ? renderer_.defaultSize() : QSize(16, 16); }

int PictureView::heightForWidth(int width) const {
    if (!renderer_.isValid() || renderer_.defaultSize().width() == 0) return width;
    const QSize size = renderer_.defaultSize();
    return width * size.height() / size.width();
}

void PictureView::paintEvent(QPaintEvent*) {
    if (!renderer_.isValid()) return;
    QSizeF size = renderer_.defaultSize();
    size.scale(QSizeF(contentsRect().size()), Qt::KeepAspectRatio);
    const QRectF area = contentsRect();
    const QRectF target(area.x() + (area.width() - size.width()) / 2, area.y() + (area.height() - size.height()) / 2,
                        size.width(), size.height());
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled()) painter.setOpacity(0.35);
    renderer_.render(&painter, target);
}

}  // namespace qel::qt
