#pragma once
#include <QWidget>
#include <memory>

#include "app/qt/widget_adapters.h"
#include "app/views/identification_view.h"

namespace Ui {
class IdentificationView;
}

namespace qel::qt {

/// The identification sub-view: holder and card identity, with a copy button.
class QtIdentificationView : public QWidget, public ui::IdentificationView {
    Q_OBJECT
public:
    explicit QtIdentificationView(QWidget* parent = nullptr);
    ~QtIdentificationView() override;

    const ui::IdentificationOutlets& outlets() override { return outlets_; }
    void setViewHidden(bool hidden) override { setHidden(hidden); }

private:
    std::unique_ptr<Ui::IdentificationView> ui_;
    WidgetAdapters adapters_;
    ui::IdentificationOutlets outlets_;
};

}  // namespace qel::qt
