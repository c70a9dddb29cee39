#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "sim/card/hostile.h"

namespace qel::sim {

/// Card generation of a profile; the reader kind decides the contactless variant.
enum class Generation { QEL3, QEL4 };

const char* generationName(Generation g);

/// Today's date shifted by a number of days, as yyyy-MM-dd (UTC). Profiles take their validity
/// from the day they are made, so that no fixture runs out on a calendar date.
std::string isoDateFromToday(int days);

/// The holder as the identity records carry it. Codes are the decimal texts of the code tables
/// ("31" Monsieur, profession "10" Médecin, card type "00"...).
struct HolderProfile {
    std::string civility = "31";
    std::string lastName = "DUPONT";
    std::string marriedName;
    std::vector<std::string> firstNames{"JEAN"};
    std::string usualFirstName = "JEAN";
    std::string cardType = "00";
    std::string identifierType = "8";
    std::string identifierNumber = "10001234567";
    std::string profession = "10";
    std::string occupation = "10";
    std::string specialty = "01";
    std::string practiceName = "DR JEAN DUPONT";

    /// The holder identifier as the card stores it: type character followed by the number.
    std::string identifier() const { return identifierType + identifierNumber; }
};

/// Billing data of one situation; digit texts as the billing record stores them in BCD.
struct BillingProfile {
    std::string billingId = "123456789";
    std::string specialty = "01";
    std::string convention = "1";
    std::string tariffZone = "40";
    std::string mileage = "0";
    std::string agreements = "000000";
    bool permissionFse = true;
    bool permissionLot = true;
};

/// One practice situation.
struct SituationProfile {
    std::string practiceMode = "00";
    std::string pharmacistSection;  ///< empty: not written
    std::string companyName = "CABINET MEDICAL";
    std::string structureId = "0123456789";  ///< type character followed by the identifier
    std::string sector = "SA07";
    std::optional<BillingProfile> billing;
};

/// One private key with its certificate; files are relative to the profile folder.
struct KeyProfile {
    enum class Role { signature, authentication, technical };
    Role role = Role::authentication;
    std::uint8_t reference = 0;
    Bytes keyId;
    std::string keyFile;
    std::string certificateFile;
    std::string keyLabel;
    std::string certLabel;
};

const char* roleName(KeyProfile::Role role);

/// A PIN or PUK with its try limit.
struct SecretCode {
    std::string code;
    int maxTries = 3;
};

/// The contactless DESFire application of a fourth-generation card.
struct DesfireProfile {
    bool applicationPresent = true;
    Bytes piccMasterKey = Bytes(8, 0);  ///< 8 bytes (single DES) or 16 bytes (two-key 3DES)
    Bytes applicationKey;               ///< 16 bytes, AES; also the content of the contact key file
};

/// A fresh card was issued some months back and stays valid for some years ahead.
inline constexpr int kValidSinceDays = 180;
inline constexpr int kValidForDays = 3 * 365;

/// Everything that describes one card (profile.json). Never written by the card itself.
struct Profile {
    int format = 1;
    Generation generation = Generation::QEL3;
    std::string cardNumber = "1234567890";  ///< ten decimal digits
    char checkCharacter = 'Z';
    char labelCharacter = 'Z';
    std::string issuerId = "8025000001";  ///< decimal digits, BCD in the identity record
    bool testCard = true;
    std::string validFrom = isoDateFromToday(-kValidSinceDays);  ///< yyyy-MM-dd
    std::string validUntil = isoDateFromToday(kValidForDays);    ///< yyyy-MM-dd
    HolderProfile holder;
    std::vector<SituationProfile> situations;
    SecretCode pin{"1234", 3};
    SecretCode puk{"12345678", 10};
    /// Writes the unblock counter of the PIN status object in the two-byte form (9D 02 00 nn).
    bool pukCounterTwoBytes = false;
    int updateLevel = 1;
    std::vector<KeyProfile> keys;
    DesfireProfile desfire;
    std::vector<HostileRule> hostile;

    const KeyProfile* key(KeyProfile::Role role) const;
    /// The card serial read from the serial file: 8025000001 followed by the card number.
    std::string cardSerial() const { return "8025000001" + cardNumber; }
};

/// What the card changes and keeps across power cycles (state.json).
struct CardState {
    std::string pin;
    int pinTries = 0;
    int pukTries = 0;
    bool desfireApplicationPresent = true;
    /// Contents written by UPDATE BINARY, by full path in upper-case hexadecimal.
    std::map<std::string, Bytes> files;
    /// Private keys made by GENERATE ASYMMETRIC KEY PAIR, PEM by key reference; they replace the
    /// profile's key of that reference.
    std::map<std::uint8_t, std::string> generatedKeys;
};

/// Reads profile.json of a folder. Throws std::runtime_error naming the folder and the fault.
Profile loadProfile(const std::string& dir);
/// Writes profile.json (atomically).
void saveProfile(const Profile& profile, const std::string& dir);
/// Parses the text of a profile.json; throws std::runtime_error.
Profile profileFromJson(const std::string& text);
std::string profileToJson(const Profile& profile);

/// The state of a card of this profile that was never used: full tries, the profile's PIN.
CardState freshState(const Profile& profile);
/// The saved state of the card, or the fresh state of the profile when none was saved.
CardState loadState(const std::string& dir, const Profile& profile);
/// Saves the state (temp file + rename). Throws std::runtime_error when it cannot be written.
void saveState(const std::string& dir, const CardState& state);

/// Writes a whole file through a temporary file and a rename, so that readers never see half of it.
void writeFileAtomically(const std::string& path, const std::string& content);
/// Reads a whole file; throws std::runtime_error naming it.
std::string readWholeFile(const std::string& path);

}  // namespace qel::sim
