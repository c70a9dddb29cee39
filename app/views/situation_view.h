#pragma once
#include "app/views/widgets.h"

namespace qel::ui {

/// The controls of the situations sub-view: one practice situation per page with its billing block.
struct SituationOutlets {
    Area* SituView = nullptr;   ///< the situation block
    Area* FactuView = nullptr;  ///< the billing block
    Label* situModeExercice = nullptr;
    Label* situRaisonSociale = nullptr;
    Label* situIdentifiant = nullptr;
    Label* situSecteurActivite = nullptr;
    Label* situTabPharma = nullptr;
    Label* noSitu = nullptr;  ///< shown when there is nothing to show
    Label* factuIdentifiant = nullptr;
    Label* factuSpecialite = nullptr;
    Label* factuConvention = nullptr;
    Label* factuZoneTarifaire = nullptr;
    Label* factuIndemKilometre = nullptr;
    Label* factuAgrement = nullptr;
    Label* factuPermissionFSE = nullptr;
    Label* factuPermissionLot = nullptr;
    Label* pageCounter = nullptr;
    Button* previousButton = nullptr;
    Button* nextButton = nullptr;
    Button* copySituButton = nullptr;   ///< `onCopySitu`
    Button* copyFactuButton = nullptr;  ///< `onCopyFactu`

    bool complete() const;
};

class SituationView {
public:
    virtual ~SituationView() = default;
    virtual const SituationOutlets& outlets() = 0;
    /// The whole sub-view (hidden while it loads).
    virtual void setViewHidden(bool hidden) = 0;
};

}  // namespace qel::ui
