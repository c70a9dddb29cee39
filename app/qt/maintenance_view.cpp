#include "app/qt/maintenance_view.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScrollBar>

#include "app/qt/qt_widgets.h"
#include "ui_maintenance_view.h"
#include "ui_services_window.h"

namespace qel::qt {
namespace {

class QtTextArea : public QtWidgetBase<ui::TextArea> {
public:
    explicit QtTextArea(QPlainTextEdit* edit) : QtWidgetBase(edit), edit_(edit) {}
    void setText(const std::string& text) override { edit_->setPlainText(toQString(text)); }
    void appendText(const std::string& text) override {
        // insertPlainText, unlike appendPlainText, adds no paragraph of its own: the report's line
        // feeds are its own.
        QTextCursor cursor = edit_->textCursor();
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(toQString(text));
        edit_->verticalScrollBar()->setValue(edit_->verticalScrollBar()->maximum());
    }
    std::string text() const override { return toStdString(edit_->toPlainText()); }

private:
    QPlainTextEdit* edit_;
};

}  // namespace

QtCheckBox::QtCheckBox(QCheckBox* box) : box_(box) {
    QObject::connect(box_, &QCheckBox::clicked, box_, [this] {
        if (handler_) handler_();
    });
}
void QtCheckBox::setEnabled(bool enabled) { box_->setEnabled(enabled); }
bool QtCheckBox::isEnabled() const { return box_->isEnabled(); }
void QtCheckBox::setHidden(bool hidden) { box_->setHidden(hidden); }
bool QtCheckBox::isHidden() const { return box_->isHidden(); }
void QtCheckBox::setTooltip(const std::string& text) { box_->setToolTip(toQString(text)); }
void QtCheckBox::setChecked(bool checked) { box_->setChecked(checked); }
bool QtCheckBox::isChecked() const { return box_->isChecked(); }

QtMaintenanceView::QtMaintenanceView(QWidget* parent) : QWidget(parent), ui_(std::make_unique<Ui::MaintenanceView>()) {
    ui_->setupUi(this);
    traces_ = std::make_unique<QtCheckBox>(ui_->activeTraces);
    auto& a = adapters_;
    widgets_.servicesTestButton = a.adopt<QtButton>(ui_->servicesTestButton);
    widgets_.activeTraces = traces_.get();
    widgets_.traceLabelButton = a.adopt<QtButton>(ui_->traceLabelButton);
    widgets_.exportButton = a.adopt<QtButton>(ui_->exportButton);
    widgets_.deleteDESfireButton = a.adopt<QtButton>(ui_->deleteDESfireButton);
    widgets_.contactSupportButton = a.adopt<QtButton>(ui_->contactSupportButton);
}

QtMaintenanceView::~QtMaintenanceView() = default;

QtServicesWindow::QtServicesWindow(QWidget* parent)
    : QtSheetDialog(parent), ui_(std::make_unique<Ui::ServicesWindow>()) {
    ui_->setupUi(this);
    QFont mono = ui_->resultText->font();
    mono.setStyleHint(QFont::Monospace);
    mono.setFamily(QStringLiteral("monospace"));
    ui_->resultText->setFont(mono);
    // The report aligns its results with tabs of eight columns.
    ui_->resultText->setTabStopDistance(QFontMetricsF(mono).horizontalAdvance(QLatin1Char(' ')) * 8);
    widgets_.stepLabel = adapters_.adopt<QtLabel>(ui_->stepLabel);
    widgets_.progressBar = adapters_.adopt<QtProgressBar>(ui_->progressBar);
    widgets_.resultText = adapters_.adopt<QtTextArea>(ui_->resultText);
    widgets_.resultSaveButton = adapters_.adopt<QtButton>(ui_->resultSaveButton);
    widgets_.quit = adapters_.adopt<QtButton>(ui_->quit);
}

QtServicesWindow::~QtServicesWindow() = default;

void QtServicesWindow::reject() {
    if (closing_ || !closeRequest_) {
        QDialog::reject();
        return;
    }
    closeRequest_();
}

void QtServicesWindow::closeEvent(QCloseEvent* event) {
    if (closing_ || !closeRequest_) {
        QDialog::closeEvent(event);
        return;
    }
    event->ignore();
    closeRequest_();
}

}  // namespace qel::qt
