#pragma once
#include <cstdint>
#include <vector>

namespace qel {

/// Plain byte sequence used for card answers, files, keys and APDUs.
using Bytes = std::vector<std::uint8_t>;

}  // namespace qel
