#pragma once
#include <optional>
#include <string>
#include <vector>

#include "common/authority_names.h"
#include "sim/card/profile.h"
#include "sim/card/x509_builder.h"

namespace qel::sim {

/// The root that signs an authority; the name itself for a root.
std::string authorityIssuer(const std::string& name);

/// Options of the test authority chain.
struct AuthorityOptions {
    /// Prefix of the revocation-list addresses; each certificate points at
    /// <crlBase>/<issuing authority>.crl.
    std::string crlBase = "http://127.0.0.1:8081/crl";
    int keyBits = 2048;
};

/// Writes <name>.cer (DER) for the 17 authorities, their keys in keys/<name>.pem, an empty
/// revocation list per authority in crl/<name>.crl and authorities.json (the CRL base).
/// Throws std::runtime_error.
void generateAuthorities(const std::string& outDir, const AuthorityOptions& options);

/// Options of one card; what is not given takes the profile's defaults.
struct CardOptions {
    Generation generation = Generation::QEL3;
    std::string cardNumber = "1234567890";
    std::optional<char> checkCharacter;
    std::optional<char> labelCharacter;
    HolderProfile holder;
    bool testCard = true;
    std::string validFrom = isoDateFromToday(-kValidSinceDays);
    std::string validUntil = isoDateFromToday(kValidForDays);
    std::string pin = "1234";
    std::string puk = "12345678";
    int pinTries = 3;
    int pukTries = 10;
    int situations = 2;
    std::string issuer = "ACI-FO-PP-TEST";
    Bytes piccMasterKey = Bytes(8, 0);
    bool desfirePresent = true;
    int keyBits = 2048;
};

/// The default check character of a card number (a letter derived from its digits).
char defaultCheckCharacter(const std::string& cardNumber);

/// Writes one card profile: keys/*.pem, certs/*.cer issued by `options.issuer` of the authority
/// folder, profile.json. An earlier state.json in the folder is removed. Throws std::runtime_error.
void generateCard(const std::string& authorityDir, const std::string& outDir, const CardOptions& options);

/// An authority of the test chain, with what it needs to issue certificates.
struct Authority {
    std::string name;
    X509Ptr certificate;
    PkeyPtr key;
    std::string crlBase;  ///< prefix of the revocation-list addresses its certificates name
};

/// Reads the authority `name` of an authority folder. Throws std::runtime_error.
Authority loadAuthority(const std::string& authorityDir, const std::string& name);
/// The authority of the folder that issued a DER certificate (found by its issuer's common name).
/// Throws std::runtime_error when the certificate or the authority is missing.
Authority issuingAuthority(const std::string& authorityDir, const Bytes& certificateDer);

/// The identifier that links a card key to its certificate: the first 7 bytes of SHA-1 over the
/// public key, then the key reference.
Bytes cardKeyId(EVP_PKEY* publicKey, std::uint8_t reference);

/// The certificate of a card key of `role` for `publicKey`, naming `holder`, valid from the start of
/// `validFrom` to the end of `validUntil` (yyyy-MM-dd). Given the same key size, authority, holder
/// name lengths and dates before 2050, every certificate has the same DER length: the serial has a
/// fixed width. Throws std::runtime_error.
X509Ptr issueCardCertificate(KeyProfile::Role role, EVP_PKEY* publicKey, const HolderProfile& holder,
                             const std::string& validFrom, const std::string& validUntil, const Authority& authority);

/// Writes a revocation list of an authority listing the given serials.
void writeCrl(const std::string& authorityDir, const std::string& issuer, const std::vector<Bytes>& revokedSerials,
              const std::string& outFile);

/// The default set: <out>/ca and the profiles qel3-default, qel4-default, qel4-secure-picc,
/// qel3-expired and qel3-revoked (its authentication certificate is on its authority's list).
void generateDefaultSet(const std::string& outDir, const AuthorityOptions& options);

}  // namespace qel::sim
