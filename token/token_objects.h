#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <variant>

#include "card/algorithms.h"
#include "card/card_directory.h"
#include "card/certificate_info.h"
#include "card/qel_type.h"
#include "card/sec_params.h"
#include "common/bytes.h"

namespace qel {

/// The platform's token operation codes.
enum class TokenOperation : int { readData = 1, signData = 2, decryptData = 3, performKeyExchange = 4 };

/// What a key's constraint allows for one operation: `always` (the platform's true: no
/// authentication), `never` (false) or `pin` (the text "PIN": after the PIN operation).
enum class Constraint { always, never, pin };

/// A published certificate: object identifier = the directory entry's KeyID, label = certLabel.
struct TokenCertificate {
    Bytes objectID;
    std::string label;
    Bytes data;  ///< DER
    CertificateInfo info;
};

/// A published private key. Its object identifier is one byte, the last byte of its certificate's
/// KeyID, which is the name the session looks it up by.
class TokenKey {
public:
    /// Builds the key item from its certificate, its one-byte object identifier, its directory entry
    /// and the card generation.
    TokenKey(const TokenCertificate& certificate, Bytes objectID, const QELKeyAttribute& key, QELType cardType);

    std::uint8_t keyNum = 0;
    bool bContactless = false;
    Algos algos;
    KeyType type = KeyType::SIGN_KEY;

    // What the key object publishes as its attributes.
    Bytes objectID;
    Bytes keyID;  ///< the KeyID shared with the certificate, by which applications pair them
    std::string label;
    bool canDecrypt = false;
    bool canSign = false;
    bool canPerformKeyExchange = false;
    std::int64_t keySizeInBits = 0;
    bool suitableForLogin = false;
    std::map<TokenOperation, Constraint> constraints;
    CertificateInfo publicKey;  ///< the certificate's public key and names

    /// The constraint of an operation; `never` for an operation the map does not name.
    Constraint constraint(TokenOperation operation) const;
    /// What the card layer needs to run an operation with this key.
    CardKey cardKey() const { return CardKey{type, keyNum, algos}; }
};

using TokenObject = std::variant<TokenCertificate, TokenKey>;

}  // namespace qel
