#pragma once
#include <QWidget>
#include <functional>
#include <memory>

#include "app/qt/pin_dialogs.h"
#include "app/qt/widget_adapters.h"
#include "app/views/maintenance_view.h"

class QCheckBox;
class QPlainTextEdit;
class QProgressBar;

namespace Ui {
class MaintenanceView;
class ServicesWindow;
}  // namespace Ui

namespace qel::qt {

/// A QCheckBox; only the user's clicks reach the handler.
class QtCheckBox : public ui::CheckBox {
public:
    explicit QtCheckBox(QCheckBox* box);
    void setEnabled(bool enabled) override;
    bool isEnabled() const override;
    void setHidden(bool hidden) override;
    bool isHidden() const override;
    void setTooltip(const std::string& text) override;
    void setChecked(bool checked) override;
    bool isChecked() const override;
    void setToggleHandler(std::function<void()> handler) override { handler_ = std::move(handler); }

private:
    QCheckBox* box_;
    std::function<void()> handler_;
};

/// The maintenance sub-view.
class QtMaintenanceView : public QWidget, public ui::MaintenanceView {
    Q_OBJECT
public:
    explicit QtMaintenanceView(QWidget* parent = nullptr);
    ~QtMaintenanceView() override;
    const ui::MaintenanceOutlets& outlets() override { return outlets_; }

private:
    std::unique_ptr<Ui::MaintenanceView> ui_;
    WidgetAdapters adapters_;
    std::unique_ptr<QtCheckBox> traces_;
    ui::MaintenanceOutlets outlets_;
};

/// The services test window, a sheet over the main window.
class QtServicesWindow : public QtSheetDialog, public ui::ServicesView {
    Q_OBJECT
public:
    explicit QtServicesWindow(QWidget* parent);
    ~QtServicesWindow() override;
    const ui::ServicesOutlets& outlets() override { return outlets_; }
    void close() override {
        closing_ = true;
        QDialog::close();
    }
    void hide() override { QDialog::hide(); }
    /// Escape and the close box ask this instead of closing the window.
    void setCloseRequestHandler(std::function<void()> handler) { closeRequest_ = std::move(handler); }
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::function<void()> closeRequest_;
    bool closing_ = false;
    std::unique_ptr<Ui::ServicesWindow> ui_;
    std::vector<std::unique_ptr<ui::Widget>> own_;
    ui::ServicesOutlets outlets_;
};

}  // namespace qel::qt
