#pragma once
#include <cstdint>

namespace qel {

/// The ISO 7816-4 status words the card's callers act on.
namespace sw {
inline constexpr std::uint16_t success = 0x9000;
inline constexpr std::uint16_t memoryFailure = 0x6581;
inline constexpr std::uint16_t wrongLength = 0x6700;
inline constexpr std::uint16_t securityStatusNotSatisfied = 0x6982;
inline constexpr std::uint16_t authenticationBlocked = 0x6983;
inline constexpr std::uint16_t conditionsNotSatisfied = 0x6985;
inline constexpr std::uint16_t wrongData = 0x6A80;
inline constexpr std::uint16_t referenceNotFound = 0x6A88;
}  // namespace sw

/// What a status word means to the card's callers.
enum class CardStatus {
    success,
    triesLeft,                   ///< 63Cx: verification failed, x tries left
    blocked,                     ///< 6983: the PIN (or the key behind it) is blocked
    securityStatusNotSatisfied,  ///< 6982: a PIN must be verified first
    wrongLength,
    wrongData,
    conditionsNotSatisfied,
    referenceNotFound,
    memoryFailure,
    other,  ///< any status word the table does not name
};

struct StatusWordMeaning {
    CardStatus status = CardStatus::other;
    /// For CardStatus::triesLeft: the tries the card still allows (0 to 15); −1 otherwise.
    int triesLeft = -1;
};

/// The meaning of a status word. 63Cx, 6983 and 6982 are told apart before the table is looked up.
/// 61xx and 6Cxx never reach here: the transport answers them itself.
StatusWordMeaning statusWordMeaning(std::uint16_t statusWord);

}  // namespace qel
