#include "app/qt/main_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QScrollArea>
#include <QStyle>
#include <QTimer>

#include "app/qt/accessibility.h"
#include "app/qt/certificate_view.h"
#include "app/qt/identification_view.h"
#include "app/qt/pictures.h"
#include "app/qt/qt_widgets.h"
#include "app/qt/situation_view.h"
#include "ui_main_window.h"

namespace qel::qt {

namespace {

QWidget* placeholderPage(const QString& text) {
    auto* label = new QLabel(text);
    label->setAlignment(Qt::AlignCenter);
    label->setProperty("placeholder", true);
    return label;
}

}  // namespace

QtMainWindow::QtMainWindow(QWidget* parent) : QMainWindow(parent), ui_(std::make_unique<Ui::MainWindow>()) {
    ui_->setupUi(this);
    setWindowIcon(pictureIcon("kartello"));

    ui_->appIcon->setPicture("kartello");
    ui_->refreshButton->setIcon(pictureIcon("refresh"));
    ui_->cardPinPadlock->setIcon(pictureIcon("lock"));
    ui_->situationLock->setPicture("lock");
    ui_->situationLock->setToolTip(QStringLiteral("Accès protégé par le code PIN"));
    ui_->tmajNotif->setPicture("tmaj-notif");
    ui_->tmajNotif->setToolTip(QStringLiteral("Mise à jour de la carte"));
    // Hidden until a check of the card in the reader announces an update; its place stays kept.
    QSizePolicy badgePolicy = ui_->tmajNotif->sizePolicy();
    badgePolicy.setRetainSizeWhenHidden(true);
    ui_->tmajNotif->setSizePolicy(badgePolicy);
    ui_->tmajNotif->hide();
    ui_->topCard->setPicture("top-card-empty");

    // What the window shows before its controller's first pass: no card, nothing running.
    ui_->demoModeTitle->hide();
    ui_->testLabel->hide();
    ui_->cardBlockedLabel->hide();
    ui_->cardUnlock->hide();
    ui_->progress->hide();
    ui_->card->hide();
    ui_->cardPinPadlock->hide();
    // Until a card is read (and for good when the issuer library does not load) only the functions
    // that need no card are offered.
    for (QWidget* needsCard : std::initializer_list<QWidget*>{
             ui_->identification, ui_->situation, ui_->situationLock, ui_->certificate, ui_->tmaj, ui_->pinCode,
             ui_->pinCodeModif, ui_->unlockCard, ui_->diagQELButton, ui_->testsSsl, ui_->portalEQEL,
             ui_->VekAuthentication, ui_->VekDisconnect})
        needsCard->setEnabled(false);

    identification_ = new QtIdentificationView;
    situation_ = new QtSituationView;
    certificate_ = new QtCertificateView;
    setSubViewWidget(ui::SubView::identification, identification_);
    // Below its height the situations scroll rather than pile their rows on one another.
    auto* situationScroll = new QScrollArea;
    situationScroll->setObjectName(QStringLiteral("situationScroll"));
    // A Tab stop of its own (the arrows and Page keys scroll it): it says what it holds.
    situationScroll->setAccessibleName(QStringLiteral("Situations d'exercice"));
    situationScroll->setWidgetResizable(true);
    situationScroll->setFrameShape(QFrame::NoFrame);
    situationScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    situationScroll->setWidget(situation_);
    setSubViewWidget(ui::SubView::situation, situationScroll);
    setSubViewWidget(ui::SubView::certificate, certificate_);
    setSubViewWidget(ui::SubView::maintenance, placeholderPage(QStringLiteral("Maintenance")));
    showSubView(ui::SubView::identification);

    // Said, not shown: a status line of no size beside the visible one.
    announcer_ = new QLabel(ui_->footer);
    announcer_->setObjectName(QStringLiteral("announcer"));
    announcer_->setProperty("announce", true);
    announcer_->setFixedSize(0, 0);
    ui_->footer->layout()->addWidget(announcer_);

    buildWidgets();
}

QtMainWindow::~QtMainWindow() = default;

void QtMainWindow::buildWidgets() {
    auto& o = widgets_;
    auto& a = adapters_;
    QPushButton* mainButtons[] = {ui_->identification,    ui_->situation,    ui_->certificate, ui_->tmaj,
                                  ui_->pinCode,           ui_->pinCodeModif, ui_->unlockCard,  ui_->maintenance,
                                  ui_->diagQELButton,     ui_->testsSsl,     ui_->portalEQEL,  ui_->contactSupport,
                                  ui_->VekAuthentication, ui_->VekDisconnect};
    for (QPushButton* button : mainButtons) {
        button->installEventFilter(this);
        // The arrows go from entry to entry, as in a list (the buttons are not checkable: nothing
        // else of exclusivity applies).
        button->setAutoExclusive(true);
        // An entry chosen by its letter takes the keyboard as a click does: the arrows go on from it.
        connect(button, &QPushButton::clicked, button, [button] {
            if (!button->hasFocus()) button->setFocus(Qt::ShortcutFocusReason);
        });
    }

    o.identification = a.adopt<QtButton>(ui_->identification);
    o.situation = a.adopt<QtButton>(ui_->situation);
    o.certificate = a.adopt<QtButton>(ui_->certificate);
    o.tmaj = a.adopt<QtButton>(ui_->tmaj);
    o.pinCode = a.adopt<QtButton>(ui_->pinCode);
    o.pinCodeModif = a.adopt<QtButton>(ui_->pinCodeModif);
    o.unlockCard = a.adopt<QtButton>(ui_->unlockCard);
    o.maintenance = a.adopt<QtButton>(ui_->maintenance);
    o.diagQELButton = a.adopt<QtButton>(ui_->diagQELButton);
    o.testsSsl = a.adopt<QtButton>(ui_->testsSsl);
    o.portalEQEL = a.adopt<QtButton>(ui_->portalEQEL);
    o.contactSupport = a.adopt<QtButton>(ui_->contactSupport);
    o.cardUnlock = a.adopt<QtButton>(ui_->cardUnlock);
    o.cardPinPadlock = a.adopt<QtButton>(ui_->cardPinPadlock);
    o.refreshButton = a.adopt<QtButton>(ui_->refreshButton);
    o.VekAuthentication = a.adopt<QtButton>(ui_->VekAuthentication);
    o.VekDisconnect = a.adopt<QtButton>(ui_->VekDisconnect);
    o.situationLock = a.adopt<QtImageView>(ui_->situationLock);
    o.tmajNotif = a.adopt<QtImageView>(ui_->tmajNotif);
    o.topCard = a.adopt<QtImageView>(ui_->topCard);
    o.cardNameLabel = a.adopt<QtLabel>(ui_->cardNameLabel);
    o.cardJobLabel = a.adopt<QtLabel>(ui_->cardJobLabel);
    o.cardIdentifierTitle = a.adopt<QtLabel>(ui_->cardIdentifierTitle);
    o.cardIdentifierLabel = a.adopt<QtLabel>(ui_->cardIdentifierLabel);
    o.cardNumTitle = a.adopt<QtLabel>(ui_->cardNumTitle);
    o.cardNumLabel = a.adopt<QtLabel>(ui_->cardNumLabel);
    o.cardStatusTitle = a.adopt<QtLabel>(ui_->cardStatusTitle);
    o.cardStatusLabel = a.adopt<QtLabel>(ui_->cardStatusLabel);
    o.cardNoInsertedLabel = a.adopt<QtLabel>(ui_->cardNoInsertedLabel);
    o.cardBlockedLabel = a.adopt<QtLabel>(ui_->cardBlockedLabel);
    o.testLabel = a.adopt<QtLabel>(ui_->testLabel);
    o.demoModeTitle = a.adopt<QtLabel>(ui_->demoModeTitle);
    o.cardStatus = a.adopt<QtLabel>(ui_->cardStatus);
    o.card = a.adopt<QtArea>(ui_->card);
    o.cardEmpty = a.adopt<QtArea>(ui_->cardEmpty);
    o.cardComboBox = a.adopt<QtPopUpList>(ui_->cardComboBox);
    o.progress = a.adopt<QtProgressIndicator>(ui_->progress);

    o.activateDemoMenuItem = a.adopt<QtMenuItem>(ui_->activateDemoMenuItem);
    o.desactivateDemoMenuItem = a.adopt<QtMenuItem>(ui_->desactivateDemoMenuItem);
    o.quitMenuItem = a.adopt<QtMenuItem>(ui_->quitMenuItem);
    o.aboutMenuItem = a.adopt<QtMenuItem>(ui_->aboutMenuItem);
}

ui::IdentificationView& QtMainWindow::identificationView() { return *identification_; }

ui::SituationView& QtMainWindow::situationView() { return *situation_; }

void QtMainWindow::setSubViewWidget(ui::SubView view, QWidget* widget) {
    auto it = pages_.find(view);
    if (it != pages_.end()) {
        ui_->container->removeWidget(it->second);
        it->second->deleteLater();
    }
    pages_[view] = widget;
    // Plain QWidget subclasses draw no style-sheet background unless asked: the page must cover
    // the hint behind the container.
    widget->setAttribute(Qt::WA_StyledBackground);
    ui_->container->addWidget(widget);
}

void QtMainWindow::showSubView(ui::SubView view) {
    current_ = view;
    ui_->container->setCurrentWidget(pages_.at(view));
    // The side bar marks where the user is.
    const std::pair<ui::SubView, QPushButton*> entries[] = {{ui::SubView::identification, ui_->identification},
                                                            {ui::SubView::situation, ui_->situation},
                                                            {ui::SubView::certificate, ui_->certificate},
                                                            {ui::SubView::maintenance, ui_->maintenance}};
    for (const auto& [shown, button] : entries) {
        button->setProperty("current", shown == view);
        button->style()->unpolish(button);
        button->style()->polish(button);
    }
}

void QtMainWindow::letEventLoopRun() {
    // Draws what was just set; the user's clicks wait until the card read is over.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 1);
}

void QtMainWindow::closeWindow() {
    closingWithoutAsking_ = true;
    close();
    // A window shown again asks again.
    closingWithoutAsking_ = false;
}

void QtMainWindow::showAboutPanel() {
    QMessageBox box(this);
    box.setWindowTitle(QStringLiteral("À propos de Kartello"));
    box.setIconPixmap(pictureIcon("kartello").pixmap(72, 72));
    box.setText(QStringLiteral("<b>Kartello</b> %1").arg(QCoreApplication::applicationVersion()));
    box.setInformativeText(
        QStringLiteral("Gestion de la carte de professionnel de santé QEL : identification, situations, "
                       "code PIN, mise à jour et certificats.\n\n© Oberlane"));
    box.setWindowModality(Qt::WindowModal);
    // Its one button has the keyboard, so that Tab, Enter and Escape reach it.
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.exec();
}

void QtMainWindow::announce(const std::string& text) {
    // Cleared first, so that the same words said again are news again.
    announcer_->clear();
    announcer_->setText(toQString(text));
    qel::qt::announce(announcer_);
}

void QtMainWindow::setCloseRequestHandler(std::function<bool()> handler) { closeHandler_ = std::move(handler); }

void QtMainWindow::setHoverHandler(std::function<void(const std::string&, bool)> handler) {
    hoverHandler_ = std::move(handler);
}

void QtMainWindow::closeEvent(QCloseEvent* event) {
    if (closingWithoutAsking_ || !closeHandler_ || closeHandler_()) {
        event->accept();
    } else {
        event->ignore();
    }
}

void QtMainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!appearHandler_ || event->spontaneous()) return;
    // After the window is on screen, so that the status line is drawn before the library loads.
    QTimer::singleShot(0, this, [this] {
        if (appearHandler_) appearHandler_();
    });
}

bool QtMainWindow::eventFilter(QObject* watched, QEvent* event) {
    if ((event->type() == QEvent::Enter || event->type() == QEvent::Leave) && hoverHandler_) {
        if (auto* button = qobject_cast<QPushButton*>(watched)) {
            hoverHandler_(toStdString(withoutMnemonic(button->text())), event->type() == QEvent::Enter);
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

}  // namespace qel::qt
