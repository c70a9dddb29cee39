#pragma once
#include <functional>
#include <string>

#include "sim/card/apdu_command.h"
#include "sim/card/profile.h"

namespace qel::sim {

/// The contactless face of a QEL4: a DESFire chip with one application, "IRV" (application
/// identifier 56 52 49), reached through ISO 7816-4 wrapped native commands (CLA 90, answers
/// ending 91 xx) and a few plain ISO commands (CLA 00).
///
/// Native commands: 5A select application (000000 = card level), 1A ISO authentication with the
/// card master key (DES with an 8-byte key, 3DES with a 16-byte one), AA AES authentication with
/// the application key (key 0 of "IRV"), AF the second authentication frame, DA delete
/// application (after authentication with the card master key, or with the application's own
/// key while it is selected), 6A list applications.
/// Authentication, both kinds: the card sends E(RndB) (CBC, IV zero); the host sends
/// E(RndA || RndB rotated left one byte) chained on the card's block; the card answers
/// E(RndA rotated left one byte) chained on the host's last block. RndA / RndB have the block size.
/// ISO commands: SELECT by name D2 76 00 00 85 (the DESFire file, card level), READ BINARY of the
/// application's short files 1 (80 n identifier), 2 (81 05 card number in BCD) and
/// 3 (82 0A, BCD of 0 802500000 and the card number).
class DesfireCard {
public:
    DesfireCard(const Profile& profile, CardState& state, std::function<void()> persist);

    void reset();
    ResponseApdu process(const CommandApdu& command);
    /// "" at card level, else the selected application identifier in hexadecimal.
    std::string currentPath() const;

    static const Bytes& applicationId();

private:
    ResponseApdu native(const CommandApdu& c);
    ResponseApdu iso(const CommandApdu& c);
    ResponseApdu beginAuthentication(bool aes, const Bytes& data);
    ResponseApdu finishAuthentication(const Bytes& data);
    ResponseApdu deleteApplication(const Bytes& aid);
    Bytes identityFile(std::uint8_t sfi) const;

    const Profile& profile_;
    CardState& state_;
    std::function<void()> persist_;

    bool appSelected_ = false;
    bool authPending_ = false;
    bool authAes_ = false;
    Bytes rndB_;
    Bytes chainIv_;
    bool authenticated_ = false;
    bool authenticatedAtApp_ = false;
};

}  // namespace qel::sim
