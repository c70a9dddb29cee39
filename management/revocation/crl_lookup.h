#pragma once
#include <openssl/types.h>

#include <chrono>
#include <optional>
#include <string>

#include "common/bytes.h"

namespace qel {

/// What a revocation list says of one serial number.
enum class CrlAnswer {
    revoked,
    notRevoked,
    /// The bytes are not a revocation list (unreadable, trailing bytes): nothing can be concluded.
    unreadable,
    /// A list, but not one the issuing authority signed (another issuer's name, or a signature that
    /// does not verify with the authority's key): nothing can be concluded.
    notSignedByIssuer,
    /// The authority's list, but past its next-update date (or without one) and the serial is not
    /// in it: too old to vouch for the certificate, nothing can be concluded.
    outdated,
};

/// Looks `serial` (big-endian bytes of the positive serial number) up in the DER list `crlDer`,
/// after checking that the list was issued and signed by `issuer`. Serials are compared as
/// integers: a number that is a prefix or suffix of a listed one does not match. A listed serial is
/// revoked whatever the list's age; an absent one counts only while the list is current at `now`.
CrlAnswer lookupSerial(const Bytes& crlDer, const Bytes& serial, X509* issuer,
                       std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

/// The serial number of a certificate as big-endian bytes; nothing when it has none or it is
/// negative.
std::optional<Bytes> serialBytes(X509* certificate);

/// The revocation-list address that the check uses: the second URI of the certificate's CRL
/// distribution points, in the order they are written. Nothing when there is no second one.
std::optional<std::string> crlDistributionPoint(X509* certificate);

}  // namespace qel
