#include "sim/tmaj/tmaj_scripts.h"

#include <nlohmann/json.hpp>

#include "common/hex.h"
#include "sim/card/holder_records.h"

namespace qel::sim {

namespace {

using nlohmann::json;

constexpr const char* kIssuer = "8025000001";

json command(const std::string& apdu, const char* type = "1") { return {{"apdu", apdu}, {"apduRespType", type}}; }

std::string byteHex(std::size_t n) { return toHex(Bytes{static_cast<std::uint8_t>(n)}); }

// The posted answers, or nothing when the body is not what the client sends.
std::optional<std::vector<std::string>> answers(const std::string& body, std::string& cardnum) {
    json j = json::parse(body, nullptr, false);
    if (!j.is_object() || !j.contains("inputParams") || !j["inputParams"].is_array() || !j.contains("cardnum") ||
        !j["cardnum"].is_string())
        return std::nullopt;
    cardnum = j["cardnum"].get<std::string>();
    std::vector<std::string> out;
    for (const json& c : j["inputParams"]) {
        if (!c.is_object() || !c.contains("apduRespType")) return std::nullopt;
        out.push_back(c.contains("response") && c["response"].is_string() ? c["response"].get<std::string>() : "");
    }
    return out;
}

bool isHexOfLength(const std::string& text, std::size_t n) { return text.size() == n && fromHex(text).has_value(); }

}  // namespace

TmajScripts::TmajScripts(std::vector<SimCard> cards) : cards_(cards.begin(), cards.end()) {}

void TmajScripts::addCard(SimCard card) {
    std::lock_guard lock(cardsMutex_);
    cards_.push_back(std::move(card));
}

Bytes TmajScripts::currentNameRecord(const Profile& profile) { return nameRecord(profile.holder); }

Bytes TmajScripts::renewedNameRecord(const Profile& profile) {
    HolderProfile renewed = profile.holder;
    if (!renewed.lastName.empty()) renewed.lastName.back() = renewed.lastName.back() == 'D' ? 'T' : 'D';
    return nameRecord(renewed);
}

bool TmajScripts::onCard(const SimCard& c, const Bytes& content) const {
    if (c.dir.empty()) return false;
    try {
        const CardState state = loadState(c.dir, c.profile);
        for (const auto& [path, bytes] : state.files)
            if (path.size() >= 8 && path.compare(path.size() - 8, 8, "0003D002") == 0) return bytes == content;
    } catch (const std::exception&) {
    }
    return false;
}

TmajScripts::Availability TmajScripts::check(const std::string& tokenSerial) {
    std::unique_lock cardsLock(cardsMutex_);
    // The card made known last wins: a test's private copy of a profile shadows the original.
    for (auto it = cards_.rbegin(); it != cards_.rend(); ++it) {
        const SimCard& c = *it;
        if (tokenSerial != c.profile.cardNumber && tokenSerial != c.profile.cardNumber + c.profile.checkCharacter)
            continue;
        cardsLock.unlock();
        std::lock_guard lock(mutex_);
        if (updatedInMemory_[c.profile.cardNumber] || onCard(c, renewedNameRecord(c.profile)))
            return Availability::upToDate;
        return Availability::updateAvailable;
    }
    return Availability::unknownCard;
}

const SimCard* TmajScripts::card(const std::string& cardIdentifier) const {
    std::lock_guard lock(cardsMutex_);
    // The card made known last wins: a test's private copy of a profile shadows the original.
    for (auto it = cards_.rbegin(); it != cards_.rend(); ++it) {
        const SimCard& c = *it;
        // The token serial comes from the token label, with or without its check character.
        const std::string expected = kIssuer + c.profile.cardNumber + ":" + kIssuer + c.profile.cardNumber;
        if (cardIdentifier == expected || cardIdentifier == expected + c.profile.checkCharacter) return &c;
    }
    return nullptr;
}

std::optional<std::string> TmajScripts::tokenSerialOf(const std::string& cardIdentifier) const {
    if (!card(cardIdentifier)) return std::nullopt;
    return cardIdentifier.substr(cardIdentifier.find(':') + 1 + std::string(kIssuer).size());
}

int TmajScripts::completedSessions() const {
    std::lock_guard lock(mutex_);
    return completed_;
}

TmajScripts::Reply TmajScripts::advance(const std::string& cardIdentifier, int from, int to, const std::string& list) {
    std::lock_guard lock(mutex_);
    Progress& p = sessions_[cardIdentifier];
    if (p.stage != from) return refuse("étape inattendue");
    p.stage = to;
    return {200, list};
}

TmajScripts::Reply TmajScripts::initIasMajBean(const std::string& cardIdentifier) {
    if (!card(cardIdentifier)) return refuse("carte inconnue");
    {
        std::lock_guard lock(mutex_);
        sessions_[cardIdentifier] = Progress{};
    }
    json list = json::array({command("00A4000C023F00", "0"), command("00A4000C02D003", "0"), command("00B000000C")});
    return advance(cardIdentifier, 0, 1, list.dump());
}

TmajScripts::Reply TmajScripts::establishSM(const std::string& postBody) {
    std::string cardnum;
    auto a = answers(postBody, cardnum);
    const SimCard* c = card(cardnum);
    if (!a || !c || a->size() != 3) return refuse("requête invalide");
    // The serial file's answer: its bytes 7 to 11 are the card number in BCD.
    const std::string& serial = (*a)[2];
    if (serial.size() != 28 || serial.substr(24) != "9000" || serial.substr(14, 10) != c->profile.cardNumber)
        return refuse("numéro de série de la puce inattendu");
    const char* cla = c->profile.generation == Generation::QEL4 ? "01" : "00";
    return advance(cardnum, 1, 2, json::array({command(std::string(cla) + "84000008")}).dump());
}

TmajScripts::Reply TmajScripts::iasMaj(const std::string& answer, const std::string& cardIdentifier) {
    if (!card(cardIdentifier)) return refuse("carte inconnue");
    if (!isHexOfLength(answer, 20) || answer.substr(16) != "9000") return refuse("défi de la carte inattendu");
    // A selection that returns the file's control data, which a T=0 card hands out through GET RESPONSE.
    return advance(cardIdentifier, 2, 3, json::array({command("00A4000002D003")}).dump());
}

TmajScripts::Reply TmajScripts::initQelMajBean(const std::string& cardIdentifier) {
    const SimCard* c = card(cardIdentifier);
    if (!c) return refuse("carte inconnue");
    const std::size_t n = currentNameRecord(c->profile).size();
    json list = json::array({command("00A4000C023F00", "0"), command("00A4000C020003", "0"),
                             command("00A4000C02D002", "0"), command("00B00000" + byteHex(n))});
    return advance(cardIdentifier, 3, 4, list.dump());
}

TmajScripts::Reply TmajScripts::sequence1(const std::string& postBody) {
    std::string cardnum;
    auto a = answers(postBody, cardnum);
    const SimCard* c = card(cardnum);
    if (!a || !c || a->size() != 4) return refuse("requête invalide");
    if ((*a)[3] != toHex(currentNameRecord(c->profile)) + "9000")
        return refuse("enregistrement du titulaire inattendu");
    const Bytes renewed = renewedNameRecord(c->profile);
    return advance(cardnum, 4, 5, json::array({command("00D60000" + byteHex(renewed.size()) + toHex(renewed))}).dump());
}

TmajScripts::Reply TmajScripts::sequence2(const std::string& postBody) {
    std::string cardnum;
    auto a = answers(postBody, cardnum);
    const SimCard* c = card(cardnum);
    if (!a || !c || a->size() != 1) return refuse("requête invalide");
    const Bytes renewed = renewedNameRecord(c->profile);
    int stage = 0;
    {
        std::lock_guard lock(mutex_);
        stage = sessions_[cardnum].stage;
    }
    if (stage == 5) {
        if ((*a)[0] != "9000") return refuse("écriture refusée par la carte");
        return advance(cardnum, 5, 6, json::array({command("00B00000" + byteHex(renewed.size()))}).dump());
    }
    if ((*a)[0] != toHex(renewed) + "9000") return refuse("relecture différente de l'écriture");
    Reply reply = advance(cardnum, 6, 7, json::array({command("ENDQELMAJ")}).dump());
    if (reply.status == 200) {
        std::lock_guard lock(mutex_);
        updatedInMemory_[c->profile.cardNumber] = c->dir.empty();
        ++completed_;
    }
    return reply;
}

}  // namespace qel::sim
