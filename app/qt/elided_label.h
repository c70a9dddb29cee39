#pragma once
#include <QLabel>

namespace qel::qt {

/// A one-line label that ends a text too long for it with "…" instead of cutting a letter in half,
/// and then shows the whole text as its tooltip. `text()` stays the whole text.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
    QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }
    /// The text does not fit the label's width: it ends with "…".
    bool isElided() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
};

}  // namespace qel::qt
