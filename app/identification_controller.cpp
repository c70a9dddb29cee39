#include "app/identification_controller.h"

#include <stdexcept>

namespace qel {

IdentificationController::IdentificationController(ui::IdentificationView& view, ui::Clipboard& clipboard)
    : view_(view), o_(view.widgets()), clipboard_(clipboard) {
    if (!o_.complete()) throw std::invalid_argument("identification view: widgets missing");
    o_.copyButton->setClickHandler([this] { onCopy(); });
}

void IdentificationController::fill(const HolderInfos& holder) {
    o_.nameLabel->setText(holder.nomPatronym);
    o_.firstNameLabel->setText(holder.prenomUsuel);
    o_.identifierLabel->setText(holder.identifiant);
    o_.jobLabel->setText(holder.profession.empty() ? holder.metier : holder.profession);
    o_.numLabel->setText(holder.idCarte);
    o_.emissionLabel->setText(holder.debutValidite);
    o_.expirationLabel->setText(holder.finValidite);
    o_.serialNumLabel->setText("");
    o_.serialNumTitle->setHidden(true);
}

void IdentificationController::fillContactless(const std::string& serialNumber, const std::string& cardNumber,
                                               const std::string& identifier) {
    // The holder's data is not readable without contact: say so rather than show empty fields.
    for (ui::Label* label : {o_.nameLabel, o_.firstNameLabel, o_.jobLabel}) {
        label->setText(kNotReadableContactless);
        label->setTooltip(kNotReadableContactlessHelp);
    }
    o_.identifierLabel->setText(identifier);
    o_.numLabel->setText(cardNumber);
    o_.serialNumLabel->setText(serialNumber);
    o_.serialNumTitle->setHidden(false);
}

void IdentificationController::clear() {
    o_.nameLabel->setText("");
    o_.nameLabel->setTooltip("");
    o_.firstNameLabel->setText("");
    o_.firstNameLabel->setTooltip("");
    for (ui::Label* label : {o_.identifierLabel, o_.jobLabel, o_.numLabel, o_.emissionLabel, o_.expirationLabel})
        label->setText("");
}

void IdentificationController::onCopy() {
    clipboard_.setText(
        "Identification porteur\nNom: " + o_.nameLabel->text() + "\nPrénom: " + o_.firstNameLabel->text() +
        "\nIdentifiant: " + o_.identifierLabel->text() + "\nProfession: " + o_.jobLabel->text() + "\n\n" +
        "Identification carte\nNuméro de la carte: " + o_.numLabel->text() +
        "\nDate d'émission: " + o_.emissionLabel->text() + "\nDate d'expiration: " + o_.expirationLabel->text());
}

}  // namespace qel
