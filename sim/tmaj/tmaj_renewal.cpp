#include "sim/tmaj/tmaj_renewal.h"

#include <algorithm>
#include <stdexcept>

#include "common/hex.h"
#include "sim/card/profile_generator.h"

namespace qel::sim {

namespace {

std::string byteHex(std::size_t n) { return toHex(Bytes{static_cast<std::uint8_t>(n)}); }

std::string offsetHex(std::size_t offset) {
    return toHex(Bytes{static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset & 0xFF)});
}

// One BER element at `at`: tag of one or two bytes, length in the short or 81 / 82 forms.
struct Element {
    std::uint32_t tag = 0;
    std::size_t valueAt = 0, length = 0;
};

std::optional<Element> elementAt(const Bytes& b, std::size_t at) {
    Element e;
    if (at >= b.size()) return std::nullopt;
    e.tag = b[at++];
    if ((e.tag & 0x1F) == 0x1F) {
        if (at >= b.size()) return std::nullopt;
        e.tag = e.tag << 8 | b[at++];
    }
    if (at >= b.size()) return std::nullopt;
    const std::uint8_t first = b[at++];
    if (first < 0x80) {
        e.length = first;
    } else if (first == 0x81 || first == 0x82) {
        const std::size_t n = first & 0x7F;
        if (b.size() - at < n) return std::nullopt;
        for (std::size_t i = 0; i < n; ++i) e.length = e.length << 8 | b[at++];
    } else {
        return std::nullopt;
    }
    if (b.size() - at < e.length) return std::nullopt;
    e.valueAt = at;
    return e;
}

Bytes valueOf(const Bytes& b, const Element& e) {
    return Bytes(b.begin() + static_cast<long>(e.valueAt), b.begin() + static_cast<long>(e.valueAt + e.length));
}

}  // namespace

RenewalLayout renewalLayout(const Profile& profile) {
    const KeyProfile* key = profile.key(KeyProfile::Role::authentication);
    if (!key) throw std::runtime_error("the profile has no authentication key");
    RenewalLayout l;
    l.keyReference = key->reference;
    l.oldKeyId = key->keyId;
    l.privateKeyDirectory = Bytes{0x00, 0x01, 0x70, 0x02};
    l.certificateDirectory = Bytes{0x00, 0x01, 0x70, 0x05};
    if (profile.generation == Generation::QEL4) {
        l.cla = "01";
        l.keyFolder = Bytes{0x00, 0x01, 0x01, 0x02};
        l.certificateFile = Bytes{0x00, 0x01, 0x01, 0x02, 0xA0, 0x20};
    } else {
        l.cla = "00";
        l.keyFolder = Bytes{0x00, 0x01};
        l.certificateFile = Bytes{0x00, 0x01, 0xA0, 0x02};
    }
    return l;
}

std::string holderNamePathHex() { return "3F000003D002"; }

std::string statePathHex(const Bytes& pathBelowMf) { return "3F00" + toHex(pathBelowMf); }

HolderProfile renewedHolder(const HolderProfile& holder) {
    HolderProfile renewed = holder;
    if (!renewed.lastName.empty()) renewed.lastName.back() = renewed.lastName.back() == 'D' ? 'T' : 'D';
    return renewed;
}

std::string selectByPath(const RenewalLayout& layout, const Bytes& pathBelowMf) {
    // P1 08 (path from the master file) is an issuer application command on a QEL4: its class.
    return layout.cla + "A4080C" + byteHex(pathBelowMf.size()) + toHex(pathBelowMf);
}

std::string generateKeyPair(const RenewalLayout& layout) {
    // No Le: the card keeps the public key for GET RESPONSE, as a T=0 card does after data.
    return layout.cla + "47800005A4038401" + byteHex(layout.keyReference);
}

std::vector<std::string> updateBinary(std::size_t offset, const Bytes& content, std::size_t chunk) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at < content.size(); at += chunk) {
        const std::size_t n = std::min(chunk, content.size() - at);
        out.push_back(
            "00D6" + offsetHex(offset + at) + byteHex(n) +
            toHex(Bytes(content.begin() + static_cast<long>(at), content.begin() + static_cast<long>(at + n))));
    }
    return out;
}

std::vector<std::string> readBinary(std::size_t length, std::size_t chunk) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at < length; at += chunk)
        out.push_back("00B0" + offsetHex(at) + byteHex(std::min(chunk, length - at)));
    return out;
}

std::optional<Bytes> successData(const std::string& answer) {
    if (answer.size() < 4 || answer.compare(answer.size() - 4, 4, "9000") != 0) return std::nullopt;
    return fromHex(answer.substr(0, answer.size() - 4));
}

std::optional<RsaPublicNumbers> parsePublicKey(const Bytes& answer) {
    auto outer = elementAt(answer, 0);
    if (!outer || outer->tag != 0x7F49 || outer->valueAt + outer->length != answer.size()) return std::nullopt;
    RsaPublicNumbers key;
    for (std::size_t at = outer->valueAt; at < answer.size();) {
        auto e = elementAt(answer, at);
        if (!e) return std::nullopt;
        if (e->tag == 0x81) key.modulus = valueOf(answer, *e);
        if (e->tag == 0x82) key.exponent = valueOf(answer, *e);
        at = e->valueAt + e->length;
    }
    if (key.modulus.empty() || key.exponent.empty()) return std::nullopt;
    return key;
}

std::optional<std::size_t> keyIdOffset(const Bytes& directory, const Bytes& keyId) {
    Bytes pattern{0x04, static_cast<std::uint8_t>(keyId.size())};
    pattern.insert(pattern.end(), keyId.begin(), keyId.end());
    auto first = std::search(directory.begin(), directory.end(), pattern.begin(), pattern.end());
    if (keyId.empty() || keyId.size() > 127 || first == directory.end()) return std::nullopt;
    if (std::search(first + 1, directory.end(), pattern.begin(), pattern.end()) != directory.end()) return std::nullopt;
    return static_cast<std::size_t>(first - directory.begin()) + 2;
}

RenewedCertificate renewAuthenticationCertificate(const Profile& profile, const std::string& profileDir,
                                                  const std::string& authorityDir, const RsaPublicNumbers& key) {
    const KeyProfile* k = profile.key(KeyProfile::Role::authentication);
    if (!k) throw std::runtime_error("the profile has no authentication key");
    const std::string previousDer = readWholeFile(profileDir + "/" + k->certificateFile);
    const Bytes previous(previousDer.begin(), previousDer.end());
    const Authority authority = issuingAuthority(authorityDir, previous);
    PkeyPtr publicKey = rsaPublicKey(key.modulus, key.exponent);
    RenewedCertificate out;
    out.keyId = cardKeyId(publicKey.get(), k->reference);
    X509Ptr cert =
        issueCardCertificate(KeyProfile::Role::authentication, publicKey.get(), renewedHolder(profile.holder),
                             isoDateFromToday(0), isoDateFromToday(kValidForDays), authority);
    out.der = derOf(cert.get());
    // The certificate file keeps the size it was made with: a renewal that does not fit is the
    // service's fault, not something to cut or pad.
    if (out.der.size() != previous.size())
        throw std::runtime_error("renewed certificate of " + std::to_string(out.der.size()) + " bytes for a file of " +
                                 std::to_string(previous.size()));
    return out;
}

}  // namespace qel::sim
