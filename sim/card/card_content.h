#pragma once
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

/// Builds the files and keys of a QEL3 (contact or contactless) or a QEL4 contact card from its
/// profile folder. Throws std::runtime_error when a key or certificate file is missing or bad.
std::unique_ptr<IsoContent> buildIsoContent(const Profile& profile, const std::string& dir, ReaderKind kind);

}  // namespace qel::sim
