#pragma once
#include "card/qel_type.h"
#include "common/bytes.h"

namespace qel {

/// One file of the card: the path of the directory that holds it (2-byte identifiers concatenated,
/// may be empty), its own identifier or path (may be empty), and whether its content may be kept
/// in the local cache.
struct CardFile {
    Bytes parent;
    Bytes id;
    bool cache = false;

    /// parent followed by id.
    Bytes fullPath() const;
    /// A 2-byte path matches the identifier; any other path must equal the full path.
    bool matches(const Bytes& path) const;
};

/// The card's file table for one generation.
struct QELFiles {
    /// The table before configure: mf = 3F00, ef = 3F00 0001, aid = 80 25 00 00 01 FF 01 00 (selected
    /// by name); every other file has empty paths; nothing is cacheable.
    QELFiles();

    /// Fills the generation's paths (mf, ef and aid never change; UNKNOWN changes nothing).
    void configure(QELType type);

    CardFile mf;
    CardFile serial;
    CardFile ef;
    CardFile prkd;      ///< private-key directory
    CardFile cd;        ///< certificate directory
    CardFile signCert;  ///< signature certificate
    CardFile authCert;  ///< authentication certificate
    CardFile update;
    CardFile aid;     ///< the issuer application, selected by name
    CardFile signEF;  ///< selected before a signature-key operation
    CardFile authEF;  ///< selected before an authentication-key operation
};

}  // namespace qel
