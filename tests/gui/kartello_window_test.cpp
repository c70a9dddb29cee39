// The real Kartello window on the virtual QEL3 card of the testbed, through pcscd and the stand-in
// issuer library (QEL_PKCS11_LIBRARY).
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDate>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <QPushButton>
#include <cstdlib>

#include "app/qt/kartello_app.h"
#include "app/qt/main_window.h"
#include "app/qt/picture_view.h"
#include "app/qt/pin_dialogs.h"
#include "app/qt/qt_navigator.h"
#include "gui_support.h"
#include "pkcs11/pkcs11_library.h"

namespace qel {
namespace {

using gui_test::guiApp;

/// The expiry of the testbed's contact card as the window shows it (dd/MM/yyyy): the profiles take
/// their dates from the day they are made.
QString contactCardExpiry() {
    QFile file(qEnvironmentVariable("QELCARD_SIM_RUN_DIR") + "/profiles/qel3-default/profile.json");
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
    const QString iso = QJsonDocument::fromJson(file.readAll()).object().value("validUntil").toString();
    return QDate::fromString(iso, Qt::ISODate).toString("dd/MM/yyyy");
}
using gui_test::waitUntil;

class KartelloWindow : public ::testing::Test {
protected:
    void SetUp() override {
        guiApp();
        // Reading the card installs the issuer chain, which asks once before trusting its root:
        // the user agrees.
        QObject::connect(&alertAnswerer_, &QTimer::timeout, [this] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                    alertsAnswered_.push_back(box->text());
                    if (QPushButton* ok = box->defaultButton()) ok->click();
                }
        });
        alertAnswerer_.start(50);
        app_ = std::make_unique<qt::KartelloApp>(configuredPkcs11LibraryPath());
        app_->start();
    }
    void TearDown() override { app_.reset(); }

    template <typename T = QWidget>
    T* find(const char* name) {
        T* widget = app_->window().findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QString text(const char* label) { return find<QLabel>(label)->text(); }
    bool enabled(const char* button) { return find<QPushButton>(button)->isEnabled(); }

    // The library loads, the readers are listed and the card in the contact reader is read.
    bool waitForHolder() {
        return waitUntil([&] { return text("cardNameLabel") == QStringLiteral("DUPONT JEAN"); }, 30000);
    }

    QTimer alertAnswerer_;
    QStringList alertsAnswered_;
    std::unique_ptr<qt::KartelloApp> app_;
};

TEST_F(KartelloWindow, ShowsTheHolderOfTheContactCardAndTheFunctionsItAllows) {
    ASSERT_TRUE(waitForHolder()) << "name shown: " << text("cardNameLabel").toStdString()
                                 << ", status: " << text("cardStatus").toStdString();

    auto* readers = find<QComboBox>("cardComboBox");
    QStringList entries;
    for (int i = 0; i < readers->count(); ++i) entries << readers->itemText(i);
    // The selected reader's entry shows the holder; the contactless reader keeps its name.
    EXPECT_EQ(readers->currentText(), QStringLiteral("DUPONT JEAN")) << entries.join('|').toStdString();
    EXPECT_TRUE(entries.contains(QStringLiteral("Virtual PCD 00 01"))) << entries.join('|').toStdString();

    EXPECT_EQ(text("cardJobLabel"), QStringLiteral("Médecin"));
    EXPECT_EQ(text("cardNumLabel"), QStringLiteral("1234567890"));
    EXPECT_EQ(text("cardStatusLabel"), QStringLiteral("Expire le ") + contactCardExpiry());
    EXPECT_FALSE(find("testLabel")->isHidden());
    EXPECT_EQ(find<qt::PictureView>("topCard")->pictureName(), "top-card-medecin");
    EXPECT_FALSE(find("card")->isHidden());
    EXPECT_TRUE(find("cardEmpty")->isHidden());
    EXPECT_EQ(text("nameLabel"), QStringLiteral("DUPONT"));
    EXPECT_EQ(text("firstNameLabel"), QStringLiteral("JEAN"));
    EXPECT_EQ(text("cardStatus"), QString());

    for (const char* on : {"identification", "situation", "certificate", "tmaj", "pinCode", "pinCodeModif",
                           "diagQELButton", "testsSsl", "portalEQEL", "VekAuthentication", "refreshButton"})
        EXPECT_TRUE(enabled(on)) << on;
    for (const char* off : {"unlockCard", "VekDisconnect"}) EXPECT_FALSE(enabled(off)) << off;
    EXPECT_TRUE(find("cardUnlock")->isHidden());
    EXPECT_FALSE(find("cardPinPadlock")->isHidden());
    EXPECT_EQ(find("cardPinPadlock")->property("pictureName").toString(), QStringLiteral("lock"));

    // The certificates pane in place of its placeholder, with the card's two rows.
    find<QPushButton>("certificate")->click();
    EXPECT_EQ(text("authentName"), QStringLiteral("Certificat d'Authentification QEL"));
    EXPECT_TRUE(find("signatureView")->isVisible());
    EXPECT_TRUE(text("countLabel").endsWith(QStringLiteral(" certificats sur la carte")))
        << text("countLabel").toStdString();
}

TEST_F(KartelloWindow, PinEntryThenSituationsReadFromTheCard) {
    ASSERT_TRUE(waitForHolder());
    // The token watch reports the cards already present once it runs, and the window reads the
    // card again for it (which logs the holder out): let that pass before logging in.
    gui_test::processFor(3000);

    find<QPushButton>("situation")->click();  // not logged in yet: asks for the PIN first
    auto* dialog = qobject_cast<qt::QtSaisiePinDialog*>(app_->navigator().lastDialog());
    ASSERT_NE(dialog, nullptr);
    gui_test::typeText(dialog->findChild<QLineEdit*>("pinTextField"), "1234");
    dialog->findChild<QPushButton*>("validateButton")->click();
    EXPECT_EQ(dialog->findChild<QLabel*>("errorPinLabel")->text(), QStringLiteral("Authentification réussie !"));
    ASSERT_TRUE(waitUntil([&] { return app_->navigator().lastDialog() == nullptr; }, 5000));

    EXPECT_FALSE(enabled("pinCode"));
    EXPECT_EQ(find("cardPinPadlock")->property("pictureName").toString(), QStringLiteral("unlock"));
    EXPECT_TRUE(find("situationLock")->isHidden());
    EXPECT_EQ(app_->window().currentSubView(), ui::SubView::situation);
    ASSERT_TRUE(waitUntil([&] { return !find("SituView")->isHidden(); }, 10000));
    EXPECT_EQ(text("pageCounter"), QStringLiteral("1 / 2"));
    EXPECT_EQ(text("situRaisonSociale"), QStringLiteral("CABINET DUPONT"));
    EXPECT_TRUE(find("previousButton")->isHidden());
    find<QPushButton>("nextButton")->click();
    EXPECT_EQ(text("pageCounter"), QStringLiteral("2 / 2"));
    EXPECT_EQ(text("situRaisonSociale"), QStringLiteral("CENTRE HOSPITALIER DE TEST"));
    EXPECT_EQ(text("factuPermissionLot"), QStringLiteral("Non"));
    EXPECT_TRUE(find("nextButton")->isHidden());
}

}  // namespace
}  // namespace qel
