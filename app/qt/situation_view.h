#pragma once
#include <QWidget>
#include <memory>

#include "app/qt/widget_adapters.h"
#include "app/views/situation_view.h"

namespace Ui {
class SituationView;
}

namespace qel::qt {

/// The situations sub-view: one practice situation per page with its billing block.
class QtSituationView : public QWidget, public ui::SituationView {
    Q_OBJECT
public:
    explicit QtSituationView(QWidget* parent = nullptr);
    ~QtSituationView() override;

    const ui::SituationOutlets& outlets() override { return outlets_; }
    void setViewHidden(bool hidden) override { setHidden(hidden); }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    std::unique_ptr<Ui::SituationView> ui_;
    WidgetAdapters adapters_;
    ui::SituationOutlets outlets_;
};

}  // namespace qel::qt
