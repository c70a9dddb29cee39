#pragma once
#include <string>
#include <vector>

namespace qel {

/// The issuer's 17 certification authorities, by the names their certificate resources bear
/// ("<name>.cer"), roots first within each family, in the order the trust chain walk searches them.
const std::vector<std::string>& authorityResourceNames();

}  // namespace qel
