#include "app/maintenance_controller.h"

#include <stdexcept>

#include "app/log_utils.h"
#include "app/pin_fields.h"
#include "app/pin_entry_controller.h"
#include "app/pin_pad_controller.h"
#include "management/scard/scard.h"
#include "management/card_tables.h"
#include "common/format.h"
#include "common/logger.h"

namespace qel {

MaintenanceController::MaintenanceController(ui::MaintenanceView& view, MaintenanceServices services)
    : o_(view.widgets()), s_(std::move(services)) {
    if (!o_.complete()) throw std::invalid_argument("maintenance view: widgets missing");
    o_.servicesTestButton->setClickHandler([this] { onServicesTest(); });
    o_.activeTraces->setToggleHandler([this] { onCheckTrace(); });
    o_.traceLabelButton->setClickHandler([this] { onButtonTrace(); });
    o_.exportButton->setClickHandler([this] { onExport(); });
    o_.deleteDESfireButton->setClickHandler([this] { onDeleteDESfire(); });
    o_.contactSupportButton->setClickHandler([this] { onContactSupport(); });
    o_.activeTraces->setChecked(LogUtils::isTraceActive());
}

MaintenanceController::~MaintenanceController() { wipeSecret(); }

void MaintenanceController::wipeSecret() { secret_.reset(); }

void MaintenanceController::aboutToShow(std::optional<unsigned long> slotId, const std::string& readerName,
                                        std::shared_ptr<Pkcs11Card> card) {
    readerSelected_ = slotId;
    readerNameSelected_ = readerName;
    pCard_ = std::move(card);
    o_.activeTraces->setChecked(LogUtils::isTraceActive());
}

void MaintenanceController::setServicesTestEnabled(bool enabled) { o_.servicesTestButton->setEnabled(enabled); }

void MaintenanceController::setDeleteDESfireEnabled(bool enabled) { o_.deleteDESfireButton->setEnabled(enabled); }

void MaintenanceController::onCheckTrace() {
    const bool on = o_.activeTraces->isChecked();
    if (auto error = LogUtils::writeConfig(on)) {
        o_.activeTraces->setChecked(!on);
        logError("Une erreur est survenue lors de l'activation des traces : " + *error);
        s_.alerts.runModal(ui::Alert{
            ui::Alert::Style::critical, "Une erreur est survenue lors de l'activation des traces", *error, {}});
        return;
    }
    s_.alerts.runModal(ui::Alert{ui::Alert::Style::informational,
                                 on ? "L'activation des traces prendra effet lors de la prochaine exécution de Kartello"
                                    : "La désactivation des traces prendra effet lors de la prochaine exécution de "
                                      "Kartello",
                                 "",
                                 {"Fermer"}});
}

void MaintenanceController::onButtonTrace() {
    o_.activeTraces->setChecked(!o_.activeTraces->isChecked());
    onCheckTrace();
}

void MaintenanceController::onExport() {
    if (s_.exportDiagnostics) s_.exportDiagnostics();
}

void MaintenanceController::onContactSupport() {
    logInfo("Clic sur le lien 'Contacter le support'");
    s_.urlOpener.openUrl(kSupportContactUrl);
}

void MaintenanceController::onServicesTest() {
    if (pCard_ && usesPinPad(*pCard_)) {
        // The test starts its library afresh, which ends any login made before it: a PIN entry here
        // would have the holder type twice. The test's own login asks on the reader.
        ServicesTestRequest request;
        request.readerSelected = readerSelected_;
        request.pinOnKeypad = true;
        request.owner = this;
        s_.navigator.openServicesTest(request);
        return;
    }
    ui::PinEntryRequest request;
    request.card = pCard_;
    request.receiver = this;
    s_.navigator.openPinEntry(request);
}

void MaintenanceController::fail(const std::string& message, const std::string& informative) {
    s_.alerts.runModal(ui::Alert{ui::Alert::Style::critical, message, informative, {"Fermer"}});
}

void MaintenanceController::onDeleteDESfire() {
    if (!s_.scard) return;
    const ScanResult survey = s_.scard->scan();
    if (!survey.found) {
        fail("Erreur : Carte QEL4 non insérée.");
        return;
    }
    for (const auto& reader : survey.readers) {
        if (reader.isContactless && readerNameSelected_ &&
            trimControlCharacters(reader.readerName) == *readerNameSelected_) {
            deleteOn(reader.readerName, Bytes(16, 0x00), false);
            return;
        }
    }
    // The key is on the card, behind the PIN, through a contact reader.
    contactReader_.clear();
    for (const auto& reader : survey.readers)
        if (!reader.isContactless && contactReader_.empty()) contactReader_ = reader.readerName;
    if (contactReader_.empty()) contactReader_ = survey.readers.front().readerName;
    ui::PinEntryRequest request;
    request.receiver = this;
    request.context = kDeleteDESfireContext;
    request.readerNameQEL4 = contactReader_;
    s_.navigator.openPinEntry(request);
}

void MaintenanceController::deleteWithKeyFromCard() {
    DesfireKeySearch search =
        s_.scard->searchIRVDesfireKey(contactReader_, secret_ ? secret_->view() : std::string_view());
    wipeSecret();
    if (search.result || !search.key) {
        fail(format("Erreur : code 0x%08X", scardCode(search.result)), "Contactez le support.");
        return;
    }
    Bytes key = std::move(*search.key);
    const int answer = s_.alerts.runModal(ui::Alert{
        ui::Alert::Style::informational,
        "Veuillez insérer la carte QEL4 dans un lecteur sans contact puis, appuyer sur le bouton « Valider ».",
        "",
        {"Valider", "Annuler"}});
    if (answer == 0) {
        const ScanResult survey = s_.scard->scan();
        if (survey.readers.size() > 1) {
            fail("Erreur : Veuillez n’insérer qu’une seule carte QEL4 à la fois.");
        } else if (survey.readers.empty()) {
            fail("Erreur : Carte QEL4 non insérée.");
        } else if (!survey.readers.front().isContactless) {
            fail("La carte QEL4 est encore insérée dans un lecteur à contact.", "Veuillez recommencer l’opération.");
        } else {
            deleteOn(survey.readers.front().readerName, key, true);
        }
    }
    wipe(key);
}

void MaintenanceController::deleteOn(const std::string& readerName, const Bytes& key, bool keyFromCard) {
    const auto [presence, present] = s_.scard->isIRVDesfirePresent(readerName);
    // A card that cannot be reached says nothing about its data.
    if (presence) {
        fail("Erreur de connexion avec la carte QEL4", "Veuillez recommencer l’opération.");
        return;
    }
    if (!present) {
        fail("Erreur : Les données DESFire ont déjà été supprimées.");
        return;
    }
    // Return cancels: nothing brings the data back.
    const int answer =
        s_.alerts.runModal(ui::Alert{ui::Alert::Style::warning, kDeleteDesfireQuestion, "", {"Valider", "Annuler"}, 1});
    if (answer != 0) return;
    const std::uint32_t result = scardCode(s_.scard->deleteIRVDesfire(readerName, key, keyFromCard));
    logInfo(format("Suppression des données DESFire : 0x%08X", result));
    if (result == scard::kOk) {
        s_.alerts.runModal(ui::Alert{ui::Alert::Style::informational, "Données DESFire supprimées.", "", {"OK"}});
        o_.deleteDESfireButton->setEnabled(false);
    } else if (result == scard::kUnreachable) {
        fail("Erreur de connexion avec la carte QEL4", "Veuillez recommencer l’opération.");
    } else if (result == scard::kAuthRefused && !keyFromCard) {
        fail("La suppression des données DESFire a échoué.",
             "Veuillez insérer votre carte dans un lecteur contact puis, appuyer à nouveau sur le bouton « Supprimer "
             "les données DESFire ».");
    } else {
        fail(format("Erreur : code 0x%08X", result), "Contactez le support.");
    }
}

void MaintenanceController::pinEntered(const SecretBytes& pin) {
    wipeSecret();
    secret_ = pin.copy();
}

void MaintenanceController::pinEntryResult(bool success, const std::string& context) {
    s_.mainWindow.pinEntryResult(success, context);
    if (!success) {
        wipeSecret();
        return;
    }
    if (context == kDeleteDESfireContext) {
        if (s_.scard) deleteWithKeyFromCard();
        wipeSecret();
        return;
    }
    if (context.empty()) {
        ServicesTestRequest request;
        request.readerSelected = readerSelected_;
        request.secret = std::make_shared<SecretBytes>(secret_ ? secret_->copy() : SecretBytes());
        request.owner = this;
        // The test holds the only copy from here on.
        wipeSecret();
        s_.navigator.openServicesTest(request);
    }
}

void MaintenanceController::servicesTestStarted() {
    if (s_.pauseMainWindowCardEvents) s_.pauseMainWindowCardEvents(true);
}

void MaintenanceController::servicesTestEnded(std::shared_ptr<Pkcs11Card> card) {
    if (card) {
        pCard_ = card;
        if (s_.replaceMainWindowCard) s_.replaceMainWindowCard(std::move(card));
    }
    if (s_.pauseMainWindowCardEvents) s_.pauseMainWindowCardEvents(false);
}

}  // namespace qel
