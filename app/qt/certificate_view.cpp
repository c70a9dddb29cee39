#include "app/qt/certificate_view.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFormLayout>
#include <QPushButton>
#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/qt/qt_widgets.h"
#include "ui_certificate_view.h"

namespace qel::qt {

QtCertificateView::QtCertificateView(QWidget* parent) : QWidget(parent), ui_(std::make_unique<Ui::CertificateView>()) {
    ui_->setupUi(this);
    auto& a = adapters_;
    auto& o = widgets_;
    o.authentName = a.adopt<QtLabel>(ui_->authentName);
    o.authentView = a.adopt<QtButton>(ui_->authentView);
    o.authentSave = a.adopt<QtButton>(ui_->authentSave);
    o.signatureName = a.adopt<QtLabel>(ui_->signatureName);
    o.signatureView = a.adopt<QtButton>(ui_->signatureView);
    o.signatureSave = a.adopt<QtButton>(ui_->signatureSave);
    o.countLabel = a.adopt<QtLabel>(ui_->countLabel);
    o.messageLabel = a.adopt<QtLabel>(ui_->messageLabel);
}

QtCertificateView::~QtCertificateView() = default;

namespace {

QLabel* value(const std::string& text, bool monospace = false) {
    auto* label = new QLabel(QString::fromStdString(text));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    if (monospace) label->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    return label;
}

QLabel* heading(const QString& text) {
    auto* label = new QLabel(text);
    label->setProperty("subheading", true);
    return label;
}

}  // namespace

void QtCertificateViewer::show(const ui::CertificateDetails& d) {
    QDialog dialog(parent_);
    dialog.setObjectName(QStringLiteral("certificateDialog"));
    dialog.setWindowTitle(QString::fromStdString(d.title));
    dialog.setWindowModality(Qt::WindowModal);
    dialog.resize(640, 620);
    auto* layout = new QVBoxLayout(&dialog);

    auto* title = new QLabel(QString::fromStdString(d.title));
    title->setProperty("heading", true);
    layout->addWidget(title);

    auto* form = new QFormLayout;
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignTop);
    form->setRowWrapPolicy(QFormLayout::DontWrapRows);
    form->addRow(QStringLiteral("Sujet :"), value(d.subject));
    form->addRow(QStringLiteral("Émetteur :"), value(d.issuer));
    form->addRow(QStringLiteral("Valide du :"), value(d.notBefore));
    form->addRow(QStringLiteral("Valide jusqu'au :"), value(d.notAfter));
    form->addRow(QStringLiteral("Numéro de série :"), value(d.serial, true));
    form->addRow(QStringLiteral("Clé publique :"), value(d.publicKey));
    form->addRow(QStringLiteral("Signature :"), value(d.signatureAlgorithm));
    std::string usages;
    for (const auto& u : d.keyUsages) usages += (usages.empty() ? "" : ", ") + u;
    form->addRow(QStringLiteral("Usages de la clé :"), value(usages.empty() ? "—" : usages));
    // One form for the fields and the fingerprints, so that their columns line up.
    form->addRow(heading(QStringLiteral("Empreintes")));
    form->addRow(QStringLiteral("SHA-256 :"), value(d.sha256, true));
    form->addRow(QStringLiteral("SHA-1 :"), value(d.sha1, true));
    layout->addLayout(form);

    layout->addWidget(heading(QStringLiteral("Extensions")));
    auto* extensions = new QTreeWidget;
    extensions->setAccessibleName(QStringLiteral("Extensions"));
    extensions->setObjectName(QStringLiteral("extensions"));
    extensions->setColumnCount(2);
    extensions->setHeaderLabels({QStringLiteral("Extension"), QStringLiteral("Valeur")});
    extensions->setRootIsDecorated(false);
    extensions->setWordWrap(true);
    extensions->setAlternatingRowColors(true);
    for (const auto& e : d.extensions) {
        QString name = QString::fromStdString(e.name);
        name.remove(QStringLiteral("X509v3 "));
        if (e.critical) name += QStringLiteral(" (critique)");
        auto* item = new QTreeWidgetItem({name, QString::fromStdString(e.value)});
        item->setToolTip(1, QString::fromStdString(e.value));
        extensions->addTopLevelItem(item);
    }
    extensions->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    extensions->header()->setStretchLastSection(true);
    layout->addWidget(extensions, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    buttons->button(QDialogButtonBox::Close)->setText(QStringLiteral("Fermer"));
    buttons->button(QDialogButtonBox::Close)->setDefault(true);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.exec();
}

std::optional<std::string> QtFilePicker::chooseSaveLocation(const ui::SaveRequest& request) {
    QFileDialog dialog(parent_, QString::fromStdString(request.title));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setDirectory(QString::fromStdString(request.startDirectory));
    dialog.setNameFilter(QStringLiteral("%1 (*.%2)")
                             .arg(QString::fromStdString(request.typeName), QString::fromStdString(request.extension)));
    dialog.setDefaultSuffix(QString::fromStdString(request.extension));
    dialog.selectFile(QString::fromStdString(request.proposedName));
    // No new folders (nor renaming or deleting files from the dialog).
    dialog.setOption(QFileDialog::ReadOnly, true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return QDir::toNativeSeparators(QFileInfo(dialog.selectedFiles().first()).absoluteFilePath()).toStdString();
}

}  // namespace qel::qt
