#pragma once
#include <string>

namespace qel::sim {

/// The files of a service simulator's own test authority and server identity.
struct ServiceCredentials {
    std::string caFile;       ///< PEM, what clients trust
    std::string certificate;  ///< PEM, the server certificate for localhost and 127.0.0.1
    std::string privateKey;   ///< PEM
};

/// Makes a fresh authority named `authorityName` and a server certificate issued by it (valid from
/// yesterday for a year) into `dir` as <name>-ca.pem, <name>-server.pem, <name>-server.key (key
/// file 0600). Throws std::runtime_error.
ServiceCredentials makeServiceCredentials(const std::string& dir, const std::string& name,
                                          const std::string& authorityName);

}  // namespace qel::sim
