#pragma once
#include <vector>

#include "common/bytes.h"
#include "sim/card/profile.h"

namespace qel::sim {

// The holder data objects exactly as the issuer's library hands them out: one TLV container per
// object, primitive fields 80 to 86 inside. Codes of the code tables are written as binary bytes
// (profession "10" is the byte 0A), dates and numbers in BCD, texts in ASCII.

/// "QEL_ID_CARD": E3 { 80 issuer (BCD), 81 card number (BCD), 82 category (bit 7 = test card),
/// 83 start date, 84 end date (BCD yyyyMMdd) }.
Bytes identityRecord(const Profile& profile);
/// "QEL_NAME_PS": E4 { 80 civility, 81 birth name, 82 married name, 83 first names each followed
/// by FF, 84 usual first name }.
Bytes nameRecord(const HolderProfile& holder);
/// "QEL_INFO_PS": ED { 80 card type, 81 identifier, 82 profession, 83 occupation, 84 practice name }.
Bytes infoRecord(const HolderProfile& holder);
/// "QEL_ACTIVITY_nn_PS": EE { 80 practice mode, 81 situation number, [82 pharmacist section],
/// 84 company name, 85 structure identifier, 86 sector code }.
Bytes activityRecord(const SituationProfile& situation, int number);
/// "QEL_SIT_FACT": E0 { A0 { 80 situation number, 81 billing identifier, 82 speciality +
/// convention + tariff zone + mileage, 83 agreements, 84 FSE and batch permissions } ... }, one
/// block per situation that has billing data.
Bytes billingRecord(const std::vector<SituationProfile>& situations);

/// The card-info file 3F00 0003 D000 read by the stand-in issuer library, ASCII fields:
///   80 generation ("QEL3" / "QEL4")      81 card number (10 digits)
///   82 check character (1)               83 label character (1)
///   84 flags (1 byte: bit 0 = test card)
/// Token label = <80> "-" <81> <83>; token serial = <81> <82>.
Bytes cardInfoRecord(const Profile& profile);

/// The serial file D003: 04 0A 80 25 00 00 01 followed by the card number in BCD.
Bytes serialRecord(const Profile& profile);

/// A two-digit (or one-digit) decimal code as the one binary byte the records carry.
std::uint8_t codeByte(const std::string& code);

}  // namespace qel::sim
