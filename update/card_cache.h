#pragma once
#include <string>

namespace qel {

/// Removes the token driver's file cache of one card ($XDG_CACHE_HOME/sigilla/OLMA/<serial>), so that
/// the next token built for it reads the renewed files from the card. `cardSerial` is the APDU-side
/// serial ("8025000001" + card number): upper-case hexadecimal digits only, anything else is refused.
/// True when no cache folder of that card remains (also when there was none). Never throws.
bool dropCardFileCache(const std::string& cardSerial);

}  // namespace qel
