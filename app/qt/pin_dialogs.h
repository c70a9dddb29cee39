#pragma once
// The PIN dialogs, shown as window-modal sheets over the main window.
#include <QDialog>
#include <functional>
#include <memory>
#include <vector>

#include "app/qt/widget_adapters.h"
#include "app/views/pin_dialog_views.h"

namespace Ui {
class PinEntryDialog;
class PinChangeDialog;
class UnlockCardDialog;
class PinPadDialog;
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

class QtPinEntryDialog : public QtSheetDialog, public ui::PinEntryView {
    Q_OBJECT
public:
    explicit QtPinEntryDialog(QWidget* parent);
    ~QtPinEntryDialog() override;
    const ui::PinEntryWidgets& widgets() override { return widgets_; }
    void close() override { QDialog::close(); }

private:
    std::unique_ptr<Ui::PinEntryDialog> ui_;
    ui::PinEntryWidgets widgets_;
};

class QtPinChangeDialog : public QtSheetDialog, public ui::PinChangeView {
    Q_OBJECT
public:
    explicit QtPinChangeDialog(QWidget* parent);
    ~QtPinChangeDialog() override;
    const ui::PinChangeWidgets& widgets() override { return widgets_; }
    void close() override { QDialog::close(); }

private:
    std::unique_ptr<Ui::PinChangeDialog> ui_;
    ui::PinChangeWidgets widgets_;
};

class QtUnlockCardDialog : public QtSheetDialog, public ui::UnlockCardView {
    Q_OBJECT
public:
    explicit QtUnlockCardDialog(QWidget* parent);
    ~QtUnlockCardDialog() override;
    const ui::UnlockCardWidgets& widgets() override { return widgets_; }
    void close() override { QDialog::close(); }

private:
    std::unique_ptr<Ui::UnlockCardDialog> ui_;
    ui::UnlockCardWidgets widgets_;
};

/// The wait while the holder types on the reader's keypad. Escape and the close box go to the
/// controller (which keeps the dialog while the reader waits) rather than closing it.
class QtPinPadDialog : public QtSheetDialog, public ui::PinPadView {
    Q_OBJECT
public:
    explicit QtPinPadDialog(QWidget* parent);
    ~QtPinPadDialog() override;
    const ui::PinPadWidgets& widgets() override { return widgets_; }
    void setWaiting(bool waiting) override;
    void close() override;
    void setCloseRequestHandler(std::function<void()> handler) { closeRequest_ = std::move(handler); }
    void reject() override;

private:
    std::unique_ptr<Ui::PinPadDialog> ui_;
    ui::PinPadWidgets widgets_;
    std::function<void()> closeRequest_;
    bool closing_ = false;
};

}  // namespace qel::qt
