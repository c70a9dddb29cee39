#pragma once
#include <QTimer>
#include <QWidget>

namespace qel::qt {

/// A small spinning progress indicator: twelve bars fading around a circle while it runs.
class Spinner : public QWidget {
    Q_OBJECT
public:
    explicit Spinner(QWidget* parent = nullptr);

    void start();
    void stop();
    bool isSpinning() const { return timer_.isActive(); }

    QSize sizeHint() const override { return {18, 18}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void tellScreenReader();

    QTimer timer_;
    int step_ = 0;
};

}  // namespace qel::qt
