#pragma once
#include <QSvgRenderer>
#include <QWidget>
#include <string>

namespace qel::qt {

/// Draws one of the application's SVG pictures at the widget's size, keeping its proportions and
/// centring it, sharp at any scale. An unknown picture name leaves the widget empty.
class PictureView : public QWidget {
    Q_OBJECT
public:
    explicit PictureView(QWidget* parent = nullptr);

    void setPicture(const std::string& pictureName);
    /// The name last set (empty at start).
    const std::string& pictureName() const { return pictureName_; }

    QSize sizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::string pictureName_;
    QSvgRenderer renderer_;
};

}  // namespace qel::qt
