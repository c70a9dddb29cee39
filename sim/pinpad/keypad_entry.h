#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "common/bytes.h"
#include "common/secret_bytes.h"

namespace qel::sim {

/// The keypad reader's driver asks the card daemon, over the reader's own link, what the holder types
/// next: a one-byte message the virtual reader driver never sends. The answer is a text line.
inline constexpr std::uint8_t kKeypadRequest = 0x10;

/// One entry on the keypad: digit groups (the current PIN, the new one, its confirmation), the
/// Cancel key, or nobody typing until the reader gives up. `delay` is how long the typing takes.
struct KeypadEntry {
    enum class Kind { none, digits, cancel, timeout };
    Kind kind = Kind::none;
    std::vector<SecretBytes> groups;
    std::chrono::milliseconds delay{0};
};

/// Reads an entry as `qelcard-ctl pinpad` takes it: "cancel", "timeout", or digit groups separated
/// by commas (at most three, each 1 to 16 digits), with the typing time in milliseconds (0 to
/// 600000). The error says what is wrong.
std::variant<KeypadEntry, std::string> parseKeypadEntry(const std::string& word, const std::string& delayMs);

/// The daemon's answer to the driver ("none", "cancel MS", "timeout MS", "digits G[,G...] MS") and
/// its reading; anything malformed reads as nobody typing.
SecretBytes encodeKeypadAnswer(const KeypadEntry& entry);
KeypadEntry parseKeypadAnswer(const Bytes& answer);

/// What the entry is, for logs and status: never its digits.
std::string describeKeypadEntry(const KeypadEntry& entry);

}  // namespace qel::sim
