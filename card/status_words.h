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
inline constexpr std::uint16_t fileNotFound = 0x6A82;
inline constexpr std::uint16_t referenceNotFound = 0x6A88;
/// GSM cards (class A0): no file with that identifier.
inline constexpr std::uint16_t gsmFileIdNotFound = 0x9404;
/// The answers of a DESFire application's native commands.
inline constexpr std::uint16_t desfireSuccess = 0x9100;
inline constexpr std::uint16_t desfireAuthenticationError = 0x91AE;
inline constexpr std::uint16_t desfireAdditionalFrame = 0x91AF;
/// A keypad reader's own answers, for an entry that never reached the card.
inline constexpr std::uint16_t pinPadTimeout = 0x6400;
inline constexpr std::uint16_t pinPadCancelled = 0x6401;
inline constexpr std::uint16_t pinPadEntriesDiffer = 0x6402;
inline constexpr std::uint16_t pinPadWrongLength = 0x6403;
}  // namespace sw

/// SW1 of the status words that announce xx more answer bytes (SW2) for a GET RESPONSE: 61xx, and
/// 9Fxx from GSM cards. 6Cxx asks for the same command again with Le xx.
inline constexpr std::uint8_t kMoreDataSw1 = 0x61;
inline constexpr std::uint8_t kGsmMoreDataSw1 = 0x9F;
inline constexpr std::uint8_t kWrongLeSw1 = 0x6C;

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
    fileNotFound,       ///< 6A82
    gsmFileIdNotFound,  ///< 9404
    memoryFailure,
    other,  ///< any status word the table does not name
};

struct StatusWordMeaning {
    CardStatus status = CardStatus::other;
    /// For CardStatus::triesLeft: the tries the card still allows (0 to 15); −1 otherwise.
    int triesLeft = -1;
};

/// The meaning of a status word. 63Cx, 6983 and 6982 are told apart before the table is looked up.
/// 61xx, 9Fxx and 6Cxx never reach here: the exchange answers them itself.
StatusWordMeaning statusWordMeaning(std::uint16_t statusWord);

}  // namespace qel
