#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "common/bytes.h"

namespace qel {

/// Upper-case hexadecimal text, two digits per byte, no separator (3F 00 -> "3F00").
std::string toHex(const Bytes& bytes);
std::string toHex(const std::uint8_t* data, std::size_t size);

/// Parses hexadecimal text (either case; blanks are ignored). Nothing on an odd count of digits or
/// any other character.
std::optional<Bytes> fromHex(std::string_view text);

}  // namespace qel
