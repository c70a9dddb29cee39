#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/card/card_files.h"
#include "sim/card/card_model.h"
#include "sim/card/profile.h"
#include "sim/card/rsa_key.h"

namespace qel::sim {

/// A private key on the card with its certificate and the folder that holds it (key references
/// are looked up from the current folder upwards).
struct CardKey {
    KeyProfile profile;
    RsaKey key;
    Bytes certificate;
    const CardNode* folder = nullptr;

    bool decipherCapable() const { return profile.role != KeyProfile::Role::signature; }
    std::uint16_t usage() const;
};

/// The ISO 7816 side of a card: its file system and its keys, as one reader kind shows them.
struct IsoContent {
    FileTree tree;
    std::vector<CardKey> keys;
};

/// The issuer application name of the fourth generation.
Bytes issuerApplicationName();

/// The key of a role with its certificate, read from the profile folder (no folder placed yet).
/// Throws std::runtime_error when the profile has no such key or a file is missing or bad.
CardKey loadCardKey(const Profile& profile, const std::string& dir, KeyProfile::Role role);

/// Gives the key of a role; throws std::runtime_error when there is none.
using CardKeySource = std::function<CardKey(KeyProfile::Role)>;

/// Builds the files and keys of a QEL3 (contact or contactless) or a QEL4 contact card from its
/// profile folder. Throws std::runtime_error when a key or certificate file is missing or bad.
std::unique_ptr<IsoContent> buildIsoContent(const Profile& profile, const std::string& dir, ReaderKind kind);
/// As above, with keys that were read before.
std::unique_ptr<IsoContent> buildIsoContent(const Profile& profile, const CardKeySource& keys, ReaderKind kind);

}  // namespace qel::sim
