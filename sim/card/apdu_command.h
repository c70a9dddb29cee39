#pragma once
#include <cstdint>
#include <optional>

#include "common/bytes.h"

namespace qel::sim {

/// One short command APDU as the card sees it (ISO 7816-3 cases 1 to 4).
struct CommandApdu {
    std::uint8_t cla = 0;
    std::uint8_t ins = 0;
    std::uint8_t p1 = 0;
    std::uint8_t p2 = 0;
    Bytes data;
    /// Expected length Ne (1 to 256; Le byte 00 means 256); absent when the command has no Le.
    std::optional<int> le;

    /// True when the class byte carries the command-chaining bit (more blocks follow).
    bool chained() const { return (cla & 0x10) != 0; }
};

/// Parses a short command APDU. Nothing when the bytes are not a well-formed short APDU (fewer than
/// 4 bytes, Lc disagreeing with the size, or the extended-length form, which this card refuses).
std::optional<CommandApdu> parseCommand(const Bytes& raw);

/// The card's answer: data, then the status word.
struct ResponseApdu {
    Bytes data;
    std::uint16_t sw = 0x9000;

    Bytes toBytes() const;
};

inline ResponseApdu statusOnly(std::uint16_t sw) { return ResponseApdu{{}, sw}; }

}  // namespace qel::sim
