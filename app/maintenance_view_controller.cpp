#include "app/maintenance_view_controller.h"

#include <stdexcept>

#include "app/log_utils.h"
#include "app/pin_fields.h"
#include "common/logger.h"

namespace qel {

MaintenanceViewController::MaintenanceViewController(ui::MaintenanceView& view, MaintenanceServices services)
    : o_(view.outlets()), s_(std::move(services)) {
    if (!o_.complete()) throw std::invalid_argument("maintenance view: outlets missing");
    o_.servicesTestButton->setClickHandler([this] { onServicesTest(); });
    o_.activeTraces->setToggleHandler([this] { onCheckTrace(); });
    o_.traceLabelButton->setClickHandler([this] { onButtonTrace(); });
    o_.exportButton->setClickHandler([this] { onExport(); });
    o_.deleteDESfireButton->setClickHandler([this] { onDeleteDESfire(); });
    o_.contactSupportButton->setClickHandler([this] { onContactSupport(); });
    o_.activeTraces->setChecked(LogUtils::isTraceActive());
}

MaintenanceViewController::~MaintenanceViewController() { wipeSecret(); }

void MaintenanceViewController::wipeSecret() {
    if (secret_) wipe(*secret_);
    secret_.reset();
}

void MaintenanceViewController::viewWillAppear(std::optional<unsigned long> slotId, const std::string& readerName,
                                               std::shared_ptr<Pkcs11Card> card) {
    readerSelected_ = slotId;
    readerNameSelected_ = readerName;
    pCard_ = std::move(card);
    o_.activeTraces->setChecked(LogUtils::isTraceActive());
}

void MaintenanceViewController::setServicesTestEnabled(bool enabled) { o_.servicesTestButton->setEnabled(enabled); }

void MaintenanceViewController::setDeleteDESfireEnabled(bool enabled) { o_.deleteDESfireButton->setEnabled(enabled); }

void MaintenanceViewController::onCheckTrace() {
    const bool on = o_.activeTraces->isChecked();
    if (auto error = LogUtils::writeConfig(on)) {
        o_.activeTraces->setChecked(!on);
        logError("Une erreur est survenue lors de l'activation des traces : " + *error);
        s_.alerts.runModal(ui::Alert{ui::Alert::Style::critical,
                                     "Une erreur est survenue lors de l'activation des traces", *error, {}});
        return;
    }
    s_.alerts.runModal(ui::Alert{ui::Alert::Style::informational,
                                 on ? "L'activation des traces prendra effet lors de la prochaine exécution de Kartello"
                                    : "La désactivation des traces prendra effet lors de la prochaine exécution de "
                                      "Kartello",
                                 "",
                                 {"Fermer"}});
}

void MaintenanceViewController::onButtonTrace() {
    o_.activeTraces->setChecked(!o_.activeTraces->isChecked());
    onCheckTrace();
}

void MaintenanceViewController::onExport() {
    if (s_.exportDiagnostics) s_.exportDiagnostics();
}

void MaintenanceViewController::onContactSupport() {
    logInfo("Clic sur le lien 'Contacter le support'");
    s_.urlOpener.openUrl(kSupportContactUrl);
}

void MaintenanceViewController::onServicesTest() {
    ui::SegueValues values;
    values.pCard = pCard_;
    values.saisieDelegate = this;
    s_.navigator.performSegue(ui::segue::saisiePin, values);
}

void MaintenanceViewController::onDeleteDESfire() {
    logWarning("Suppression des données DESfire : non disponible dans cette version");
}

void MaintenanceViewController::pinEntered(const std::string& pin) {
    wipeSecret();
    secret_ = pin;
}

void MaintenanceViewController::pinEntryResult(bool success, const std::string& context) {
    s_.mainWindow.pinEntryResult(success, context);
    if (!success) {
        wipeSecret();
        return;
    }
    if (context.empty()) {
        ServicesTestRequest request;
        request.readerSelected = readerSelected_;
        request.secret = secret_.value_or("");
        request.owner = this;
        // The test holds the only copy from here on.
        wipeSecret();
        ui::SegueValues values;
        values.sender = std::move(request);
        s_.navigator.performSegue(kServicesSegue, values);
    }
}

void MaintenanceViewController::servicesTestEnded(std::shared_ptr<Pkcs11Card> card) {
    if (!card) return;
    pCard_ = card;
    if (s_.replaceMainWindowCard) s_.replaceMainWindowCard(std::move(card));
}

}  // namespace qel
