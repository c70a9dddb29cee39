#include "app/qt/situation_view.h"

#include "app/qt/pictures.h"
#include "app/qt/qt_widgets.h"
#include "ui_situation_view.h"

namespace qel::qt {

namespace {
template <typename Adapter, typename QtWidget>
Adapter* adopt(std::vector<std::unique_ptr<ui::Widget>>& adapters, QtWidget* widget) {
    adapters.push_back(std::make_unique<Adapter>(widget));
    return static_cast<Adapter*>(adapters.back().get());
}
}  // namespace

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
    o.SituView = adopt<QtArea>(a, ui_->SituView);
    o.FactuView = adopt<QtArea>(a, ui_->FactuView);
    o.situModeExercice = adopt<QtLabel>(a, ui_->situModeExercice);
    o.situRaisonSociale = adopt<QtLabel>(a, ui_->situRaisonSociale);
    o.situIdentifiant = adopt<QtLabel>(a, ui_->situIdentifiant);
    o.situSecteurActivite = adopt<QtLabel>(a, ui_->situSecteurActivite);
    o.situTabPharma = adopt<QtLabel>(a, ui_->situTabPharma);
    o.noSitu = adopt<QtLabel>(a, ui_->noSitu);
    o.factuIdentifiant = adopt<QtLabel>(a, ui_->factuIdentifiant);
    o.factuSpecialite = adopt<QtLabel>(a, ui_->factuSpecialite);
    o.factuConvention = adopt<QtLabel>(a, ui_->factuConvention);
    o.factuZoneTarifaire = adopt<QtLabel>(a, ui_->factuZoneTarifaire);
    o.factuIndemKilometre = adopt<QtLabel>(a, ui_->factuIndemKilometre);
    o.factuAgrement = adopt<QtLabel>(a, ui_->factuAgrement);
    o.factuPermissionFSE = adopt<QtLabel>(a, ui_->factuPermissionFSE);
    o.factuPermissionLot = adopt<QtLabel>(a, ui_->factuPermissionLot);
    o.pageCounter = adopt<QtLabel>(a, ui_->pageCounter);
    o.previousButton = adopt<QtButton>(a, ui_->previousButton);
    o.nextButton = adopt<QtButton>(a, ui_->nextButton);
    o.copySituButton = adopt<QtButton>(a, ui_->copySituButton);
    o.copyFactuButton = adopt<QtButton>(a, ui_->copyFactuButton);
}

QtSituationView::~QtSituationView() = default;

}  // namespace qel::qt
