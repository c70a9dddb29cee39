// The main window: what the controls show for the card state.
#include "app/app_delegate.h"
#include "management/card_summary.h"
#include "management/card_tables.h"
#include "management/scard/scard.h"
#include "app/view_controller.h"
#include "common/logger.h"

namespace qel {

void ViewController::updateUI() {
    const bool I = isCardInserted_, C = isContactQEL_, B = isCardBlocked_, U = isUserAuthentified_, V = isValidCard_,
               P = isVekAuthenticated_;
    o_.identification->setEnabled(I);
    o_.situation->setEnabled(I && C && !B);
    o_.situationLock->setEnabled(I && C && !B);
    o_.situationLock->setHidden(U);
    o_.certificate->setEnabled(I);
    o_.tmaj->setEnabled(I && C && !B);
    o_.pinCode->setEnabled(!U && I && C && !B);
    o_.pinCodeModif->setEnabled(I && C && !B);
    // A card whose PUK is blocked too cannot be unblocked.
    o_.unlockCard->setEnabled(I && C && B && !definitivelyBlocked_);
    o_.diagQELButton->setEnabled(I && !B);
    o_.testsSsl->setEnabled(I && !B);
    o_.portalEQEL->setEnabled(I && !B);
    o_.VekAuthentication->setEnabled(I && !B && V && !isCardRevoked_);
    o_.VekDisconnect->setEnabled(I && P && V);
    o_.cardPinPadlock->setHidden(!(I && C) || B);
    o_.cardPinPadlock->setImage(U ? "unlock" : "lock");
    o_.cardBlockedLabel->setHidden(!I || !B);
    o_.cardUnlock->setHidden(!I || !B);
    o_.cardNoInsertedLabel->setTextColour(ui::colours::lightGrey);
    o_.cardNoInsertedLabel->setText(I && definitivelyBlocked_ ? "Carte définitivement bloquée" : "Carte non insérée");
    if (s_.hooks.maintenance) s_.hooks.maintenance->setServicesTestEnabled(I && C && !B);
    // Demo mode shows fixed data and touches no card.
    if (!isDemoMode_) contactlessCheck();
    // Without the service no reader answers: "no card" would send the holder looking for one.
    if (!isDemoMode_ && !I && s_.scard.isServiceMissing()) {
        o_.cardNoInsertedLabel->setTextColour(ui::colours::red);
        o_.cardNoInsertedLabel->setText(kServiceMissingText);
        o_.cardStatus->setText(std::string("⚠️ ") + kServiceMissingText);
    }
}

void ViewController::contactlessCheck() {
    const ScanResult survey = s_.scard.scan();
    const std::string selected = selectedReaderName();
    const ReaderInfo* match = nullptr;
    if (!selected.empty()) {
        for (const auto& reader : survey.readers)
            if (trimControlCharacters(reader.readerName) == selected) match = &reader;
    }
    bool deleteEnabled = false;
    if (match || (survey.readers.empty() && survey.found)) {
        const std::string readerName = match ? match->readerName : selected;
        if (!isCardInserted_ && contactlessShownFor_ != readerName) {
            contactlessShownFor_ = readerName;
            o_.identification->setEnabled(true);
            const ContactlessIdentity identity = s_.scard.readContactlessIdentity(readerName);
            identification_.fillContactless(identity.serialNumber, identity.cardNumber, identity.identifier);
            o_.cardNameLabel->setText(" ");
            o_.cardJobLabel->setText("");
            o_.cardStatusLabel->setTextColour(ui::colours::darkGrey);
            o_.cardStatusLabel->setText("");
            view_.showSubView(ui::SubView::identification);
            view_.identificationView().setViewHidden(false);
            o_.cardEmpty->setHidden(false);
            o_.card->setHidden(true);
            o_.cardNoInsertedLabel->setTextColour(ui::colours::blue);
            o_.cardNoInsertedLabel->setText("Carte QEL4 insérée");
        } else if (!isCardInserted_) {
            o_.identification->setEnabled(true);
            o_.cardNoInsertedLabel->setTextColour(ui::colours::blue);
            o_.cardNoInsertedLabel->setText("Carte QEL4 insérée");
        }
        // The status line says the same as the panel: the card is there, read without contact.
        if (!isCardInserted_) o_.cardStatus->setText(kContactlessCardStatus);
        // The presence test costs a card session: only the maintenance view needs its answer, once
        // per card (the deletion itself turns the button off).
        if (s_.hooks.maintenance) {
            if (match && match->isContactless) {
                if (!desfirePresence_ || desfirePresence_->first != readerName)
                    desfirePresence_.emplace(readerName, s_.scard.isIRVDesfirePresent(readerName).second);
                deleteEnabled = desfirePresence_->second;
            } else {
                deleteEnabled = true;
            }
        }
    } else {
        contactlessShownFor_.reset();
        desfirePresence_.reset();
    }
    if (s_.hooks.maintenance) s_.hooks.maintenance->setDeleteDESfireEnabled(deleteEnabled);
}

void ViewController::showIdentificationPane(bool hidden) {
    // The contactless identity shown goes with the pane: the next check shows it again.
    if (hidden) contactlessShownFor_.reset();
    view_.showSubView(ui::SubView::identification);
    view_.identificationView().setViewHidden(hidden);
    o_.card->setHidden(hidden);
    o_.cardEmpty->setHidden(!hidden);
    if (hidden) o_.topCard->setImage(cardPicture("00"));
}

void ViewController::showSummaryExpiry(const std::string& expiryText, bool valid) {
    o_.cardStatusLabel->setTextColour(valid ? ui::colours::darkGrey : ui::colours::red);
    o_.cardStatusLabel->setText(valid ? expiryText : std::string(kExpiredCardText));
    o_.cardStatusLabel->setTooltip(valid ? "" : kExpiredCardAdvice);
}

void ViewController::showHolder(const HolderInfos& holder) {
    holder_ = holder;
    const HolderSummary summary = holderSummary(holder, now());
    titleReaderEntry(readerSelected_, summary.name);
    o_.cardNameLabel->setText(summary.name);
    o_.cardNameLabel->setTooltip(o_.cardNameLabel->textWiderThanLabel(summary.name) ? summary.name : "");
    o_.cardIdentifierLabel->setText(summary.identifier);
    o_.cardJobLabel->setText(summary.job);
    showSummaryExpiry(summary.expiryText, summary.valid);
    o_.cardNumLabel->setText(summary.cardNumber);
    o_.testLabel->setHidden(!summary.isTestCard);
    isTestCard_ = summary.isTestCard;
    if (s_.hooks.vek) s_.hooks.vek->setTestEnvironment(isTestCard_);
    o_.topCard->setImage(cardPicture(summary.professionKey));
    o_.cardJobLabel->setTextColour(ui::Colour::named(jobColour(summary.professionKey)));
    identification_.fill(holder);
}

void ViewController::titleReaderEntry(int index, const std::string& holderName) {
    if (index < 0 || index >= static_cast<int>(p11SlotDict_.size())) return;
    // Every entry names its reader, so that two cards are told apart by where they are; the holder
    // comes first, as that is what the user looks for.
    const std::string reader = o_.cardComboBox->itemKey(index);
    const std::string holder = trimControlCharacters(holderName);
    o_.cardComboBox->setItemTitle(index, holder.empty() ? reader : holder + " — " + reader);
}

void ViewController::showBlocked() {
    updateUI();
    o_.unlockCard->setEnabled(false);
    o_.card->setHidden(true);
    o_.cardEmpty->setHidden(false);
    o_.cardNoInsertedLabel->setText("Carte définitivement bloquée");
}

void ViewController::clearHolderLabels() {
    identification_.clear();
    o_.cardNameLabel->setText("");
    o_.cardNameLabel->setTooltip("");
    for (ui::Label* label : {o_.cardJobLabel, o_.cardIdentifierLabel, o_.cardNumLabel, o_.cardStatusLabel})
        label->setText("");
}

void ViewController::showDemoHolder() {
    HolderInfos demo;
    demo.nomPatronym = "DUPONT";
    demo.prenomUsuel = "Philippe";
    demo.identifiant = "987765432110";
    demo.profession = "Médecin";
    demo.debutValidite = "21/05/2020";
    demo.finValidite = "21/05/2023";
    demo.idCarte = "2591037684";
    showIdentificationPane(false);
    identification_.fill(demo);
    const std::string name = demo.nomPatronym + " " + demo.prenomUsuel;
    o_.cardNameLabel->setText(name);
    o_.cardIdentifierLabel->setText(demo.identifiant);
    o_.cardJobLabel->setText(demo.profession);
    o_.cardNumLabel->setText(demo.idCarte);
    showSummaryExpiry("Expire le " + demo.finValidite, true);
    o_.topCard->setImage(cardPicture("10"));
    o_.cardJobLabel->setTextColour(ui::Colour::named(jobColour("10")));
}

}  // namespace qel
