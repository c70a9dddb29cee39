#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "update/apdu_command.h"
#include "update/tmaj_manager.h"

namespace qel {

class Pkcs11Card;

/// What the update session needs of the card.
class UpdateCard {
public:
    virtual ~UpdateCard() = default;
    /// One raw command through the issuer library's pass-through: data + SW1 SW2, or nothing when
    /// the transmission failed (card pulled, session gone).
    virtual std::optional<Bytes> transmit(const Bytes& apdu, bool flag) = 0;
    /// The ten hexadecimal characters of the chip serial, empty when the card did not give them.
    virtual std::string chipSerial() = 0;
    /// The token serial of the card object.
    virtual std::string tokenSerial() = 0;
};

/// The card object of the PKCS#11 binding as the session's card. The card must outlive it; the
/// binding's one-caller-at-a-time rule holds (the wizard shows no button while the session runs).
class Pkcs11UpdateCard final : public UpdateCard {
public:
    explicit Pkcs11UpdateCard(Pkcs11Card& card) : card_(card) {}
    std::optional<Bytes> transmit(const Bytes& apdu, bool flag) override;
    std::string chipSerial() override;
    std::string tokenSerial() override;

private:
    Pkcs11Card& card_;
};

/// User-facing messages of the session outcomes.
namespace tmaj_messages {
inline constexpr const char* transmissionFailed = "Erreur lors de l'exécution de la commande APDU !";
inline constexpr const char* undecodable = "Erreur de décodage de la réponse à la commande APDU !";
inline constexpr const char* nullResult = "Le traitement des APDU a envoyé un résultat nul !";
inline constexpr const char* sequenceFailed =
    "Erreur de traitement, veuillez recommencer... (ou contacter le support de l'IRV si le problème "
    "persiste)";
inline constexpr const char* noChipSerial = "Le numéro de série de la carte n'a pas pu être lu.";
inline constexpr const char* invalidCommand = "Le service de mise à jour a envoyé une commande invalide.";
inline constexpr const char* cardGone = "La carte ne répond plus : elle a peut-être été retirée du lecteur.";
inline constexpr const char* noSecureMessagingAnswer = "La mise en place de la messagerie sécurisée n'a pas abouti.";
}  // namespace tmaj_messages

/// One complete update of the card's contents: relays the service's command lists to the card and
/// the card's answers back, five steps once, then the repeated step until the service's end marker.
/// The client never judges the scripts; it stops on the first failed step.
///
/// `performUpdate` blocks its caller for the whole session and must not run on the main thread.
class TmajService {
public:
    explicit TmajService(TmajClient& client) : client_(client) {}

    /// Runs the session on `card`; after a success the token driver's file cache of the card is
    /// removed. `progress` (may be empty) is called from the session's thread with
    /// 20, 40, 60, 80, 90 and 100; the caller hands it to the main queue. Returns the success outcome
    /// or the first failure; never throws.
    ApduResult performUpdate(UpdateCard& card, const std::function<void(int)>& progress);

    /// "8025000001" + chip serial + ":" + "8025000001" + token serial.
    static std::string cardIdentifier(const std::string& chipSerial, const std::string& tokenSerial);

    /// One command, with the GET RESPONSE that 61xx and 9Fxx ask for. The answer in upper-case
    /// hexadecimal, or empty when the transmission failed or the text is not a command.
    std::string sendApdu(UpdateCard& card, const std::string& apdu, bool flag);

    /// Success for an answer whose status word is 9000, 6A82 or 9404 (message = the answer);
    /// otherwise the failure with the transmission or decoding message.
    static ApduResult decodeApduResponse(const std::string& answer);

    /// Runs every command in order (a failure does not stop the list); one outcome per command.
    std::vector<ApduResult> executeApduList(UpdateCard& card, const ApduList& list);

    /// Runs the list and writes each outcome into the commands with the same APDU text. Nothing for an
    /// empty list.
    std::optional<ApduList> processApduList(UpdateCard& card, ApduList list);

    /// The pause between the end marker and the success outcome (the wizard shows the full bar).
    int finalPauseMs = 1000;
    /// Successive GET RESPONSE follow-ups accepted for one command; a card asking for more is faulty.
    static constexpr int kMaxFollowUps = 64;

private:
    std::string sendApdu(UpdateCard& card, const std::string& apdu, bool flag, int depth);
    /// A failure outcome when the list cannot be relayed (invalid command, card not answering).
    std::optional<ApduResult> runList(UpdateCard& card, ApduList& list);

    TmajClient& client_;
};

}  // namespace qel
