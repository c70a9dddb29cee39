#pragma once
#include <memory>
#include <string>

#include "management/views/desktop_services.h"
#include "app/views/identification_view.h"
#include "issuerlib/holder_infos.h"

namespace qel {

/// The holder fields of a card read without contact.
inline constexpr const char* kNotReadableContactless = "Non lisible sans contact";
inline constexpr const char* kNotReadableContactlessHelp =
    "Insérez la carte dans un lecteur à contact pour lire les données du porteur";

class Pkcs11Card;

/// The identification sub-view: fills the holder's and the card's identity and copies it as text.
/// Main thread only.
class IdentificationViewController {
public:
    /// The view's outlets must be complete; the copy button is wired here.
    IdentificationViewController(ui::IdentificationView& view, ui::Clipboard& clipboard);

    /// Fills the labels from the holder data; the serial number is emptied and its title hidden.
    void fill(const HolderInfos& holder);
    /// Fills the identity read from a contactless card; the other labels keep their text.
    void fillContactless(const std::string& serialNumber, const std::string& cardNumber, const std::string& identifier);
    /// Empties the name (with its tooltip), first name (with its tooltip), identifier, job, number,
    /// issue and expiry labels.
    void clear();
    /// Copies the identity, as shown, to the clipboard.
    void onCopy();

    ui::IdentificationView& view() { return view_; }

    std::shared_ptr<Pkcs11Card> pCard;
    /// Never set.
    bool updated = false;

private:
    ui::IdentificationView& view_;
    const ui::IdentificationOutlets& o_;
    ui::Clipboard& clipboard_;
};

}  // namespace qel
