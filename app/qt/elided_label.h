#pragma once
#include <QLabel>

namespace qel::qt {

/// A one-line label that ends a text too long for it with "…" instead of cutting a letter in half.
/// `text()` stays the whole text.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
    QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace qel::qt
