#include "app/qt/qt_widgets.h"

#include <QFontMetrics>

#include "app/qt/accessibility.h"
#include "app/qt/colour_table.h"
#include "app/qt/picture_view.h"
#include "app/qt/pictures.h"
#include "app/qt/spinner.h"

namespace qel::qt {

QString toQString(const std::string& text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

std::string toStdString(const QString& text) { return text.toStdString(); }

QColor textColour(const ui::Colour& colour) {
    // The current side-bar entry's blue: the controllers' hover blue and signal colours are
    // lighter than that.
    return readableOn(toQColor(colour), QColor(0xE3, 0xEE, 0xF5));
}

QString withoutMnemonic(QString text) {
    text.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    text.remove(QLatin1Char('&'));
    text.replace(QStringLiteral("\x01"), QStringLiteral("&"));
    return text;
}

namespace {

QString colourRule(const char* selector, const ui::Colour& colour) {
    return QStringLiteral("%1 { color: %2; }").arg(QLatin1String(selector), textColour(colour).name());
}

// What the list shows of a title: control characters (the NUL that ends PKCS#11 slot
// descriptions) are not drawable.
QString displayTitle(const QString& title) {
    QString shown;
    shown.reserve(title.size());
    for (QChar c : title) {
        if (c.category() != QChar::Other_Control) shown.append(c);
    }
    return shown.trimmed();
}

// The title colour of an unavailable button (as in the application's style sheet).
const QLatin1String kDisabledTitle("#5F6B76");

}  // namespace

QtLabel::QtLabel(QLabel* label) : QtWidgetBase(label), label_(label), baseStyle_(label->styleSheet()) {}

void QtLabel::setText(const std::string& text) {
    const QString shown = toQString(text);
    if (shown == label_->text()) return;
    label_->setText(shown);
    // A status line says each new text to the screen reader.
    if (label_->property("announce").toBool()) announce(label_);
}

std::string QtLabel::text() const { return toStdString(label_->text()); }

void QtLabel::setTextColour(const ui::Colour& colour) {
    label_->setStyleSheet(baseStyle_ + colourRule("QLabel", colour));
}

bool QtLabel::textWiderThanLabel(const std::string& text) const {
    const QFontMetrics metrics(label_->font());
    return metrics.horizontalAdvance(toQString(text)) > label_->contentsRect().width();
}

QtButton::QtButton(QPushButton* button) : QtWidgetBase(button), button_(button), baseStyle_(button->styleSheet()) {
    QObject::connect(button_, &QPushButton::clicked, button_, [this] {
        if (handler_) handler_();
    });
}

void QtButton::setTitle(const std::string& title) { button_->setText(toQString(title)); }

std::string QtButton::title() const { return toStdString(withoutMnemonic(button_->text())); }

void QtButton::setTooltip(const std::string& text) {
    QtWidgetBase::setTooltip(text);
    // An icon alone says nothing to a screen reader: the tooltip names the button.
    if (button_->text().isEmpty()) button_->setAccessibleName(toQString(text));
}

void QtButton::setTitleColour(const ui::Colour& colour) {
    // A widget's own sheet outranks the application's, :disabled rules included: restate the
    // disabled colour so that an unavailable button still looks unavailable after a hover.
    button_->setStyleSheet(baseStyle_ + colourRule("QPushButton", colour) +
                           QStringLiteral(" QPushButton:disabled { color: %1; }").arg(kDisabledTitle));
}

void QtButton::setImage(const std::string& pictureName) {
    button_->setIcon(pictureIcon(pictureName));
    // The icon cannot tell its name back; tests and accessibility tools read it here.
    button_->setProperty("pictureName", toQString(pictureName));
    button_->setAccessibleDescription(pictureDescription(pictureName));
}

void QtButton::setClickHandler(std::function<void()> handler) { handler_ = std::move(handler); }

QtImageView::QtImageView(PictureView* view) : QtWidgetBase(view), view_(view) {}

void QtImageView::setImage(const std::string& pictureName) { view_->setPicture(pictureName); }

namespace {

// textEdited fires for the user's changes only, not for setText: a filter that rewrites the text
// is not called again for its own change.
void callOnEdit(QLineEdit* edit, const std::function<void()>& handler) {
    QObject::connect(edit, &QLineEdit::textEdited, edit, [&handler] {
        if (handler) handler();
    });
}

}  // namespace

QtTextField::QtTextField(QLineEdit* edit) : QtWidgetBase(edit), edit_(edit) { callOnEdit(edit_, handler_); }

void QtTextField::setText(const std::string& text) { edit_->setText(toQString(text)); }

std::string QtTextField::text() const { return toStdString(edit_->text()); }

void QtTextField::setEditHandler(std::function<void()> handler) { handler_ = std::move(handler); }

QtSecureField::QtSecureField(QLineEdit* edit) : QtWidgetBase(edit), edit_(edit) { callOnEdit(edit_, handler_); }

SecretBytes QtSecureField::secret() const {
    // The line edit's own QString is shared, not copied; the UTF-8 bytes are, and are wiped here.
    QByteArray utf8 = edit_->text().toUtf8();
    SecretBytes secret(reinterpret_cast<const std::uint8_t*>(utf8.constData()), static_cast<std::size_t>(utf8.size()));
    utf8.fill('\0');
    return secret;
}

void QtSecureField::setSecret(const SecretBytes& secret) {
    edit_->setText(
        QString::fromUtf8(reinterpret_cast<const char*>(secret.data()), static_cast<qsizetype>(secret.size())));
}

void QtSecureField::setEditHandler(std::function<void()> handler) { handler_ = std::move(handler); }

QtPopUpList::QtPopUpList(QComboBox* box) : QtWidgetBase(box), box_(box) {
    // `activated` is the user's pick, also of the entry already selected.
    QObject::connect(box_, &QComboBox::activated, box_, [this] {
        showWholeTitle();
        if (handler_) handler_();
    });
}

void QtPopUpList::removeAllItems() {
    const QSignalBlocker blocker(box_);
    box_->clear();
    showWholeTitle();
}

void QtPopUpList::addItem(const std::string& title, const std::string& key) {
    const QSignalBlocker blocker(box_);
    const QString shown = displayTitle(toQString(title));
    box_->addItem(shown, toQString(key));
    box_->setItemData(box_->count() - 1, shown, Qt::ToolTipRole);
    // A list the program fills has no selection until something is chosen.
    if (box_->count() == 1) box_->setCurrentIndex(-1);
    showWholeTitle();
}

int QtPopUpList::itemCount() const { return box_->count(); }

std::string QtPopUpList::itemTitle(int index) const {
    if (index < 0 || index >= box_->count()) return {};
    return toStdString(box_->itemText(index));
}

std::string QtPopUpList::itemKey(int index) const {
    if (index < 0 || index >= box_->count()) return {};
    return toStdString(box_->itemData(index).toString());
}

void QtPopUpList::setItemTitle(int index, const std::string& title) {
    if (index < 0 || index >= box_->count()) return;
    const QString shown = displayTitle(toQString(title));
    box_->setItemText(index, shown);
    box_->setItemData(index, shown, Qt::ToolTipRole);
    showWholeTitle();
}

void QtPopUpList::selectItem(int index) {
    const QSignalBlocker blocker(box_);
    box_->setCurrentIndex(index >= 0 && index < box_->count() ? index : -1);
    showWholeTitle();
}

int QtPopUpList::selectedIndex() const { return box_->currentIndex(); }

std::string QtPopUpList::selectedKey() const { return itemKey(box_->currentIndex()); }

void QtPopUpList::showWholeTitle() {
    // The box draws its title cut to its width, whatever the window's: the whole title is one hover
    // away.
    box_->setToolTip(box_->currentText());
}

void QtPopUpList::setSelectionHandler(std::function<void()> handler) { handler_ = std::move(handler); }

QtProgressIndicator::QtProgressIndicator(Spinner* spinner) : QtWidgetBase(spinner), spinner_(spinner) {}

void QtProgressIndicator::startAnimation() { spinner_->start(); }

void QtProgressIndicator::stopAnimation() { spinner_->stop(); }

QtMenuItem::QtMenuItem(QAction* action) : action_(action) {
    QObject::connect(action_, &QAction::triggered, action_, [this] {
        if (handler_) handler_();
    });
}

void QtMenuItem::setTriggerHandler(std::function<void()> handler) { handler_ = std::move(handler); }

}  // namespace qel::qt
