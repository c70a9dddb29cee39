#pragma once
#include <optional>
#include <string>

#include "card/smart_card.h"

namespace qel::agent {

/// The serial of a QEL card read inside the caller's session (what the token watcher puts after its
/// prefix); nothing for another card or one that cannot be read.
std::optional<std::string> readCardSerial(SmartCard& card);

}  // namespace qel::agent
