#include "sim/card/profile.h"

#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "common/atomic_file.h"
#include "common/hex.h"
#include "sim/card/rsa_key.h"

namespace qel::sim {

using nlohmann::json;

namespace {

constexpr const char* kProfileFile = "/profile.json";
constexpr const char* kStateFile = "/state.json";

bool allDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

void require(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what);
}

Bytes hexField(const json& j, const char* key, const Bytes& fallback) {
    if (!j.contains(key)) return fallback;
    auto b = fromHex(j[key].get<std::string>());
    require(b.has_value(), std::string("\"") + key + "\" is not hexadecimal");
    return *b;
}

char charField(const json& j, const char* key, char fallback) {
    if (!j.contains(key)) return fallback;
    std::string s = j[key].get<std::string>();
    require(s.size() == 1 && s[0] > 0x20 && s[0] < 0x7F,
            std::string("\"") + key + "\" must be one printable character");
    return s[0];
}

template <typename T>
T field(const json& j, const char* key, T fallback) {
    return j.contains(key) ? j[key].get<T>() : fallback;
}

bool isDate(const std::string& s) {
    return s.size() == 10 && s[4] == '-' && s[7] == '-' && allDigits(s.substr(0, 4)) && allDigits(s.substr(5, 2)) &&
           allDigits(s.substr(8, 2));
}

void requireDigits(const std::string& s, std::size_t minLen, std::size_t maxLen, const char* what) {
    require(allDigits(s) && s.size() >= minLen && s.size() <= maxLen,
            std::string(what) + " must be " + std::to_string(minLen) +
                (minLen == maxLen ? "" : " to " + std::to_string(maxLen)) + " decimal digits");
}

KeyProfile::Role roleNamed(const std::string& name) {
    if (name == "signature") return KeyProfile::Role::signature;
    if (name == "authentication") return KeyProfile::Role::authentication;
    if (name == "technical") return KeyProfile::Role::technical;
    throw std::runtime_error("unknown key role \"" + name + "\"");
}

HolderProfile holderFromJson(const json& j) {
    HolderProfile h;
    h.civility = field(j, "civility", h.civility);
    h.lastName = field(j, "lastName", h.lastName);
    h.marriedName = field(j, "marriedName", h.marriedName);
    h.firstNames = field(j, "firstNames", h.firstNames);
    h.usualFirstName = field(j, "usualFirstName", h.usualFirstName);
    h.cardType = field(j, "cardType", h.cardType);
    h.identifierType = field(j, "identifierType", h.identifierType);
    h.identifierNumber = field(j, "identifierNumber", h.identifierNumber);
    h.profession = field(j, "profession", h.profession);
    h.occupation = field(j, "occupation", h.occupation);
    h.specialty = field(j, "specialty", h.specialty);
    h.practiceName = field(j, "practiceName", h.practiceName);
    for (const std::string* code : {&h.civility, &h.cardType, &h.profession, &h.occupation})
        requireDigits(*code, 1, 2, "holder codes");
    require(h.identifierType.size() == 1, "\"identifierType\" must be one character");
    return h;
}

json holderToJson(const HolderProfile& h) {
    return json{{"civility", h.civility},
                {"lastName", h.lastName},
                {"marriedName", h.marriedName},
                {"firstNames", h.firstNames},
                {"usualFirstName", h.usualFirstName},
                {"cardType", h.cardType},
                {"identifierType", h.identifierType},
                {"identifierNumber", h.identifierNumber},
                {"profession", h.profession},
                {"occupation", h.occupation},
                {"specialty", h.specialty},
                {"practiceName", h.practiceName}};
}

SituationProfile situationFromJson(const json& j) {
    SituationProfile s;
    s.practiceMode = field(j, "practiceMode", s.practiceMode);
    s.pharmacistSection = field(j, "pharmacistSection", s.pharmacistSection);
    s.companyName = field(j, "companyName", s.companyName);
    s.structureId = field(j, "structureId", s.structureId);
    s.sector = field(j, "sector", s.sector);
    requireDigits(s.practiceMode, 1, 2, "\"practiceMode\"");
    if (j.contains("billing")) {
        const json& b = j["billing"];
        BillingProfile f;
        f.billingId = field(b, "billingId", f.billingId);
        f.specialty = field(b, "specialty", f.specialty);
        f.convention = field(b, "convention", f.convention);
        f.tariffZone = field(b, "tariffZone", f.tariffZone);
        f.mileage = field(b, "mileage", f.mileage);
        f.agreements = field(b, "agreements", f.agreements);
        f.permissionFse = field(b, "permissionFse", f.permissionFse);
        f.permissionLot = field(b, "permissionLot", f.permissionLot);
        requireDigits(f.billingId, 1, 20, "\"billingId\"");
        requireDigits(f.specialty, 2, 2, "billing \"specialty\"");
        requireDigits(f.convention, 1, 1, "\"convention\"");
        requireDigits(f.tariffZone, 2, 2, "\"tariffZone\"");
        requireDigits(f.mileage, 1, 1, "\"mileage\"");
        requireDigits(f.agreements, 6, 6, "\"agreements\"");
        s.billing = f;
    }
    return s;
}

json situationToJson(const SituationProfile& s) {
    json j{{"practiceMode", s.practiceMode},
           {"companyName", s.companyName},
           {"structureId", s.structureId},
           {"sector", s.sector}};
    if (!s.pharmacistSection.empty()) j["pharmacistSection"] = s.pharmacistSection;
    if (s.billing) {
        const BillingProfile& f = *s.billing;
        j["billing"] = json{{"billingId", f.billingId},
                            {"specialty", f.specialty},
                            {"convention", f.convention},
                            {"tariffZone", f.tariffZone},
                            {"mileage", f.mileage},
                            {"agreements", f.agreements},
                            {"permissionFse", f.permissionFse},
                            {"permissionLot", f.permissionLot}};
    }
    return j;
}

KeyProfile keyFromJson(const json& j) {
    KeyProfile k;
    k.role = roleNamed(j.at("role").get<std::string>());
    int ref = j.at("reference").get<int>();
    require(ref > 0 && ref < 0x80, "key \"reference\" must lie in 1-127");
    k.reference = static_cast<std::uint8_t>(ref);
    k.keyId = hexField(j, "id", {});
    require(!k.keyId.empty(), "key \"id\" is missing");
    k.keyFile = j.at("key").get<std::string>();
    k.certificateFile = j.at("certificate").get<std::string>();
    k.keyLabel = j.at("keyLabel").get<std::string>();
    k.certLabel = j.at("certLabel").get<std::string>();
    return k;
}

json keyToJson(const KeyProfile& k) {
    return json{{"role", roleName(k.role)}, {"reference", k.reference},         {"id", toHex(k.keyId)},
                {"key", k.keyFile},         {"certificate", k.certificateFile}, {"keyLabel", k.keyLabel},
                {"certLabel", k.certLabel}};
}

SecretCode codeFromJson(const json& j, SecretCode fallback) {
    SecretCode c;
    c.code = field(j, "code", fallback.code);
    c.maxTries = field(j, "maxTries", fallback.maxTries);
    require(c.maxTries >= 1 && c.maxTries <= 15, "\"maxTries\" must lie in 1-15");
    return c;
}

}  // namespace

