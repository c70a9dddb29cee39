#include "app/views/certificate_view.h"
#include "app/views/identification_view.h"
#include "app/views/main_window_view.h"
#include "app/views/pin_dialog_views.h"
#include "app/views/situation_view.h"

namespace qel::ui {
namespace {

template <typename... Pointers>
bool allSet(const Pointers*... pointers) {
    return ((pointers != nullptr) && ...);
}

}  // namespace

bool MainWindowWidgets::complete() const {
    return allSet(identification, situation, certificate, tmaj, pinCode, pinCodeModif, unlockCard, maintenance,
                  diagQELButton, testsSsl, portalEQEL, contactSupport, cardUnlock, cardPinPadlock, refreshButton,
                  VekAuthentication, VekDisconnect, situationLock, tmajNotif, topCard, cardNameLabel, cardJobLabel,
                  cardIdentifierTitle, cardIdentifierLabel, cardNumTitle, cardNumLabel, cardStatusTitle,
                  cardStatusLabel, cardNoInsertedLabel, cardBlockedLabel, testLabel, demoModeTitle, cardStatus, card,
                  cardEmpty, cardComboBox, progress, activateDemoMenuItem, desactivateDemoMenuItem, quitMenuItem,
                  aboutMenuItem);
}

bool IdentificationWidgets::complete() const {
    return allSet(nameLabel, firstNameLabel, identifierLabel, jobLabel, numLabel, emissionLabel, expirationLabel,
                  serialNumLabel, serialNumTitle, copyButton);
}

bool SituationWidgets::complete() const {
    return allSet(SituView, FactuView, situModeExercice, situRaisonSociale, situIdentifiant, situSecteurActivite,
                  situTabPharma, noSitu, factuIdentifiant, factuSpecialite, factuConvention, factuZoneTarifaire,
                  factuIndemKilometre, factuAgrement, factuPermissionFSE, factuPermissionLot, pageCounter,
                  previousButton, nextButton, copySituButton, copyFactuButton);
}

bool PinEntryWidgets::complete() const { return allSet(errorPinLabel, pinTextField, validateButton, cancelButton); }

bool PinPadWidgets::complete() const { return allSet(instructionLabel, messageLabel, retryButton, cancelButton); }

bool NewPinWidgets::complete() const {
    return allSet(newPinTextField, renewPinTextField, newPinTooltip, renewPinTooltip, errorLabel, validateButton,
                  cancelButton);
}

bool PinChangeWidgets::complete() const { return NewPinWidgets::complete() && allSet(oldPinTextField, oldPinTooltip); }

bool UnlockCardWidgets::complete() const { return NewPinWidgets::complete() && allSet(pukTextField, pukTooltip); }

bool CertificateWidgets::complete() const {
    return allSet(authentName, authentView, authentSave, signatureName, signatureView, signatureSave, countLabel,
                  messageLabel);
}

}  // namespace qel::ui
