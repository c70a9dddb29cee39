#include "sim/card/card_content.h"

#include <stdexcept>

#include "sim/card/holder_records.h"
#include "sim/card/pkcs15_directories.h"
#include "sim/card/tlv_writer.h"

namespace qel::sim {

namespace {

using Role = KeyProfile::Role;

// Where each generation keeps things; the clients' file tables address exactly these.
struct Layout {
    std::uint16_t privateKeys, certificates;
    std::vector<Role> roles;
};

Bytes loadCertificate(const std::string& path) {
    std::string der = readWholeFile(path);
    if (der.empty()) throw std::runtime_error("empty certificate " + path);
    return Bytes(der.begin(), der.end());
}

void addHolderFiles(FileTree& tree, const Profile& p, bool contactless) {
    CardNode& holder = tree.addDf(tree.mf(), 0x0003);
    tree.addEf(holder, 0xD000, cardInfoRecord(p));
    // The contactless interface does not show the identity object: that is how clients tell it.
    if (!contactless) tree.addEf(holder, 0xD001, identityRecord(p), Access::always, Access::pin);
    tree.addEf(holder, 0xD002, nameRecord(p.holder), Access::always, Access::pin);
    tree.addEf(holder, 0xD003, infoRecord(p.holder), Access::always, Access::pin);
    for (std::size_t i = 0; i < p.situations.size(); ++i)
        tree.addEf(holder, static_cast<std::uint16_t>(0xD101 + i),
                   activityRecord(p.situations[i], static_cast<int>(i) + 1), Access::pin, Access::pin);
    if (!p.situations.empty()) tree.addEf(holder, 0xD200, billingRecord(p.situations), Access::pin, Access::pin);
}

Bytes updateRecord(const Profile& p) {
    Bytes content = tlv(0x80, Bytes{static_cast<std::uint8_t>(p.updateLevel & 0xFF)});
    content.resize(32, 0x00);
    return content;
}

}  // namespace

std::uint16_t CardKey::usage() const {
    return decipherCapable() ? static_cast<std::uint16_t>(kUsageDecipher | kUsageSign | kUsageUnwrap)
                             : kUsageNonRepudiation;
}

Bytes issuerApplicationName() { return Bytes{0x80, 0x25, 0x00, 0x00, 0x01, 0xFF, 0x01, 0x00}; }

CardKey loadCardKey(const Profile& profile, const std::string& dir, Role role) {
    const KeyProfile* k = profile.key(role);
    if (!k) throw std::runtime_error(std::string("the profile has no ") + roleName(role) + " key");
    return CardKey{*k, RsaKey::fromPemFile(dir + "/" + k->keyFile), loadCertificate(dir + "/" + k->certificateFile),
                   nullptr};
}

std::unique_ptr<IsoContent> buildIsoContent(const Profile& p, const std::string& dir, ReaderKind kind) {
    return buildIsoContent(
        p, [&](Role role) { return loadCardKey(p, dir, role); }, kind);
}

std::unique_ptr<IsoContent> buildIsoContent(const Profile& p, const CardKeySource& keys, ReaderKind kind) {
    auto content = std::make_unique<IsoContent>();
    FileTree& tree = content->tree;
    const bool contactless = kind == ReaderKind::contactless;
    if (p.generation == Generation::QEL4 && contactless)
        throw std::runtime_error("a QEL4 in a contactless reader shows its DESFire application, not ISO files");

    tree.addEf(tree.mf(), 0xD003, serialRecord(p));
    if (p.generation == Generation::QEL3) tree.addEf(tree.mf(), 0xD010, updateRecord(p), Access::always, Access::pin);

    CardNode& app = tree.addDf(tree.mf(), 0x0001, p.generation == Generation::QEL4 ? issuerApplicationName() : Bytes{});
    Bytes prkd, cd;
    std::uint16_t prkdId = 0x7002, cdId = 0x7005;
    auto place = [&](Role role, CardNode& folder, std::uint16_t certId) {
        CardKey key = keys(role);
        key.folder = &folder;
        // The issuer's renewal rewrites certificates and directories in place, after the PIN.
        CardNode& certFile = tree.addEf(folder, certId, key.certificate, Access::always, Access::pin);
        prkd = cat({prkd, privateKeyEntry(key.profile.keyLabel, key.profile.keyId, key.usage(), key.profile.reference,
                                          folder.fullPath(), key.key.bits())});
        cd = cat({cd, certificateEntry(key.profile.certLabel, key.profile.keyId, certFile.fullPath())});
        content->keys.push_back(std::move(key));
    };
    if (p.generation == Generation::QEL3 && !contactless) {
        place(Role::signature, app, 0xA001);
        place(Role::authentication, app, 0xA002);
    } else if (p.generation == Generation::QEL3) {
        prkdId = 0x7102;
        cdId = 0x7105;
        place(Role::technical, app, 0xA003);
    } else {
        place(Role::signature, tree.addDf(app, 0x0101), 0xA010);
        place(Role::authentication, tree.addDf(app, 0x0102), 0xA020);
        CardNode& keyFolder = tree.addDf(tree.mf(), 0x0002);
        tree.addEf(keyFolder, 0xC001, p.desfire.applicationKey, Access::pin, Access::never);
    }
    tree.addEf(app, prkdId, prkd, Access::always, Access::pin);
    tree.addEf(app, cdId, cd, Access::always, Access::pin);
    addHolderFiles(tree, p, contactless);
    return content;
}

}  // namespace qel::sim