const char* generationName(Generation g) { return g == Generation::QEL3 ? "QEL3" : "QEL4"; }

std::string isoDateFromToday(int days) {
    std::time_t when = std::time(nullptr) + static_cast<std::time_t>(days) * 24 * 3600;
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &utc);
    return text;
}

const char* roleName(KeyProfile::Role role) {
    switch (role) {
        case KeyProfile::Role::signature:
            return "signature";
        case KeyProfile::Role::authentication:
            return "authentication";
        case KeyProfile::Role::technical:
            return "technical";
    }
    return "?";
}

const KeyProfile* Profile::key(KeyProfile::Role role) const {
    for (const KeyProfile& k : keys)
        if (k.role == role) return &k;
    return nullptr;
}

Profile profileFromJson(const std::string& text) {
    json j;
    try {
        j = json::parse(text);
    } catch (const json::exception& e) {
        throw std::runtime_error(std::string("not JSON: ") + e.what());
    }
    try {
        Profile p;
        p.format = field(j, "format", 1);
        require(p.format == 1, "unknown profile format " + std::to_string(p.format));
        std::string gen = j.at("generation").get<std::string>();
        require(gen == "QEL3" || gen == "QEL4", "\"generation\" must be QEL3 or QEL4");
        p.generation = gen == "QEL3" ? Generation::QEL3 : Generation::QEL4;
        p.cardNumber = j.at("cardNumber").get<std::string>();
        requireDigits(p.cardNumber, 10, 10, "\"cardNumber\"");
        p.checkCharacter = charField(j, "checkCharacter", p.checkCharacter);
        p.labelCharacter = charField(j, "labelCharacter", p.checkCharacter);
        p.issuerId = field(j, "issuerId", p.issuerId);
        requireDigits(p.issuerId, 1, 20, "\"issuerId\"");
        p.testCard = field(j, "testCard", p.testCard);
        p.validFrom = field(j, "validFrom", p.validFrom);
        p.validUntil = field(j, "validUntil", p.validUntil);
        require(isDate(p.validFrom) && isDate(p.validUntil), "validity dates must be yyyy-MM-dd");
        if (j.contains("holder")) p.holder = holderFromJson(j["holder"]);
        if (j.contains("situations"))
            for (const json& s : j["situations"]) p.situations.push_back(situationFromJson(s));
        require(p.situations.size() <= 16, "at most 16 situations");
        if (j.contains("pin")) p.pin = codeFromJson(j["pin"], p.pin);
        if (j.contains("puk")) p.puk = codeFromJson(j["puk"], p.puk);
        requireDigits(p.pin.code, 4, 8, "the PIN");
        requireDigits(p.puk.code, 8, 8, "the PUK");
        p.pukCounterTwoBytes = field(j, "pukCounterTwoBytes", p.pukCounterTwoBytes);
        p.updateLevel = field(j, "updateLevel", p.updateLevel);
        if (j.contains("keys"))
            for (const json& k : j["keys"]) p.keys.push_back(keyFromJson(k));
        if (j.contains("desfire")) {
            const json& d = j["desfire"];
            p.desfire.applicationPresent = field(d, "applicationPresent", true);
            p.desfire.piccMasterKey = hexField(d, "piccMasterKey", p.desfire.piccMasterKey);
            p.desfire.applicationKey = hexField(d, "applicationKey", {});
            require(p.desfire.piccMasterKey.size() == 8 || p.desfire.piccMasterKey.size() == 16,
                    "\"piccMasterKey\" must be 8 or 16 bytes");
        }
        if (p.generation == Generation::QEL4)
            require(p.desfire.applicationKey.size() == 16, "a QEL4 needs a 16-byte \"applicationKey\"");
        if (j.contains("hostile")) p.hostile = hostileRulesFromJson(j["hostile"].dump());
        return p;
    } catch (const json::exception& e) {
        throw std::runtime_error(e.what());
    }
}

