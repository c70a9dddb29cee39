#pragma once
#include <p11-kit/pkcs11.h>

#include <chrono>
#include <string>

#include "issuerlib/holder_infos.h"

namespace qel {

/// What the token's flags say of the card's codes.
struct CardLockState {
    /// The PIN, or the PUK too, is blocked: only the unlock is left.
    bool blocked = false;
    /// The PUK is blocked as well: nothing can unblock the card any more.
    bool definitivelyBlocked = false;
    /// The next wrong PIN blocks the card.
    bool pinFinalTry = false;
    /// A wrong PIN was presented since the last right one.
    bool pinCountLow = false;
    /// The next wrong PUK blocks the card for good.
    bool pukFinalTry = false;
};

/// The lock state from `CK_TOKEN_INFO.flags`.
CardLockState cardLockState(CK_FLAGS tokenFlags);

/// The holder summary the main window shows above every view.
struct HolderSummary {
    /// Family name and usual first name.
    std::string name;
    /// The profession's label, else the métier's.
    std::string job;
    std::string identifier;
    std::string cardNumber;
    std::string validFrom;
    std::string validUntil;
    /// The expiry is later than now.
    bool valid = false;
    /// "Expire le <date>" for a valid card, else "Carte expirée".
    std::string expiryText;
    bool isTestCard = false;
    /// The key of the card picture and of the job colour (`professionKey`).
    std::string professionKey;
};

/// The summary of a holder's data at `now`.
HolderSummary holderSummary(const HolderInfos& holder, std::chrono::system_clock::time_point now);

}  // namespace qel
