#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "sim/card/profile.h"

namespace qel::sim {

// The card side of a renewal as the update service scripts it: where each generation keeps the
// authentication key, its certificate and the two directories, the command texts that reach them,
// and the new certificate the service issues for the key the card generates.

/// Where a renewal writes on a card of one generation. Paths are from the master file, without it.
struct RenewalLayout {
    std::string cla;  ///< of the issuer application's commands: 00 on a QEL3, 01 on a QEL4
    Bytes keyFolder;
    Bytes certificateFile;
    Bytes privateKeyDirectory;
    Bytes certificateDirectory;
    std::uint8_t keyReference = 0;
    Bytes oldKeyId;  ///< the authentication key's identifier as the profile issued it
};

/// The layout of a profile's contact card; throws std::runtime_error when the profile has no
/// authentication key.
RenewalLayout renewalLayout(const Profile& profile);

/// Full paths, upper-case hexadecimal, as the card's saved state names written files.
std::string holderNamePathHex();
std::string statePathHex(const Bytes& pathBelowMf);

/// The holder after a renewal: the birth name's last letter changes, so records and certificate
/// names keep their sizes.
HolderProfile renewedHolder(const HolderProfile& holder);

/// Command texts (hexadecimal) of the renewal's scripts.
std::string selectByPath(const RenewalLayout& layout, const Bytes& pathBelowMf);
/// GENERATE ASYMMETRIC KEY PAIR of the authentication key, answered with its public key (7F49).
std::string generateKeyPair(const RenewalLayout& layout);
/// UPDATE BINARY of `content` at `offset`, in commands of at most `chunk` bytes.
std::vector<std::string> updateBinary(std::size_t offset, const Bytes& content, std::size_t chunk);
/// READ BINARY of `length` bytes from offset 0, in commands of at most `chunk` bytes.
std::vector<std::string> readBinary(std::size_t length, std::size_t chunk);

/// The data of an answer that ends in 9000, or nothing.
std::optional<Bytes> successData(const std::string& answer);

/// The modulus and exponent of a public key answer 7F49 { 81 modulus, 82 exponent }, or nothing
/// when the bytes are not one.
struct RsaPublicNumbers {
    Bytes modulus;
    Bytes exponent;
};
std::optional<RsaPublicNumbers> parsePublicKey(const Bytes& answer);

/// The offset of a key identifier in a directory (its OCTET STRING 04 <length> <id>), when it
/// appears exactly once.
std::optional<std::size_t> keyIdOffset(const Bytes& directory, const Bytes& keyId);

/// The renewed authentication certificate and its key identifier.
struct RenewedCertificate {
    Bytes der;
    Bytes keyId;
};

/// Issues the authentication certificate of a card for the public key it generated: by the
/// authority (found in `authorityDir`) that issued the profile's certificate, for the renewed
/// holder, valid from today for a card's lifetime, with a new serial and the key identifier of the
/// new key. It has the length of the profile's certificate, whose file keeps its size on the card.
/// Throws std::runtime_error (no authority, a key of another size, a certificate that would not fit).
RenewedCertificate renewAuthenticationCertificate(const Profile& profile, const std::string& profileDir,
                                                  const std::string& authorityDir, const RsaPublicNumbers& key);

}  // namespace qel::sim