std::string profileToJson(const Profile& p) {
    json j;
    j["format"] = p.format;
    j["generation"] = generationName(p.generation);
    j["cardNumber"] = p.cardNumber;
    j["checkCharacter"] = std::string(1, p.checkCharacter);
    j["labelCharacter"] = std::string(1, p.labelCharacter);
    j["issuerId"] = p.issuerId;
    j["testCard"] = p.testCard;
    j["validFrom"] = p.validFrom;
    j["validUntil"] = p.validUntil;
    j["holder"] = holderToJson(p.holder);
    j["situations"] = json::array();
    for (const SituationProfile& s : p.situations) j["situations"].push_back(situationToJson(s));
    j["pin"] = json{{"code", p.pin.code}, {"maxTries", p.pin.maxTries}};
    j["puk"] = json{{"code", p.puk.code}, {"maxTries", p.puk.maxTries}};
    j["pukCounterTwoBytes"] = p.pukCounterTwoBytes;
    j["updateLevel"] = p.updateLevel;
    j["keys"] = json::array();
    for (const KeyProfile& k : p.keys) j["keys"].push_back(keyToJson(k));
    if (p.generation == Generation::QEL4)
        j["desfire"] = json{{"applicationPresent", p.desfire.applicationPresent},
                            {"piccMasterKey", toHex(p.desfire.piccMasterKey)},
                            {"applicationKey", toHex(p.desfire.applicationKey)}};
    j["hostile"] = json::parse(hostileRulesToJson(p.hostile));
    return j.dump(2) + "\n";
}

