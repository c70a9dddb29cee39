#include "app/qt/main_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

#include "app/qt/identification_view.h"
#include "app/qt/pictures.h"
#include "app/qt/qt_widgets.h"
#include "app/qt/situation_view.h"
#include "ui_main_window.h"

namespace qel::qt {

namespace {

template <typename Adapter, typename QtWidget>
Adapter* adopt(std::vector<std::unique_ptr<ui::Widget>>& adapters, QtWidget* widget) {
    auto adapter = std::make_unique<Adapter>(widget);
    Adapter* raw = adapter.get();
    adapters.push_back(std::move(adapter));
    return raw;
}

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
    setSubViewWidget(ui::SubView::identification, identification_);
    setSubViewWidget(ui::SubView::situation, situation_);
    setSubViewWidget(ui::SubView::certificate, placeholderPage(QStringLiteral("Certificats de la carte")));
    setSubViewWidget(ui::SubView::maintenance, placeholderPage(QStringLiteral("Maintenance")));
    ui_->container->setCurrentWidget(identification_);

    buildOutlets();
}

QtMainWindow::~QtMainWindow() = default;

void QtMainWindow::buildOutlets() {
    auto& o = outlets_;
    auto& a = adapters_;
    QPushButton* mainButtons[] = {ui_->identification, ui_->situation, ui_->certificate, ui_->tmaj,
                                  ui_->pinCode, ui_->pinCodeModif, ui_->unlockCard, ui_->maintenance,
                                  ui_->diagQELButton, ui_->testsSsl, ui_->portalEQEL, ui_->contactSupport,
                                  ui_->VekAuthentication, ui_->VekDisconnect};
    for (QPushButton* button : mainButtons) button->installEventFilter(this);

    o.identification = adopt<QtButton>(a, ui_->identification);
    o.situation = adopt<QtButton>(a, ui_->situation);
    o.certificate = adopt<QtButton>(a, ui_->certificate);
    o.tmaj = adopt<QtButton>(a, ui_->tmaj);
    o.pinCode = adopt<QtButton>(a, ui_->pinCode);
    o.pinCodeModif = adopt<QtButton>(a, ui_->pinCodeModif);
    o.unlockCard = adopt<QtButton>(a, ui_->unlockCard);
    o.maintenance = adopt<QtButton>(a, ui_->maintenance);
    o.diagQELButton = adopt<QtButton>(a, ui_->diagQELButton);
    o.testsSsl = adopt<QtButton>(a, ui_->testsSsl);
    o.portalEQEL = adopt<QtButton>(a, ui_->portalEQEL);
    o.contactSupport = adopt<QtButton>(a, ui_->contactSupport);
    o.cardUnlock = adopt<QtButton>(a, ui_->cardUnlock);
    o.cardPinPadlock = adopt<QtButton>(a, ui_->cardPinPadlock);
    o.refreshButton = adopt<QtButton>(a, ui_->refreshButton);
    o.VekAuthentication = adopt<QtButton>(a, ui_->VekAuthentication);
    o.VekDisconnect = adopt<QtButton>(a, ui_->VekDisconnect);
    o.situationLock = adopt<QtImageView>(a, ui_->situationLock);
    o.tmajNotif = adopt<QtImageView>(a, ui_->tmajNotif);
    o.topCard = adopt<QtImageView>(a, ui_->topCard);
    o.cardNameLabel = adopt<QtLabel>(a, ui_->cardNameLabel);
    o.cardJobLabel = adopt<QtLabel>(a, ui_->cardJobLabel);
    o.cardIdentifierTitle = adopt<QtLabel>(a, ui_->cardIdentifierTitle);
    o.cardIdentifierLabel = adopt<QtLabel>(a, ui_->cardIdentifierLabel);
    o.cardNumTitle = adopt<QtLabel>(a, ui_->cardNumTitle);
    o.cardNumLabel = adopt<QtLabel>(a, ui_->cardNumLabel);
    o.cardStatusTitle = adopt<QtLabel>(a, ui_->cardStatusTitle);
    o.cardStatusLabel = adopt<QtLabel>(a, ui_->cardStatusLabel);
    o.cardNoInsertedLabel = adopt<QtLabel>(a, ui_->cardNoInsertedLabel);
    o.cardBlockedLabel = adopt<QtLabel>(a, ui_->cardBlockedLabel);
    o.testLabel = adopt<QtLabel>(a, ui_->testLabel);
    o.demoModeTitle = adopt<QtLabel>(a, ui_->demoModeTitle);
    o.cardStatus = adopt<QtLabel>(a, ui_->cardStatus);
    o.card = adopt<QtArea>(a, ui_->card);
    o.cardEmpty = adopt<QtArea>(a, ui_->cardEmpty);
    o.cardComboBox = adopt<QtPopUpList>(a, ui_->cardComboBox);
    o.progress = adopt<QtProgressIndicator>(a, ui_->progress);

    auto menuItem = [this](QAction* action) {
        auto item = std::make_unique<QtMenuItem>(action);
        QtMenuItem* raw = item.get();
        adapters_.push_back(std::move(item));
        return raw;
    };
    o.activateDemoMenuItem = menuItem(ui_->activateDemoMenuItem);
    o.desactivateDemoMenuItem = menuItem(ui_->desactivateDemoMenuItem);
    o.quitMenuItem = menuItem(ui_->quitMenuItem);
    o.aboutMenuItem = menuItem(ui_->aboutMenuItem);
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
}

void QtMainWindow::letEventLoopRun() {
    // Draws what was just set; the user's clicks wait until the card read is over.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 1);
}

void QtMainWindow::closeWindow() {
    closingWithoutAsking_ = true;
    close();
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
    box.exec();
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
            hoverHandler_(toStdString(button->text()), event->type() == QEvent::Enter);
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

}  // namespace qel::qt
