#include "sim/tmaj/tmaj_scripts.h"

#include <nlohmann/json.hpp>

#include "common/hex.h"
#include "sim/card/holder_records.h"
#include "sim/tmaj/tmaj_renewal.h"

namespace qel::sim {

namespace {

using nlohmann::json;

constexpr const char* kIssuer = "8025000001";
// Bytes per UPDATE or READ BINARY of the certificate.
constexpr std::size_t kChunk = 240;
// A directory read whole with Le 00 must come back shorter than that, or more of it may follow.
constexpr std::size_t kShortRead = 256;

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

json commands(const std::vector<std::string>& apdus) {
    json list = json::array();
    for (const std::string& apdu : apdus) list.push_back(command(apdu));
    return list;
}

Bytes patched(Bytes content, std::size_t at, const Bytes& with) {
    std::copy(with.begin(), with.end(), content.begin() + static_cast<long>(at));
    return content;
}

}  // namespace

TmajScripts::TmajScripts(std::vector<SimCard> cards, std::string authorityDir)
    : cards_(cards.begin(), cards.end()), authorityDir_(std::move(authorityDir)) {}

void TmajScripts::addCard(SimCard card) {
    std::lock_guard lock(cardsMutex_);
    cards_.push_back(std::move(card));
}

Bytes TmajScripts::currentNameRecord(const Profile& profile) { return nameRecord(profile.holder); }

Bytes TmajScripts::renewedNameRecord(const Profile& profile) { return nameRecord(renewedHolder(profile.holder)); }

bool TmajScripts::renewedOnCard(const SimCard& c) const {
    if (c.dir.empty()) return false;
    try {
        const CardState state = loadState(c.dir, c.profile);
        const RenewalLayout layout = renewalLayout(c.profile);
        auto name = state.files.find(holderNamePathHex());
        auto certificates = state.files.find(statePathHex(layout.certificateDirectory));
        return name != state.files.end() && name->second == renewedNameRecord(c.profile) &&
               certificates != state.files.end() && !keyIdOffset(certificates->second, layout.oldKeyId);
    } catch (const std::exception&) {
        return false;
    }
}

TmajScripts::Availability TmajScripts::check(const std::string& tokenSerial) {
    std::unique_lock cardsLock(cardsMutex_);
    // The card made known last wins: a test's private copy of a profile shadows the original.
    for (auto it = cards_.rbegin(); it != cards_.rend(); ++it) {
        const SimCard& c = *it;
        if (tokenSerial != c.profile.cardNumber && tokenSerial != c.profile.cardNumber + c.profile.checkCharacter)
            continue;
        cardsLock.unlock();
        return renewedOnCard(c) ? Availability::upToDate : Availability::updateAvailable;
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
    p.listLength = json::parse(list).size();
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
    if (!a || !c) return refuse("requête invalide");
    std::lock_guard lock(mutex_);
    Progress& p = sessions_[cardnum];
    if (p.stage < 5 || a->size() != p.listLength) return refuse("requête invalide");
    Reply reply;
    try {
        reply = renewalStep(*c, p, *a);
    } catch (const std::exception& e) {
        return refuse(std::string("renouvellement impossible : ") + e.what());
    }
    if (reply.status != 200) return reply;
    ++p.stage;
    p.listLength = json::parse(reply.body).size();
    if (p.stage == 13) ++completed_;
    return reply;
}

TmajScripts::Reply TmajScripts::renewalStep(const SimCard& c, Progress& p, const std::vector<std::string>& a) {
    const RenewalLayout layout = renewalLayout(c.profile);
    const Bytes renewed = renewedNameRecord(c.profile);
    auto allSucceeded = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            if (a[i] != "9000") return false;
        return true;
    };
    // A directory read whole, and where the authentication key's old identifier sits in it.
    auto directory = [&](Bytes& content, std::size_t& idAt) {
        std::optional<Bytes> data = successData(a[1]);
        if (a[0] != "9000" || !data || data->size() >= kShortRead) return false;
        std::optional<std::size_t> at = keyIdOffset(*data, layout.oldKeyId);
        if (!at) return false;
        content = *data;
        idAt = *at;
        return true;
    };
    auto list = [](const std::vector<std::string>& apdus) { return Reply{200, commands(apdus).dump()}; };

    switch (p.stage) {
        case 5:
            if (a[0] != "9000") return refuse("écriture refusée par la carte");
            return list({"00B00000" + byteHex(renewed.size())});
        case 6:
            if (a[0] != toHex(renewed) + "9000") return refuse("relecture différente de l'écriture");
            return list({selectByPath(layout, layout.privateKeyDirectory), "00B0000000"});
        case 7:
            if (!directory(p.privateKeys, p.privateKeysIdAt)) return refuse("annuaire des clés inattendu");
            return list({selectByPath(layout, layout.certificateDirectory), "00B0000000"});
        case 8:
            if (!directory(p.certificates, p.certificatesIdAt)) return refuse("annuaire des certificats inattendu");
            return list({selectByPath(layout, layout.keyFolder), generateKeyPair(layout)});
        case 9: {
            std::optional<Bytes> answer = successData(a[1]);
            std::optional<RsaPublicNumbers> key = answer ? parsePublicKey(*answer) : std::nullopt;
            if (a[0] != "9000" || !key) return refuse("clé publique de la carte inattendue");
            if (authorityDir_.empty() || c.dir.empty()) return refuse("aucune autorité pour cette carte");
            RenewedCertificate renewal = renewAuthenticationCertificate(c.profile, c.dir, authorityDir_, *key);
            // The identifier is written over the old one in place: it must take the same room.
            if (renewal.keyId.size() != layout.oldKeyId.size()) return refuse("identifiant de clé d'une autre taille");
            p.certificate = renewal.der;
            p.keyId = renewal.keyId;
            std::vector<std::string> apdus{selectByPath(layout, layout.certificateFile)};
            for (const std::string& apdu : updateBinary(0, p.certificate, kChunk)) apdus.push_back(apdu);
            apdus.push_back(selectByPath(layout, layout.privateKeyDirectory));
            apdus.push_back(updateBinary(p.privateKeysIdAt, p.keyId, kChunk).front());
            apdus.push_back(selectByPath(layout, layout.certificateDirectory));
            apdus.push_back(updateBinary(p.certificatesIdAt, p.keyId, kChunk).front());
            return list(apdus);
        }
        case 10: {
            if (!allSucceeded(0, a.size())) return refuse("écriture refusée par la carte");
            std::vector<std::string> apdus{selectByPath(layout, layout.certificateFile)};
            for (const std::string& apdu : readBinary(p.certificate.size(), kChunk)) apdus.push_back(apdu);
            apdus.push_back(selectByPath(layout, layout.privateKeyDirectory));
            apdus.push_back("00B0000000");
            return list(apdus);
        }
        case 11: {
            Bytes certificate;
            for (std::size_t i = 1; i + 2 < a.size(); ++i) {
                std::optional<Bytes> chunk = successData(a[i]);
                if (!chunk) return refuse("relecture du certificat refusée");
                certificate.insert(certificate.end(), chunk->begin(), chunk->end());
            }
            if (a[0] != "9000" || certificate != p.certificate) return refuse("relecture du certificat différente");
            if (a[a.size() - 2] != "9000" ||
                successData(a.back()) != patched(p.privateKeys, p.privateKeysIdAt, p.keyId))
                return refuse("relecture de l'annuaire des clés différente");
            return list({selectByPath(layout, layout.certificateDirectory), "00B0000000"});
        }
        case 12:
            if (a[0] != "9000" || successData(a[1]) != patched(p.certificates, p.certificatesIdAt, p.keyId))
                return refuse("relecture de l'annuaire des certificats différente");
            return list({"ENDQELMAJ"});
        default:
            return refuse("étape inattendue");
    }
}

}  // namespace qel::sim