Profile loadProfile(const std::string& dir) {
    const std::string path = dir + kProfileFile;
    try {
        return profileFromJson(readWholeFile(path));
    } catch (const std::exception& e) {
        throw std::runtime_error("card profile " + path + ": " + e.what());
    }
}

void saveProfile(const Profile& profile, const std::string& dir) {
    writeFileAtomically(dir + kProfileFile, profileToJson(profile));
}

CardState freshState(const Profile& profile) {
    CardState s;
    s.pin = profile.pin.code;
    s.pinTries = profile.pin.maxTries;
    s.pukTries = profile.puk.maxTries;
    s.desfireApplicationPresent = profile.desfire.applicationPresent;
    return s;
}

CardState loadState(const std::string& dir, const Profile& profile) {
    CardState s = freshState(profile);
    const std::string path = dir + kStateFile;
    if (!std::filesystem::exists(path)) return s;
    try {
        json j = json::parse(readWholeFile(path));
        s.pin = field(j, "pin", s.pin);
        s.pinTries = field(j, "pinTries", s.pinTries);
        s.pukTries = field(j, "pukTries", s.pukTries);
        s.desfireApplicationPresent = field(j, "desfireApplicationPresent", s.desfireApplicationPresent);
        requireDigits(s.pin, 4, 8, "the saved PIN");
        require(s.pinTries >= 0 && s.pinTries <= profile.pin.maxTries, "saved PIN tries out of range");
        require(s.pukTries >= 0 && s.pukTries <= profile.puk.maxTries, "saved PUK tries out of range");
        if (j.contains("files"))
            for (const auto& [pathHex, content] : j["files"].items()) {
                auto b = fromHex(content.get<std::string>());
                require(b.has_value(), "saved file " + pathHex + " is not hexadecimal");
                s.files[pathHex] = *b;
            }
        if (j.contains("generatedKeys"))
            for (const auto& [referenceHex, pem] : j["generatedKeys"].items()) {
                auto reference = fromHex(referenceHex);
                require(reference && reference->size() == 1,
                        "saved key reference " + referenceHex + " is not one byte");
                const std::string text = pem.get<std::string>();
                // A key that does not parse would only fail later, at the first power-on.
                RsaKey::fromPem(text);
                s.generatedKeys[(*reference)[0]] = text;
            }
    } catch (const std::exception& e) {
        throw std::runtime_error("card state " + path + ": " + e.what());
    }
    return s;
}

void saveState(const std::string& dir, const CardState& s) {
    json j{{"pin", s.pin},
           {"pinTries", s.pinTries},
           {"pukTries", s.pukTries},
           {"desfireApplicationPresent", s.desfireApplicationPresent}};
    j["files"] = json::object();
    for (const auto& [pathHex, content] : s.files) j["files"][pathHex] = toHex(content);
    if (!s.generatedKeys.empty()) {
        j["generatedKeys"] = json::object();
        for (const auto& [reference, pem] : s.generatedKeys) j["generatedKeys"][toHex(Bytes{reference})] = pem;
    }
    writeFileAtomically(dir + kStateFile, j.dump(2) + "\n");
}

void writeFileAtomically(const std::string& path, const std::string& content) {
    if (const std::error_code ec = qel::writeFileAtomically(path, content, 0644))
        throw std::runtime_error("cannot replace " + path + ": " + ec.message());
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace qel::sim
