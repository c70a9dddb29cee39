#pragma once
#include <string>

namespace qel::sim {

/// The files of the simulator's own test authority and server identity.
struct TmajCredentials {
    std::string caFile;       ///< PEM, what clients trust
    std::string certificate;  ///< PEM, the server certificate for localhost and 127.0.0.1
    std::string privateKey;   ///< PEM
};

/// Makes a fresh authority and a server certificate issued by it (valid from yesterday for a year)
/// into `dir` as tmaj-ca.pem, tmaj-server.pem, tmaj-server.key (key file 0600). Throws
/// std::runtime_error.
TmajCredentials makeTmajCredentials(const std::string& dir);

}  // namespace qel::sim
