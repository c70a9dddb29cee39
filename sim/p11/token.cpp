#include "sim/p11/token.h"

#include <algorithm>

#include "card/certificate_info.h"
#include "card/smart_card.h"
#include "common/format.h"
#include "sim/p11/card_layout.h"
#include "sim/p11/pkcs15.h"

namespace qel::simp11 {

namespace {

constexpr int kMaxActivities = 16;

struct PublicFile {
    const char* label;
    std::uint16_t fid;
};
const PublicFile kPublicFiles[] = {{"QEL_ID_CARD", 0xD001}, {"QEL_NAME_PS", 0xD002}, {"QEL_INFO_PS", 0xD003}};

// A file the card keeps from us, or answers with garbled framing, counts as absent: the rest of
// the token stays usable. A card that is gone still ends the reading.
std::optional<Bytes> readOptional(CardChannel& card, const Bytes& path) {
    try {
        return card.readFile(path);
    } catch (const CardStatusError&) {
        return std::nullopt;
    } catch (const qel::TransportError& e) {
        if (e.kind() != qel::TransportError::Kind::communication) throw;
        return std::nullopt;
    }
}

bool endsWith(const Bytes& path, const Bytes& file) {
    return path.size() >= 2 && file.size() >= 2 && std::equal(path.end() - 2, path.end(), file.end() - 2);
}

}  // namespace

std::unique_ptr<Token> Token::read(CardChannel& card, HandleCounter& handles) {
    std::unique_ptr<Token> token(new Token(card.generation(), handles));
    CardLayout layout = layoutFor(token->generation_);

    std::optional<CardIdentity> identity;
    if (auto info = readOptional(card, layout.cardInfoFile)) identity = parseCardInfo(*info);
    if (!identity) {
        auto serial = readOptional(card, layout.serialFile);
        auto number = serial ? cardNumberFromSerialFile(*serial) : std::nullopt;
        // Without a number there is nothing to name the token by: the card is not usable.
        if (!number) throw qel::TransportError(qel::TransportError::Kind::communication, 0, "card number unreadable");
        identity = identityWithoutCardInfo(token->generation_, *number);
    }
    token->identity_ = *identity;
    token->readKeysAndCertificates(card);
    token->readPublicData(card);
    return token;
}

std::string Token::model() const {
    switch (generation_) {
        case CardGeneration::QEL3:
            return "QEL3";
        case CardGeneration::QEL3CL:
            return "QEL3CL";
        case CardGeneration::QEL4:
            return "QEL4";
    }
    return "QEL";
}

CK_OBJECT_HANDLE Token::handleFor(const std::string& key) {
    auto it = dataHandles_.find(key);
    if (it != dataHandles_.end()) return it->second;
    CK_OBJECT_HANDLE h = ++handles_;
    dataHandles_[key] = h;
    return h;
}

void Token::readKeysAndCertificates(CardChannel& card) {
    CardLayout layout = layoutFor(generation_);
    auto prkd = readOptional(card, layout.privateKeyDirectory);
    auto cd = readOptional(card, layout.certificateDirectory);
    std::vector<KeyEntry> keys = prkd ? parsePrivateKeyDirectory(*prkd) : std::vector<KeyEntry>{};
    std::vector<CertificateEntry> certs = cd ? parseCertificateDirectory(*cd) : std::vector<CertificateEntry>{};

    for (const CertificateEntry& entry : certs) {
        // Directory paths are full paths; a bare file identifier names one of the known files.
        Bytes path = entry.path;
        if (path.size() == 2) {
            if (endsWith(layout.authCertificate, path))
                path = layout.authCertificate;
            else if (endsWith(layout.signCertificate, path))
                path = layout.signCertificate;
        }
        if (path.size() < 4 || path[0] != 0x3F || path[1] != 0x00) continue;
        auto content = readOptional(card, path);
        auto info = content ? parseCertificateFile(*content) : std::nullopt;
        if (!info || !info->hasRsaKey()) continue;

        P11Object cert = makeCertificate(entry.label, entry.id, *info);
        cert.handle = ++handles_;
        objects_.push_back(std::move(cert));

        auto key = std::find_if(keys.begin(), keys.end(), [&](const KeyEntry& k) { return k.id == entry.id; });
        if (key == keys.end()) continue;
        KeyRole role = key->isAuthKey() ? KeyRole::auth : KeyRole::sign;
        P11Object privateKey = makePrivateKey(*key, role, *info);
        privateKey.handle = ++handles_;
        objects_.push_back(std::move(privateKey));
        P11Object publicKey = makePublicKey(*key, *info);
        publicKey.handle = ++handles_;
        objects_.push_back(std::move(publicKey));
    }
}

void Token::putDataObject(const std::string& label, const Bytes& value, bool isPrivate) {
    P11Object o = makeDataObject(label, value, isPrivate);
    o.handle = handleFor(label);
    dataObjects_.push_back(std::move(o));
}

void Token::readPublicData(CardChannel& card) {
    for (const PublicFile& f : kPublicFiles)
        if (auto value = readOptional(card, holderFilePath(f.fid))) putDataObject(f.label, *value, false);
}

void Token::loadPrivateData(CardChannel& card) {
    dropPrivateData();
    for (int i = 1; i <= kMaxActivities; ++i) {
        // Situation files are numbered D101 to D110 and fill from the first one.
        auto value = card.readFile(holderFilePath(static_cast<std::uint16_t>(0xD100 + i)));
        if (!value) break;
        putDataObject(qel::format("QEL_ACTIVITY_%02d_PS", i), *value, true);
    }
    if (auto value = card.readFile(holderFilePath(0xD200))) putDataObject("QEL_SIT_FACT", *value, true);
    privateDataLoaded_ = true;
}

void Token::dropPrivateData() {
    dataObjects_.erase(
        std::remove_if(dataObjects_.begin(), dataObjects_.end(), [](const P11Object& o) { return o.isPrivate; }),
        dataObjects_.end());
    privateDataLoaded_ = false;
}

void Token::reloadHolderData(CardChannel& card, bool loggedIn) {
    dataObjects_.clear();
    privateDataLoaded_ = false;
    holderDataStale_ = false;
    readPublicData(card);
    if (loggedIn) loadPrivateData(card);
}

std::vector<const P11Object*> Token::objects(bool loggedIn) const {
    std::vector<const P11Object*> out;
    for (const auto* list : {&objects_, &dataObjects_})
        for (const P11Object& o : *list)
            if (loggedIn || !o.isPrivate) out.push_back(&o);
    return out;
}

const P11Object* Token::object(CK_OBJECT_HANDLE handle, bool loggedIn) const {
    for (const P11Object* o : objects(loggedIn))
        if (o->handle == handle) return o;
    return nullptr;
}

bool Token::knowsDataHandle(CK_OBJECT_HANDLE handle) const {
    for (const auto& [key, h] : dataHandles_)
        if (h == handle) return true;
    return false;
}

}  // namespace qel::simp11
