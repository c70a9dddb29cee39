#include "sim/card/holder_records.h"

#include <stdexcept>

#include "sim/card/tlv_writer.h"

namespace qel::sim {

namespace {

constexpr std::uint32_t kIdCard = 0xE3, kNamePs = 0xE4, kInfoPs = 0xED, kSituation = 0xEE, kSitFacts = 0xE0,
                        kSitFact = 0xA0;

Bytes dateBcd(const std::string& isoDate) {
    // yyyy-MM-dd -> yyyyMMdd
    return bcd(isoDate.substr(0, 4) + isoDate.substr(5, 2) + isoDate.substr(8, 2));
}

Bytes ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string twoDigits(int n) {
    std::string s = std::to_string(n);
    return s.size() < 2 ? "0" + s : s;
}

}  // namespace

std::uint8_t codeByte(const std::string& code) {
    if (code.empty() || code.size() > 2) throw std::runtime_error("code \"" + code + "\" is not one or two digits");
    int v = 0;
    for (char c : code) {
        if (c < '0' || c > '9') throw std::runtime_error("code \"" + code + "\" is not decimal");
        v = v * 10 + (c - '0');
    }
    return static_cast<std::uint8_t>(v);
}

Bytes identityRecord(const Profile& p) {
    return tlv(kIdCard, cat({tlv(0x80, bcd(p.issuerId)), tlv(0x81, bcd(p.cardNumber)),
                             tlv(0x82, Bytes{static_cast<std::uint8_t>(p.testCard ? 0x80 : 0x00)}),
                             tlv(0x83, dateBcd(p.validFrom)), tlv(0x84, dateBcd(p.validUntil))}));
}

Bytes nameRecord(const HolderProfile& h) {
    Bytes firstNames;
    for (const std::string& n : h.firstNames) {
        firstNames.insert(firstNames.end(), n.begin(), n.end());
        firstNames.push_back(0xFF);
    }
    return tlv(kNamePs,
               cat({tlv(0x80, Bytes{codeByte(h.civility)}), tlv(0x81, ascii(h.lastName)),
                    tlv(0x82, ascii(h.marriedName)), tlv(0x83, firstNames), tlv(0x84, ascii(h.usualFirstName))}));
}

Bytes infoRecord(const HolderProfile& h) {
    return tlv(kInfoPs, cat({tlv(0x80, Bytes{codeByte(h.cardType)}), tlv(0x81, ascii(h.identifier())),
                             tlv(0x82, Bytes{codeByte(h.profession)}), tlv(0x83, Bytes{codeByte(h.occupation)}),
                             tlv(0x84, ascii(h.practiceName))}));
}

Bytes activityRecord(const SituationProfile& s, int number) {
    Bytes inner =
        cat({tlv(0x80, Bytes{codeByte(s.practiceMode)}), tlv(0x81, Bytes{static_cast<std::uint8_t>(number)})});
    if (!s.pharmacistSection.empty()) inner = cat({inner, tlv(0x82, ascii(s.pharmacistSection))});
    inner = cat({inner, tlv(0x84, ascii(s.companyName)), tlv(0x85, ascii(s.structureId)), tlv(0x86, ascii(s.sector))});
    return tlv(kSituation, inner);
}

Bytes billingRecord(const std::vector<SituationProfile>& situations) {
    Bytes blocks;
    for (std::size_t i = 0; i < situations.size(); ++i) {
        if (!situations[i].billing) continue;
        const BillingProfile& b = *situations[i].billing;
        std::string permissions{b.permissionFse ? '1' : '0', b.permissionLot ? '1' : '0'};
        Bytes block =
            tlv(kSitFact, cat({tlv(0x80, bcd(twoDigits(static_cast<int>(i) + 1))), tlv(0x81, bcd(b.billingId)),
                               tlv(0x82, bcd(b.specialty + b.convention + b.tariffZone + b.mileage)),
                               tlv(0x83, bcd(b.agreements)), tlv(0x84, bcd(permissions))}));
        blocks.insert(blocks.end(), block.begin(), block.end());
    }
    return tlv(kSitFacts, blocks);
}

Bytes cardInfoRecord(const Profile& p) {
    return cat({tlv(0x80, std::string(generationName(p.generation))), tlv(0x81, p.cardNumber),
                tlv(0x82, std::string(1, p.checkCharacter)), tlv(0x83, std::string(1, p.labelCharacter)),
                tlv(0x84, Bytes{static_cast<std::uint8_t>(p.testCard ? 0x01 : 0x00)})});
}

Bytes serialRecord(const Profile& p) {
    return tlv(0x04, cat({Bytes{0x80, 0x25, 0x00, 0x00, 0x01}, bcd(p.cardNumber)}));
}

}  // namespace qel::sim
