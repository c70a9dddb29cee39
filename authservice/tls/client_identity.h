#pragma once
// The TLS client identities of the workstation: certificate and private-key pairs of the PKCS#11
// tokens whose modules are registered with p11-kit (Sigilla among them).
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"

namespace qel::vek {

/// One certificate and the private key with the same CKA_ID on a token.
struct ClientIdentity {
    std::string module;  ///< p11-kit's name of the module
    std::string tokenLabel;
    std::string tokenSerial;
    std::string tokenManufacturer;
    std::string tokenModel;
    Bytes id;           ///< CKA_ID of the pair
    Bytes certificate;  ///< DER
    /// The token signs with RSA-PSS, which TLS 1.3 requires; a key without it is held to TLS 1.2.
    bool signsPss = false;

    /// The private key's pkcs11: URI (token attributes, id, type), without any PIN.
    std::string keyUri() const;
};

/// The identity a handshake uses from a list in its stable order: the second one when there are
/// two or more (on a QEL card the authentication certificate follows the signature one), the only
/// one of a list of one, none of an empty list.
std::optional<ClientIdentity> chooseClientIdentity(const std::vector<ClientIdentity>& identities);

/// The registered modules, loaded and initialised through p11-kit for as long as the object lives,
/// with the sessions opened to list the identities. While it lives, a token logged in for the
/// listing stays logged in, so that another user of the same modules in this process (the pkcs11
/// engine through the p11-kit proxy) finds its key usable.
class TokenScan {
public:
    /// Loads the modules registered with p11-kit and lists their identities. Modules that fail are
    /// skipped (and logged); no PIN is ever asked: a token that needs a login is logged in only
    /// when its card's PIN is already verified (a login without PIN, which Sigilla accepts for a
    /// card verified by Kartello's PIN step); otherwise its private keys stay hidden and it offers
    /// no identity.
    TokenScan();
    ~TokenScan();
    TokenScan(const TokenScan&) = delete;
    TokenScan& operator=(const TokenScan&) = delete;

    /// Modules by name, then slots in the module's order, then pairs in the token's object order
    /// (object handles ascending: Sigilla numbers a card's items in its directory order).
    const std::vector<ClientIdentity>& identities() const { return identities_; }

private:
    struct Modules;
    std::unique_ptr<Modules> modules_;
    std::vector<ClientIdentity> identities_;
};

}  // namespace qel::vek
