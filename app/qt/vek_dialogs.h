#pragma once
// The seven windows of the sign-in flow, shown as window-modal sheets over the main window.
#include <QPushButton>
#include <functional>
#include <memory>

#include "app/qt/pin_dialogs.h"
#include "app/signin/vek_dialog_views.h"

namespace Ui {
class VekWaitDialog;
class VekAuthDialog;
class VekCodesDialog;
class VekValidDialog;
class VekAlertDialog;
class VekQuitDialog;
class VekDeauthDialog;
}  // namespace Ui

namespace qel::qt {

/// What the seven share: the close the controllers ask for, and the buttons handed to them.
class QtVekDialog : public QtSheetDialog {
    Q_OBJECT
public:
    explicit QtVekDialog(QWidget* parent);

    /// A click on the layout's button of that object name calls `action`.
    void setAction(const char* buttonName, std::function<void()> action);
    /// Closes the window (then deletes it, with its controller, on the next turn of the event loop).
    void closeDialog();
    /// Escape and the window's close box answer as the cancel does (or the one button of a dialog
    /// that has no cancel), so that the flow hears of it.
    void reject() override;

private:
    bool closingDialog_ = false;
};

class QtVekWaitDialog : public QtVekDialog, public VekWaitView {
    Q_OBJECT
public:
    explicit QtVekWaitDialog(QWidget* parent);
    ~QtVekWaitDialog() override;
    void setWaitTitle(const std::string& text) override;
    void close() override {
        closing_ = true;
        closeDialog();
    }
    /// The wait cannot be abandoned: the call runs on, and its result must reach the main window.
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::unique_ptr<Ui::VekWaitDialog> ui_;
    bool closing_ = false;
};

class QtVekAuthDialog : public QtVekDialog, public VekAuthView {
    Q_OBJECT
public:
    explicit QtVekAuthDialog(QWidget* parent);
    ~QtVekAuthDialog() override;
    void setNewAuthLabel(const std::string& text) override;
    void close() override { closeDialog(); }

private:
    std::unique_ptr<Ui::VekAuthDialog> ui_;
};

class QtVekCodesDialog : public QtVekDialog, public VekCodesView {
    Q_OBJECT
public:
    explicit QtVekCodesDialog(QWidget* parent);
    ~QtVekCodesDialog() override;
    void setCodeTitles(const std::array<std::string, 3>& titles) override;
    void close() override { closeDialog(); }

private:
    std::unique_ptr<Ui::VekCodesDialog> ui_;
};

class QtVekValidDialog : public QtVekDialog, public VekValidView {
    Q_OBJECT
public:
    explicit QtVekValidDialog(QWidget* parent);
    ~QtVekValidDialog() override;
    void setTitleMesage(const std::string& text) override;
    void setMessage(const std::string& text) override;
    void setPicture(const std::string& pictureName) override;
    void close() override { closeDialog(); }

private:
    std::unique_ptr<Ui::VekValidDialog> ui_;
};

class QtVekAlertDialog : public QtVekDialog, public VekAlertView {
    Q_OBJECT
public:
    explicit QtVekAlertDialog(QWidget* parent);
    ~QtVekAlertDialog() override;
    void setTitleAlert(const std::string& text) override;
    void setPicture(const std::string& pictureName) override;
    void setMessage(const std::string& text) override;
    std::string message() const override;
    void close() override { closeDialog(); }

private:
    std::unique_ptr<Ui::VekAlertDialog> ui_;
};

class QtVekQuitDialog : public QtVekDialog, public VekQuitView {
    Q_OBJECT
public:
    explicit QtVekQuitDialog(QWidget* parent);
    ~QtVekQuitDialog() override;
    void close() override { closeDialog(); }

private:
    std::unique_ptr<Ui::VekQuitDialog> ui_;
};

class QtVekDeauthDialog : public QtVekDialog, public VekDeauthView {
    Q_OBJECT
public:
    explicit QtVekDeauthDialog(QWidget* parent);
    ~QtVekDeauthDialog() override;
    void setTitleMesage(const std::string& text) override;
    void close() override { closeDialog(); }

private:
    std::unique_ptr<Ui::VekDeauthDialog> ui_;
};

}  // namespace qel::qt
