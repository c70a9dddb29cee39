#pragma once
// The bounds of one update session. The service is the issuer's and its scripts run as they are, but
// a broken or hostile service must fail fast rather than hold a verified card in an endless relay.
#include <chrono>
#include <cstddef>

namespace qel::relay {

/// Largest answer body read from the update service; the transfer stops past it.
inline constexpr std::size_t kMaxAnswerBytes = 1024 * 1024;
/// Largest list of commands the service may send in one step.
inline constexpr std::size_t kMaxCommandsPerList = 256;
/// ISO 7816-3 command lengths: header, Lc, 255 data bytes and Le for a short command; header,
/// three-byte Lc, 65,535 data bytes and a two-byte Le for an extended one.
inline constexpr std::size_t kMaxShortCommandBytes = 261;
inline constexpr std::size_t kMaxExtendedCommandBytes = 65544;
/// Passes of the repeated step before the service must have ended the script.
inline constexpr int kMaxRounds = 1000;
/// The whole session, first request to end marker.
inline constexpr std::chrono::minutes kMaxSessionTime{10};

}  // namespace qel::relay
