#include "app/qt/identification_view.h"

#include "app/qt/pictures.h"
#include "app/qt/qt_widgets.h"
#include "ui_identification_view.h"

namespace qel::qt {

namespace {
template <typename Adapter, typename QtWidget>
Adapter* adopt(std::vector<std::unique_ptr<ui::Widget>>& adapters, QtWidget* widget) {
    adapters.push_back(std::make_unique<Adapter>(widget));
    return static_cast<Adapter*>(adapters.back().get());
}
}  // namespace

QtIdentificationView::QtIdentificationView(QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::IdentificationView>()) {
    ui_->setupUi(this);
    ui_->copyButton->setIcon(pictureIcon("copy"));
    ui_->serialNumTitle->hide();

    auto& a = adapters_;
    outlets_.nameLabel = adopt<QtLabel>(a, ui_->nameLabel);
    outlets_.firstNameLabel = adopt<QtLabel>(a, ui_->firstNameLabel);
    outlets_.identifierLabel = adopt<QtLabel>(a, ui_->identifierLabel);
    outlets_.jobLabel = adopt<QtLabel>(a, ui_->jobLabel);
    outlets_.numLabel = adopt<QtLabel>(a, ui_->numLabel);
    outlets_.emissionLabel = adopt<QtLabel>(a, ui_->emissionLabel);
    outlets_.expirationLabel = adopt<QtLabel>(a, ui_->expirationLabel);
    outlets_.serialNumLabel = adopt<QtLabel>(a, ui_->serialNumLabel);
    outlets_.serialNumTitle = adopt<QtLabel>(a, ui_->serialNumTitle);
    outlets_.copyButton = adopt<QtButton>(a, ui_->copyButton);
}

QtIdentificationView::~QtIdentificationView() = default;

}  // namespace qel::qt
