#include "app/situation_view_controller.h"

#include <stdexcept>

#include "common/logger.h"
#include "issuerlib/pkcs11_card.h"

namespace qel {

SituationViewController::SituationViewController(ui::SituationView& view, MainWindowDelegate& mainWindow,
                                                 ui::Clipboard& clipboard)
    : view_(view), o_(view.outlets()), mainWindow_(mainWindow), clipboard_(clipboard) {
    if (!o_.complete()) throw std::invalid_argument("situation view: outlets missing");
    o_.nextButton->setClickHandler([this] { onNext(); });
    o_.previousButton->setClickHandler([this] { onPrevious(); });
    o_.copySituButton->setClickHandler([this] { onCopySitu(); });
    o_.copyFactuButton->setClickHandler([this] { onCopyFactu(); });
}

void SituationViewController::reset() {
    situFactuInfosTab.clear();
    currentPage = 0;
    totalSitu = 0;
}

void SituationViewController::viewWillAppear() {
    logInfo("Demande de situations");
    view_.setViewHidden(true);
    pCard = mainWindow_.selectedCard();
    if (situFactuInfosTab.empty()) {
        o_.SituView->setHidden(true);
        o_.noSitu->setHidden(false);
        mainWindow_.beginCardReading();
        if (pCard && pCard->isUserLoggedIn()) {
            situFactuInfosTab = pCard->getSituations().situFactuTab;
            totalSitu = static_cast<int>(situFactuInfosTab.size());
            if (totalSitu != 0) {
                currentPage = 0;
                showPage(currentPage);
                o_.SituView->setHidden(false);
                o_.noSitu->setHidden(true);
                o_.previousButton->setHidden(true);
                o_.nextButton->setHidden(totalSitu < 2);
                updatePageCounter();
                o_.pageCounter->setHidden(false);
                logSuccess("Situations récupérées avec succès");
            }
        }
        mainWindow_.endCardReading();
    }
    view_.setViewHidden(false);
}

void SituationViewController::showPage(int page) {
    if (page < 0 || page >= static_cast<int>(situFactuInfosTab.size())) return;
    const SituFactuStruct& s = situFactuInfosTab[static_cast<std::size_t>(page)];
    o_.situModeExercice->setText(s.modeExercice);
    o_.situRaisonSociale->setText(s.raisonSociale);
    o_.situIdentifiant->setText(s.identifiantSitu);
    o_.situSecteurActivite->setText(s.secteurActivite);
    o_.situTabPharma->setText(s.tableauPharma);
    if (s.hasFactu) {
        o_.factuIdentifiant->setText(s.identifiantFactu);
        o_.factuSpecialite->setText(s.specialite);
        o_.factuConvention->setText(s.convention);
        o_.factuZoneTarifaire->setText(s.zoneTarifaire);
        o_.factuIndemKilometre->setText(s.indemKilometre);
        o_.factuAgrement->setText(s.agrement);
        o_.factuPermissionFSE->setText(s.permissionFSE ? "Oui" : "Non");
        o_.factuPermissionLot->setText(s.permissionLot ? "Oui" : "Non");
        o_.FactuView->setHidden(false);
    } else {
        o_.FactuView->setHidden(true);
    }
}

void SituationViewController::updatePageCounter() {
    o_.pageCounter->setText(std::to_string(currentPage + 1) + " / " + std::to_string(totalSitu));
}

void SituationViewController::onNext() {
    // The button is hidden on the last page; a stray click must not leave the list.
    if (currentPage + 1 >= totalSitu) return;
    ++currentPage;
    showPage(currentPage);
    updatePageCounter();
    o_.previousButton->setHidden(false);
    if (currentPage == totalSitu - 1) o_.nextButton->setHidden(true);
}

void SituationViewController::onPrevious() {
    if (currentPage <= 0) return;
    --currentPage;
    showPage(currentPage);
    updatePageCounter();
    o_.nextButton->setHidden(false);
    if (currentPage == 0) o_.previousButton->setHidden(true);
}

void SituationViewController::onCopySitu() {
    clipboard_.setText("Exercice\nMode d'exercice: " + o_.situModeExercice->text() + "\nRaison sociale: " +
                       o_.situRaisonSociale->text() + "\nIdentifiant de la structure: " + o_.situIdentifiant->text() +
                       "\nSecteur d'activité: " + o_.situSecteurActivite->text() + "\n\n");
}

void SituationViewController::onCopyFactu() {
    clipboard_.setText("Facturation\nIdentifiant: " + o_.factuIdentifiant->text() +
                       "\nSpécialité: " + o_.factuSpecialite->text() + "\n" + o_.factuConvention->text() + "\n" +
                       o_.factuZoneTarifaire->text() + "\n" + o_.factuIndemKilometre->text() +
                       "\nAgrément: " + o_.factuAgrement->text() +
                       "\nAutorisation de signature:\nPermissions pour les FSE: " + o_.factuPermissionFSE->text() +
                       "\nPermissions pour les lots: " + o_.factuPermissionLot->text());
}

}  // namespace qel
