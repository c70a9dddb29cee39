#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "common/bytes.h"
#include "sim/p11/card_backend.h"

namespace qel::simp11 {

/// Where things live on a card of one generation, and the small per-generation command rules.
struct CardLayout {
    Bytes serialFile;
    Bytes cardInfoFile;
    Bytes privateKeyDirectory;
    Bytes certificateDirectory;
    Bytes signCertificate;  ///< empty on the contactless card
    Bytes authCertificate;
    Bytes signKeyEnvironment;
    Bytes authKeyEnvironment;
    std::uint8_t cla = 0x00;
    std::uint8_t selectP1 = 0x09;
    std::uint8_t selectP2 = 0x04;
    int readChunk = 231;
    /// VERIFY data of a PIN is padded with FF to 8 bytes on the third generation.
    bool padPin = true;
    bool selectApplication = false;
};

CardLayout layoutFor(CardGeneration generation);

/// The application selected by name on a fourth-generation card.
const Bytes& qelApplicationId();

/// Holder data files: DF 3F00 0003.
Bytes holderFilePath(std::uint16_t fileId);

/// Generation text used in token labels and models ("QEL3", "QEL4").
std::string generationName(CardGeneration generation);

}  // namespace qel::simp11

namespace qel::simp11 {

/// Whether the card can sign with a key of this role for this hash. The third generation's
/// authentication key signs whatever DigestInfo (or raw block) it is handed; every other key takes
/// a SHA-1 or SHA-256 hash and builds the DigestInfo itself.
bool cardAcceptsHash(CardGeneration generation, KeyRole role, HashAlg hash);

}  // namespace qel::simp11
