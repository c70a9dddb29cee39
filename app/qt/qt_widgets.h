#pragma once
// Adapters from the controllers' widgets to Qt widgets built from the .ui layouts. Each adapter
// wraps a widget it does not own (the layout's parent owns it) and only forwards.
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>
#include <functional>
#include <string>

#include "app/views/widgets.h"

namespace qel::qt {

class PictureView;
class Spinner;

QString toQString(const std::string& text);
std::string toStdString(const QString& text);
/// A layout's title without its mnemonic marks ("&&" stands for "&").
QString withoutMnemonic(QString text);
/// The colour a controller's text colour is drawn in: darkened where needed to 4.5:1 on the
/// lightest blue the labels and side-bar entries sit on.
QColor textColour(const ui::Colour& colour);

/// Shared state operations for every adapter over a QWidget.
template <typename Interface>
class QtWidgetBase : public Interface {
public:
    explicit QtWidgetBase(QWidget* widget) : widget_(widget) {}
    void setEnabled(bool enabled) override { widget_->setEnabled(enabled); }
    bool isEnabled() const override { return widget_->isEnabled(); }
    void setHidden(bool hidden) override { widget_->setHidden(hidden); }
    bool isHidden() const override { return widget_->isHidden(); }
    void setTooltip(const std::string& text) override { widget_->setToolTip(toQString(text)); }
    QWidget* widget() const { return widget_; }

protected:
    QWidget* widget_;
};

/// A QLabel. Colours are applied through the widget's own style sheet so that they hold under the
/// window's style sheet; the layout's own sheet is kept.
class QtLabel : public QtWidgetBase<ui::Label> {
public:
    explicit QtLabel(QLabel* label);
    void setText(const std::string& text) override;
    std::string text() const override;
    void setTextColour(const ui::Colour& colour) override;
    bool textWiderThanLabel(const std::string& text) const override;

private:
    QLabel* label_;
    QString baseStyle_;
};

/// A QPushButton (text, picture, or both). Its title is given and read without the mnemonic marks
/// of its layout.
class QtButton : public QtWidgetBase<ui::Button> {
public:
    explicit QtButton(QPushButton* button);
    void setTitle(const std::string& title) override;
    std::string title() const override;
    void setTitleColour(const ui::Colour& colour) override;
    void setImage(const std::string& pictureName) override;
    void setClickHandler(std::function<void()> handler) override;
    void setTooltip(const std::string& text) override;

private:
    QPushButton* button_;
    QString baseStyle_;
    std::function<void()> handler_;
};

/// A picture drawn by a PictureView.
class QtImageView : public QtWidgetBase<ui::ImageView> {
public:
    explicit QtImageView(PictureView* view);
    void setImage(const std::string& pictureName) override;

private:
    PictureView* view_;
};

/// A QLineEdit.
class QtTextField : public QtWidgetBase<ui::TextField> {
public:
    explicit QtTextField(QLineEdit* edit);
    void setText(const std::string& text) override;
    std::string text() const override;
    void setEditHandler(std::function<void()> handler) override;

private:
    QLineEdit* edit_;
    std::function<void()> handler_;
};

/// A password QLineEdit (its text cannot be copied out), read and written as SecretBytes.
class QtSecureField : public QtWidgetBase<ui::SecureField> {
public:
    explicit QtSecureField(QLineEdit* edit);
    SecretBytes secret() const override;
    void setSecret(const SecretBytes& secret) override;
    void setEditHandler(std::function<void()> handler) override;

private:
    QLineEdit* edit_;
    std::function<void()> handler_;
};

/// A QComboBox. Each entry keeps the exact title it was given (reader names from the PKCS#11
/// library may end with NUL characters) and shows it without control characters.
class QtPopUpList : public QtWidgetBase<ui::PopUpList> {
public:
    explicit QtPopUpList(QComboBox* box);
    void removeAllItems() override;
    void addItem(const std::string& title, const std::string& key) override;
    int itemCount() const override;
    std::string itemTitle(int index) const override;
    std::string itemKey(int index) const override;
    void setItemTitle(int index, const std::string& title) override;
    void selectItem(int index) override;
    int selectedIndex() const override;
    std::string selectedKey() const override;
    void setSelectionHandler(std::function<void()> handler) override;

private:
    void showWholeTitle();

    QComboBox* box_;
    std::function<void()> handler_;
};

class QtProgressIndicator : public QtWidgetBase<ui::ProgressIndicator> {
public:
    explicit QtProgressIndicator(Spinner* spinner);
    void startAnimation() override;
    void stopAnimation() override;

private:
    Spinner* spinner_;
};

class QtProgressBar : public QtWidgetBase<ui::ProgressBar> {
public:
    explicit QtProgressBar(QProgressBar* bar) : QtWidgetBase(bar), bar_(bar) {}
    void setValue(int percent) override { bar_->setValue(percent < 0 ? 0 : percent > 100 ? 100 : percent); }
    int value() const override { return bar_->value(); }

private:
    QProgressBar* bar_;
};

class QtArea : public QtWidgetBase<ui::Area> {
public:
    using QtWidgetBase::QtWidgetBase;
};

/// A QAction of the window's menu.
class QtMenuItem : public ui::MenuItem {
public:
    explicit QtMenuItem(QAction* action);
    void setEnabled(bool enabled) override { action_->setEnabled(enabled); }
    bool isEnabled() const override { return action_->isEnabled(); }
    void setHidden(bool hidden) override { action_->setVisible(!hidden); }
    bool isHidden() const override { return !action_->isVisible(); }
    void setTooltip(const std::string& text) override { action_->setToolTip(toQString(text)); }
    void setTriggerHandler(std::function<void()> handler) override;

private:
    QAction* action_;
    std::function<void()> handler_;
};

}  // namespace qel::qt
