#pragma once
#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <map>
#include <memory>

#include "app/qt/widget_adapters.h"
#include "app/views/main_window_view.h"

namespace Ui {
class MainWindow;
}

namespace qel::qt {

class QtCertificateView;
class QtIdentificationView;
class QtSituationView;

/// Kartello's main window: the reader list, the fourteen main buttons, the card summary with its
/// picture, the container of sub-views, the status line and the application menu. It only shows
/// what its controller sets and hands user actions back.
class QtMainWindow : public QMainWindow, public ui::MainWindowView {
    Q_OBJECT
public:
    explicit QtMainWindow(QWidget* parent = nullptr);
    ~QtMainWindow() override;

    const ui::MainWindowWidgets& widgets() override { return widgets_; }
    ui::IdentificationView& identificationView() override;
    ui::SituationView& situationView() override;
    /// The certificates sub-view, driven by its own controller.
    QtCertificateView& certificateView() { return *certificate_; }
    void showSubView(ui::SubView view) override;
    void letEventLoopRun() override;
    void closeWindow() override;
    void showAboutPanel() override;
    void announce(const std::string& text) override;
    void setCloseRequestHandler(std::function<bool()> handler) override;
    void setHoverHandler(std::function<void(const std::string&, bool)> handler) override;

    /// Places the widget of a sub-view that lives outside this window's layout (certificates,
    /// maintenance) in the container; the window takes ownership.
    void setSubViewWidget(ui::SubView view, QWidget* widget);
    /// The sub-view currently in the container.
    ui::SubView currentSubView() const { return current_; }

    /// Called once the window has been shown for the first time, and on every later appearance.
    void setAppearHandler(std::function<void()> handler) { appearHandler_ = std::move(handler); }

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildWidgets();

    std::unique_ptr<Ui::MainWindow> ui_;
    QLabel* announcer_ = nullptr;
    WidgetAdapters adapters_;
    ui::MainWindowWidgets widgets_;
    QtIdentificationView* identification_ = nullptr;
    QtSituationView* situation_ = nullptr;
    QtCertificateView* certificate_ = nullptr;
    std::map<ui::SubView, QWidget*> pages_;
    ui::SubView current_ = ui::SubView::identification;
    std::function<bool()> closeHandler_;
    std::function<void(const std::string&, bool)> hoverHandler_;
    std::function<void()> appearHandler_;
    bool closingWithoutAsking_ = false;
};

}  // namespace qel::qt
