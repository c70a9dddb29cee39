#pragma once
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "sim/card/profile.h"

namespace qel::sim {

/// A card the update service knows: its profile and, when `dir` is set, the profile folder whose
/// saved state (written by the virtual card) tells whether the renewal is on the card.
struct SimCard {
    Profile profile;
    std::string dir;
};

/// The update service's side of the session: which card needs an update, the command lists of each
/// step, and the checks of the card's answers. A renewal rewrites the holder's name record (its last
/// letter changes, so the record keeps its size) and reads it back; then, in the repeated step, it
/// reads the key and certificate directories, has the card generate a new authentication key pair,
/// writes the certificate that the card's authority issues for it and the new key identifier into
/// both directories, and reads everything back before the end marker.
///
/// Every reply is either a JSON list of commands (status 200) or a refusal (status 4xx with a text).
/// Thread-safe.
class TmajScripts {
public:
    /// `authorityDir` holds the test chain (certificates and keys) that issued the cards'
    /// certificates; a card can only be renewed with it and with its profile folder.
    explicit TmajScripts(std::vector<SimCard> cards, std::string authorityDir = {});

    /// Makes one more card known (a test's private profile copy).
    void addCard(SimCard card);

    enum class Availability { unknownCard, upToDate, updateAvailable };
    /// By token serial (the card number, possibly followed by its check character).
    Availability check(const std::string& tokenSerial);

    struct Reply {
        int status = 200;
        std::string body;  ///< JSON list, or the refusal's text
    };
    Reply initIasMajBean(const std::string& cardIdentifier);
    Reply establishSM(const std::string& postBody);
    Reply iasMaj(const std::string& answer, const std::string& cardIdentifier);
    Reply initQelMajBean(const std::string& cardIdentifier);
    Reply sequence1(const std::string& postBody);
    Reply sequence2(const std::string& postBody);

    /// The token serial part of a session identifier naming a known card, or nothing.
    std::optional<std::string> tokenSerialOf(const std::string& cardIdentifier) const;

    /// Sessions that reached the end marker.
    int completedSessions() const;

    /// The name record before and after the renewal.
    static Bytes currentNameRecord(const Profile& profile);
    static Bytes renewedNameRecord(const Profile& profile);

private:
    struct Progress {
        int stage = 0;               ///< last step answered, 1 to 13
        std::size_t listLength = 0;  ///< commands of the last list sent
        Bytes privateKeys, certificates;
        std::size_t privateKeysIdAt = 0, certificatesIdAt = 0;  ///< offsets of the old key identifier
        Bytes certificate, keyId;                               ///< the renewal's
    };
    const SimCard* card(const std::string& cardIdentifier) const;
    Reply refuse(const std::string& why) const { return {422, why}; }
    Reply advance(const std::string& cardIdentifier, int from, int to, const std::string& list);
    /// The next list of the repeated step, from the session's stage and the card's answers; mutex_ held.
    Reply renewalStep(const SimCard& card, Progress& progress, const std::vector<std::string>& answers);
    /// Whether the card's saved state holds the renewed name record and directories that no longer
    /// name the authentication key the profile issued.
    bool renewedOnCard(const SimCard& card) const;

    std::list<SimCard> cards_;  ///< stable addresses: lookups hand out pointers
    std::string authorityDir_;
    mutable std::mutex cardsMutex_;
    mutable std::mutex mutex_;
    std::map<std::string, Progress> sessions_;
    int completed_ = 0;
};

}  // namespace qel::sim
