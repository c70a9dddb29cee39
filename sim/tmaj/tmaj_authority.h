#pragma once
#include <string>

#include "sim/services/service_credentials.h"

namespace qel::sim {

using TmajCredentials = ServiceCredentials;

/// The update service's authority and server identity in `dir`: tmaj-ca.pem, tmaj-server.pem,
/// tmaj-server.key. Throws std::runtime_error.
inline TmajCredentials makeTmajCredentials(const std::string& dir) {
    return makeServiceCredentials(dir, "tmaj", "Oberlane Test Update Service Authority");
}

}  // namespace qel::sim
