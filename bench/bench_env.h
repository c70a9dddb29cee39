#pragma once
// What the in-process benchmarks share: a private folder for the logs and the card file cache, and
// the virtual cards of the build's default profiles.
#include <string>

#include "sim/card/qel_card_model.h"

namespace qel::bench {

/// The card file cache folder of this run ($XDG_CACHE_HOME/sigilla), inside the private folder.
std::string cacheFolder();
/// Empties the card file cache.
void forgetCachedFiles();

/// The build's default profile of the generation, read once.
const sim::QelCardBlueprint& blueprint(sim::Generation generation);

/// The application identifier the module hands to the token driver.
inline const Bytes kAid{0x80, 0x25, 0x00, 0x00, 0x01, 0xFF, 0x01, 0x00};

}  // namespace qel::bench
