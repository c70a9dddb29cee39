#pragma once
#include <string>
#include <vector>

#include "common/bytes.h"

namespace qel {

/// One practice situation with its billing data.
struct SituFactuStruct {
    bool hasFactu = false;
    std::string modeExercice;
    std::string raisonSociale;
    std::string identifiantSitu;
    std::string secteurActivite;
    std::string tableauPharma;
    std::string identifiantFactu;
    std::string specialite;
    std::string convention;
    std::string zoneTarifaire;
    std::string indemKilometre;
    std::string agrement;
    bool permissionFSE = false;
    bool permissionLot = false;
};

/// The holder's practice situations in card order (situation 1 first).
struct SituFactuInfos {
    std::vector<SituFactuStruct> situFactuTab;

    /// Appends the situation of one activity object ("QEL_ACTIVITY_nn_PS").
    void decodeQelActivity(const Bytes& data);

    /// Completes the situations from the billing object ("QEL_SIT_FACT"). Each billing block names
    /// its situation by number (from 1): a number that is not a number, or names a situation that
    /// does not exist, ends the decoding; a block naming situation 0 is skipped.
    void decodeQelSitFact(const Bytes& data);
};

/// The truth value of one permission character: "1" to "9", "Y", "y", "T", "t" are true.
bool permissionFlag(char c);

/// The agreement text of a three-code field such as "020304" ("A, B, C, E, F, G, H, J, K"): the
/// labels of the first two codes and of the last two characters, up to the first "00" or "99". A
/// code the table lacks keeps an empty place ("01" "42" "06" gives "D ou DDASS, , M").
std::string agreementText(const std::string& codes);

}  // namespace qel
