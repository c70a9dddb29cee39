#include "app/qt/accessibility.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QTextDocumentFragment>
#include <algorithm>
#include <cmath>
#include <map>

#include "app/qt/picture_view.h"
#include "app/qt/spinner.h"

namespace qel::qt {

namespace {

const char kAnnounce[] = "announce";

QString plainText(const QString& text) {
    return Qt::mightBeRichText(text) ? QTextDocumentFragment::fromHtml(text).toPlainText() : text;
}

// A drawn picture: an image, named by its tooltip or by what it shows.
class PictureAccessible : public QAccessibleWidget {
public:
    explicit PictureAccessible(PictureView* view) : QAccessibleWidget(view, QAccessible::Graphic) {}

    QString text(QAccessible::Text t) const override {
        auto* view = static_cast<PictureView*>(widget());
        if (t == QAccessible::Name) {
            if (!view->accessibleName().isEmpty()) return view->accessibleName();
            const QString shown = pictureDescription(view->pictureName());
            return shown.isEmpty() ? view->toolTip() : shown;
        }
        if (t == QAccessible::Description) {
            const QString tip = view->toolTip();
            return tip == text(QAccessible::Name) ? QString() : tip;
        }
        return QAccessibleWidget::text(t);
    }
};

// The spinning indicator: an animation that says whether something runs.
class SpinnerAccessible : public QAccessibleWidget {
public:
    explicit SpinnerAccessible(Spinner* spinner) : QAccessibleWidget(spinner, QAccessible::Animation) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name) {
            if (!widget()->accessibleName().isEmpty()) return widget()->accessibleName();
            return static_cast<Spinner*>(widget())->isSpinning() ? QStringLiteral("Opération en cours")
                                                                 : QStringLiteral("Aucune opération en cours");
        }
        return QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.busy = static_cast<Spinner*>(widget())->isSpinning();
        return s;
    }
};

// A label whose changes are spoken: a status line.
class StatusAccessible : public QAccessibleWidget {
public:
    explicit StatusAccessible(QLabel* label) : QAccessibleWidget(label, QAccessible::StatusBar) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            return plainText(static_cast<QLabel*>(widget())->text());
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface* factory(const QString&, QObject* object) {
    if (auto* picture = qobject_cast<PictureView*>(object)) return new PictureAccessible(picture);
    if (auto* spinner = qobject_cast<Spinner*>(object)) return new SpinnerAccessible(spinner);
    if (auto* label = qobject_cast<QLabel*>(object); label && label->property(kAnnounce).toBool())
        return new StatusAccessible(label);
    return nullptr;
}

// A value in a grid of titles and values: the title on its left names it for the screen reader.
void pairWithTitle(QLabel* value) {
    QWidget* parent = value->parentWidget();
    if (!parent) return;
    for (auto* grid : parent->findChildren<QGridLayout*>()) {
        const int index = grid->indexOf(value);
        if (index < 0) continue;
        int row = 0, column = 0, rowSpan = 0, columnSpan = 0;
        grid->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
        if (column == 0) return;
        QLayoutItem* left = grid->itemAtPosition(row, column - 1);
        auto* title = left ? qobject_cast<QLabel*>(left->widget()) : nullptr;
        if (!title || title->buddy()) return;
        title->setBuddy(value);
        if (value->accessibleDescription().isEmpty()) value->setAccessibleDescription(plainText(title->text()));
        return;
    }
}

// Runs on every widget before it is first shown.
class NamingPass : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Polish) return false;
        if (auto* button = qobject_cast<QAbstractButton*>(watched)) {
            // An icon alone says nothing to a screen reader: the tooltip names the button.
            if (button->text().isEmpty() && button->accessibleName().isEmpty() && !button->toolTip().isEmpty())
                button->setAccessibleName(button->toolTip());
        } else if (auto* label = qobject_cast<QLabel*>(watched)) {
            pairWithTitle(label);
        }
        return false;
    }
};

double channel(int value) {
    const double c = value / 255.0;
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(const QColor& colour) {
    return 0.2126 * channel(colour.red()) + 0.7152 * channel(colour.green()) + 0.0722 * channel(colour.blue());
}

}  // namespace

void installAccessibility() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    QAccessible::installFactory(factory);
    qApp->installEventFilter(new NamingPass(qApp));
}

QString pictureDescription(const std::string& name) {
    static const std::map<std::string, QString> words = {
        {"kartello", QStringLiteral("Kartello")},
        {"lock", QStringLiteral("Code PIN non saisi")},
        {"unlock", QStringLiteral("Code PIN vérifié")},
        {"warning", QStringLiteral("Attention")},
        {"card-blocked", QStringLiteral("Carte bloquée")},
        {"tmaj-notif", QStringLiteral("Mise à jour de la carte disponible")},
        {"step1", QStringLiteral("Étape 1 sur 4 : vérification")},
        {"step2", QStringLiteral("Étape 2 sur 4 : code PIN")},
        {"step3", QStringLiteral("Étape 3 sur 4 : mise à jour")},
        {"step4", QStringLiteral("Étape 4 sur 4 : terminé")},
        {"step4-uptodate", QStringLiteral("Étape 4 sur 4 : carte déjà à jour")},
        {"step4-cancelled", QStringLiteral("Étape 4 sur 4 : mise à jour annulée")},
        {"step4-checkfailed", QStringLiteral("Étape 4 sur 4 : vérification impossible")},
        {"step4-pinfailed", QStringLiteral("Étape 4 sur 4 : code PIN refusé")},
        {"step4-updatefailed", QStringLiteral("Étape 4 sur 4 : mise à jour échouée")},
        {"vek-alert", QStringLiteral("Attention")},
        {"vek-codes", QStringLiteral("Codes de confirmation")},
        {"vek-failure", QStringLiteral("Échec")},
        {"vek-logout", QStringLiteral("Déconnexion")},
        {"vek-request", QStringLiteral("Demande d'authentification")},
        {"vek-success", QStringLiteral("Réussite")},
    };
    if (auto it = words.find(name); it != words.end()) return it->second;
    if (name.rfind("top-card-", 0) == 0)
        return name == "top-card-empty" ? QStringLiteral("Aucune carte") : QStringLiteral("Carte QEL");
    return {};
}

void announce(QLabel* label) {
    // QLabel itself tells the bridge of its new name (the status line's role makes it news); the
    // alert is for the bridges that speak alerts.
    if (!QAccessible::isActive() || label->text().isEmpty()) return;
    QAccessibleEvent alert(label, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
}

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor readableOn(const QColor& colour, const QColor& background) {
    QColor shade = colour.toHsl();
    while (contrastRatio(shade, background) < 4.5 && shade.lightness() > 0)
        shade.setHsl(shade.hslHue(), shade.hslSaturation(), std::max(0, shade.lightness() - 4));
    return shade.toRgb();
}

}  // namespace qel::qt
