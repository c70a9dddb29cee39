#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/bytes.h"

namespace qel::sim {

/// Who may run an access: everyone, a holder who presented the PIN, or nobody.
enum class Access { always, pin, never };

/// One file of the card: a dedicated file (folder, maybe with an application name) or a
/// transparent elementary file.
struct CardNode {
    std::uint16_t fid = 0;
    bool isDf = false;
    Bytes name;            ///< DF name (application identifier), empty for none
    std::uint8_t sfi = 0;  ///< short EF identifier, 0 for none
    Bytes content;         ///< EF content as built from the profile
    Access read = Access::always;
    Access update = Access::never;
    CardNode* parent = nullptr;
    std::vector<std::unique_ptr<CardNode>> children;

    CardNode* child(std::uint16_t id) const;
    /// Identifiers from the master file down to this file (3F00 first).
    Bytes fullPath() const;
    std::string pathHex() const;
    bool isAncestorOf(const CardNode* other) const;
};

/// The card's file system: a master file 3F00 and what hangs below it.
class FileTree {
public:
    FileTree();
    CardNode& mf() { return *mf_; }
    const CardNode& mf() const { return *mf_; }

    /// Adds a DF below `parent` (created folders are returned for further adds).
    CardNode& addDf(CardNode& parent, std::uint16_t fid, Bytes name = {});
    /// Adds a transparent EF below `parent`.
    CardNode& addEf(CardNode& parent, std::uint16_t fid, Bytes content, Access read = Access::always,
                    Access update = Access::never, std::uint8_t sfi = 0);

    /// Resolves identifiers one by one from `start`; nullptr when one is missing or an EF is
    /// crossed. Leading 3F00 identifiers (any number of them) restart from the master file.
    CardNode* resolve(const Bytes& path, CardNode* start);
    /// The first DF whose name begins with `name`.
    CardNode* findByName(const Bytes& name);
    /// The file at a full path given in upper-case hexadecimal, or nullptr.
    CardNode* findByPathHex(const std::string& pathHex);

private:
    std::unique_ptr<CardNode> mf_;
};

}  // namespace qel::sim
