#pragma once
// The three PIN dialogs, shown as window-modal sheets over the main window.
#include <QDialog>
#include <memory>
#include <vector>

#include "app/qt/widget_adapters.h"
#include "app/views/pin_dialog_views.h"

namespace Ui {
class SaisiePinDialog;
class ModifPinDialog;
class UnlockCardDialog;
}  // namespace Ui

namespace qel::qt {

/// What the three dialogs share: sheet presentation, deletion once closed, and keeping their
/// controller alive exactly as long as the dialog.
class QtSheetDialog : public QDialog {
    Q_OBJECT
public:
    explicit QtSheetDialog(QWidget* parent);
    ~QtSheetDialog() override;

    /// Shows the dialog as a window-modal sheet of its parent and returns at once.
    void present();
    /// Holds `owned` until the dialog is destroyed (its controller).
    void keepAlive(std::shared_ptr<void> owned) { owned_.push_back(std::move(owned)); }

protected:
    bool event(QEvent* event) override;
    WidgetAdapters adapters_;

private:
    void fitWrappedText();
    std::vector<std::shared_ptr<void>> owned_;
};

class QtSaisiePinDialog : public QtSheetDialog, public ui::SaisiePinView {
    Q_OBJECT
public:
    explicit QtSaisiePinDialog(QWidget* parent);
    ~QtSaisiePinDialog() override;
    const ui::SaisiePinOutlets& outlets() override { return outlets_; }
    void close() override { QDialog::close(); }

private:
    std::unique_ptr<Ui::SaisiePinDialog> ui_;
    ui::SaisiePinOutlets outlets_;
};

class QtModifPinDialog : public QtSheetDialog, public ui::ModifPinView {
    Q_OBJECT
public:
    explicit QtModifPinDialog(QWidget* parent);
    ~QtModifPinDialog() override;
    const ui::ModifPinOutlets& outlets() override { return outlets_; }
    void close() override { QDialog::close(); }

private:
    std::unique_ptr<Ui::ModifPinDialog> ui_;
    ui::ModifPinOutlets outlets_;
};

class QtUnlockCardDialog : public QtSheetDialog, public ui::UnlockCardView {
    Q_OBJECT
public:
    explicit QtUnlockCardDialog(QWidget* parent);
    ~QtUnlockCardDialog() override;
    const ui::UnlockCardOutlets& outlets() override { return outlets_; }
    void close() override { QDialog::close(); }

private:
    std::unique_ptr<Ui::UnlockCardDialog> ui_;
    ui::UnlockCardOutlets outlets_;
};

}  // namespace qel::qt
