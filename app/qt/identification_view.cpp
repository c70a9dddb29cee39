#include "app/qt/identification_view.h"

#include "app/qt/pictures.h"
#include "app/qt/qt_widgets.h"
#include "ui_identification_view.h"

namespace qel::qt {

QtIdentificationView::QtIdentificationView(QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::IdentificationView>()) {
    ui_->setupUi(this);
    ui_->copyButton->setIcon(pictureIcon("copy"));
    ui_->serialNumTitle->hide();

    auto& a = adapters_;
    outlets_.nameLabel = a.adopt<QtLabel>(ui_->nameLabel);
    outlets_.firstNameLabel = a.adopt<QtLabel>(ui_->firstNameLabel);
    outlets_.identifierLabel = a.adopt<QtLabel>(ui_->identifierLabel);
    outlets_.jobLabel = a.adopt<QtLabel>(ui_->jobLabel);
    outlets_.numLabel = a.adopt<QtLabel>(ui_->numLabel);
    outlets_.emissionLabel = a.adopt<QtLabel>(ui_->emissionLabel);
    outlets_.expirationLabel = a.adopt<QtLabel>(ui_->expirationLabel);
    outlets_.serialNumLabel = a.adopt<QtLabel>(ui_->serialNumLabel);
    outlets_.serialNumTitle = a.adopt<QtLabel>(ui_->serialNumTitle);
    outlets_.copyButton = a.adopt<QtButton>(ui_->copyButton);
}

QtIdentificationView::~QtIdentificationView() = default;

}  // namespace qel::qt
