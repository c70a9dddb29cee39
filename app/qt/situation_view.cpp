#include "app/qt/situation_view.h"

#include <QGridLayout>
#include <algorithm>

#include "app/qt/pictures.h"
#include "app/qt/qt_widgets.h"
#include "ui_situation_view.h"

namespace qel::qt {

QtSituationView::QtSituationView(QWidget* parent) : QWidget(parent), ui_(std::make_unique<Ui::SituationView>()) {
    ui_->setupUi(this);
    ui_->copySituButton->setIcon(pictureIcon("copy"));
    ui_->copyFactuButton->setIcon(pictureIcon("copy"));
    // Nothing read yet: the empty-state line only.
    ui_->SituView->hide();
    ui_->FactuView->hide();
    ui_->previousButton->hide();
    ui_->nextButton->hide();
    ui_->pageCounter->hide();

    auto& a = adapters_;
    auto& o = outlets_;
    o.SituView = a.adopt<QtArea>(ui_->SituView);
    o.FactuView = a.adopt<QtArea>(ui_->FactuView);
    o.situModeExercice = a.adopt<QtLabel>(ui_->situModeExercice);
    o.situRaisonSociale = a.adopt<QtLabel>(ui_->situRaisonSociale);
    o.situIdentifiant = a.adopt<QtLabel>(ui_->situIdentifiant);
    o.situSecteurActivite = a.adopt<QtLabel>(ui_->situSecteurActivite);
    o.situTabPharma = a.adopt<QtLabel>(ui_->situTabPharma);
    o.noSitu = a.adopt<QtLabel>(ui_->noSitu);
    o.factuIdentifiant = a.adopt<QtLabel>(ui_->factuIdentifiant);
    o.factuSpecialite = a.adopt<QtLabel>(ui_->factuSpecialite);
    o.factuConvention = a.adopt<QtLabel>(ui_->factuConvention);
    o.factuZoneTarifaire = a.adopt<QtLabel>(ui_->factuZoneTarifaire);
    o.factuIndemKilometre = a.adopt<QtLabel>(ui_->factuIndemKilometre);
    o.factuAgrement = a.adopt<QtLabel>(ui_->factuAgrement);
    o.factuPermissionFSE = a.adopt<QtLabel>(ui_->factuPermissionFSE);
    o.factuPermissionLot = a.adopt<QtLabel>(ui_->factuPermissionLot);
    o.pageCounter = a.adopt<QtLabel>(ui_->pageCounter);
    o.previousButton = a.adopt<QtButton>(ui_->previousButton);
    o.nextButton = a.adopt<QtButton>(ui_->nextButton);
    o.copySituButton = a.adopt<QtButton>(ui_->copySituButton);
    o.copyFactuButton = a.adopt<QtButton>(ui_->copyFactuButton);
}

QtSituationView::~QtSituationView() = default;

void QtSituationView::resizeEvent(QResizeEvent* event) {
    // Side by side in a narrow window, each block keeps a few letters of its values: one above the
    // other, they keep most of their text and the page scrolls.
    constexpr int kSideBySideWidth = 900;
    ui_->blocks->setDirection(width() < kSideBySideWidth ? QBoxLayout::TopToBottom : QBoxLayout::LeftToRight);
    // The billing block's two forms read as one: their values start at the same place (the titles'
    // widths are known once the style sheet has given them their font).
    int titles = 0;
    for (QGridLayout* form : {ui_->factuForm, ui_->permissionForm})
        for (int row = 0; row < form->rowCount(); ++row)
            if (QLayoutItem* item = form->itemAtPosition(row, 0); item && item->widget())
                titles = std::max(titles, item->widget()->sizeHint().width());
    for (QGridLayout* form : {ui_->factuForm, ui_->permissionForm}) form->setColumnMinimumWidth(0, titles);
    QWidget::resizeEvent(event);
}

}  // namespace qel::qt
