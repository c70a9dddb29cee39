#pragma once
// The card update wizard, shown as a window-modal sheet over the main window.
#include <QProgressBar>
#include <functional>
#include <memory>

#include "app/qt/pin_dialogs.h"
#include "app/qt/qt_widgets.h"
#include "app/views/tmaj_view.h"

namespace Ui {
class TmajDialog;
}

namespace qel::qt {

class QtTmajDialog : public QtSheetDialog, public ui::TmajView {
    Q_OBJECT
public:
    explicit QtTmajDialog(QWidget* parent);
    ~QtTmajDialog() override;
    const ui::TmajOutlets& outlets() override { return outlets_; }
    void focusPinField() override;
    void close() override;

    /// Escape and the window's close box ask this instead of closing; the wizard decides (it stays
    /// open while the session runs).
    void setCloseRequestHandler(std::function<void()> handler) { closeRequest_ = std::move(handler); }
    void reject() override;

private:
    std::unique_ptr<Ui::TmajDialog> ui_;
    ui::TmajOutlets outlets_;
    std::function<void()> closeRequest_;
    bool closing_ = false;
};

}  // namespace qel::qt
