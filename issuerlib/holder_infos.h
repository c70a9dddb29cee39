#pragma once
#include <string>
#include <vector>

#include "common/bytes.h"

namespace qel {

/// The holder's identity as the card's public data objects give it. Texts start empty and
/// `isTestCard` false; a decoder fills only what its object carries. `Langue` and `idNatPS` are never
/// filled from the card.
struct HolderInfos {
    std::string civilite;
    std::string nomPatronym;
    std::string nomMarital;
    std::string prenomUsuel;
    std::vector<std::string> prenoms;
    std::string identifiant;
    std::string Langue;
    std::string idEmeteur;
    std::string idCarte;
    std::string debutValidite;
    std::string finValidite;
    bool isTestCard = false;
    std::string codeTypeCarte;
    std::string typeCarte;
    std::string idNatPS;
    std::string codeProf;
    std::string profession;
    std::string codeMetier;
    std::string metier;
    std::string nomExercice;

    /// Card identity ("QEL_ID_CARD"): issuer and card identifiers, test-card flag (bit 0x80 of the
    /// first byte of field 0x82; left alone when the field is missing), validity dates "dd/MM/yyyy"
    /// (empty when the card's date is not a valid date).
    void decodeQelIdCard(const Bytes& data);

    /// Holder name ("QEL_NAME_PS"): civility, family and married names, first names (field 0x83 cut
    /// at every 0xFF byte, empty pieces dropped), usual first name.
    void decodeQelNameData(const Bytes& data);

    /// Holder information ("QEL_INFO_PS"): card type, identifier, profession and métier codes with
    /// their labels, practice name.
    void decodeQelInfoPS(const Bytes& data);
};

}  // namespace qel
