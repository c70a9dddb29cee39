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
    widgets_.nameLabel = a.adopt<QtLabel>(ui_->nameLabel);
    widgets_.firstNameLabel = a.adopt<QtLabel>(ui_->firstNameLabel);
    widgets_.identifierLabel = a.adopt<QtLabel>(ui_->identifierLabel);
    widgets_.jobLabel = a.adopt<QtLabel>(ui_->jobLabel);
    widgets_.numLabel = a.adopt<QtLabel>(ui_->numLabel);
    widgets_.emissionLabel = a.adopt<QtLabel>(ui_->emissionLabel);
    widgets_.expirationLabel = a.adopt<QtLabel>(ui_->expirationLabel);
    widgets_.serialNumLabel = a.adopt<QtLabel>(ui_->serialNumLabel);
    widgets_.serialNumTitle = a.adopt<QtLabel>(ui_->serialNumTitle);
    widgets_.copyButton = a.adopt<QtButton>(ui_->copyButton);
}

QtIdentificationView::~QtIdentificationView() = default;

}  // namespace qel::qt
