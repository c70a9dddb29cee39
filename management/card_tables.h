#pragma once
#include <chrono>
#include <optional>
#include <string>

#include "issuerlib/holder_infos.h"

namespace qel {

/// The card picture of a profession key ("10" -> "top-card-medecin"); an unknown key gives the
/// picture of "00".
std::string cardPicture(const std::string& professionKey);

/// The named colour of the job label for a profession key ("21" -> "pharma"); an unknown key gives
/// the colour of "99" ("empty").
std::string jobColour(const std::string& professionKey);

/// The holder's profession key: the profession code for card type "00", "F" + the métier code for
/// card type "01", else the card type itself.
std::string professionKey(const HolderInfos& holder);

/// A "dd/MM/yyyy" date as local midnight of that day; nothing when the text is not such a date.
std::optional<std::chrono::system_clock::time_point> parseCardDate(const std::string& text);

/// True when the card's expiry date ("dd/MM/yyyy") is later than `now`. An unparsable text counts
/// as `now`, so it is not later.
bool expiresAfter(const std::string& finValidite, std::chrono::system_clock::time_point now);

/// The text with control characters (NUL included) removed from both ends.
std::string trimControlCharacters(const std::string& text);

}  // namespace qel
