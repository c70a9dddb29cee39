#pragma once
#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "update/apdu_command.h"
#include "update/tmaj_manager.h"
#include "update/update_card.h"

namespace qel {

/// User-facing messages of the session outcomes.
namespace tmaj_messages {
inline constexpr const char* transmissionFailed = "Erreur lors de l'exécution de la commande APDU !";
inline constexpr const char* answerNotUnderstood = "Erreur de décodage de la réponse à la commande APDU !";
inline constexpr const char* nullResult = "Le traitement des APDU a envoyé un résultat nul !";
inline constexpr const char* sequenceFailed =
    "Erreur de traitement, veuillez recommencer... (ou contacter le support de l'IRV si le problème "
    "persiste)";
inline constexpr const char* noChipSerial = "Le numéro de série de la carte n'a pas pu être lu.";
inline constexpr const char* invalidCommand = "Le service de mise à jour a envoyé une commande invalide.";
inline constexpr const char* noSecureMessagingAnswer = "La mise en place de la messagerie sécurisée n'a pas abouti.";
inline constexpr const char* tooManyCommands = "Le service de mise à jour a envoyé une liste de plus de 256 commandes.";
inline constexpr const char* commandTooLong =
    "Le service de mise à jour a envoyé une commande plus longue que ce que la norme ISO 7816 permet.";
inline constexpr const char* tooManyRounds = "Le service de mise à jour n'a pas terminé la session en 1000 échanges.";
inline constexpr const char* sessionTooLong = "La télémise à jour a dépassé sa durée maximale de 10 minutes.";
inline constexpr const char* cancelled = "Télémise à jour interrompue par l'utilisateur.";
}  // namespace tmaj_messages

/// One complete update of the card's contents: relays the service's command lists to the card and
/// the card's answers back, five steps once, then the repeated step until the service's end marker.
/// The client never judges the scripts; it stops on the first failed step, and on the limits of
/// relay_limits.h (list length, command length, rounds, session time), each with its own message.
///
/// `performUpdate` blocks its caller for the whole session and must not run on the main thread.
class TmajService {
public:
    using Clock = std::chrono::steady_clock;

    explicit TmajService(TmajClient& client) : client_(client) {}

    /// Runs the session on `card`; after a success the token driver's file cache of the card is
    /// removed. `progress` (may be empty) is called from the session's thread with
    /// 20, 40, 60, 80, 90 and 100; the caller hands it to the main queue. A stop request is honoured
    /// between two commands and before each request to the service: the session then ends with the
    /// `cancelled` message and nothing more reaches the card or the service (the protocol has no
    /// message to abandon a session; the service drops it with its cookie). Returns the success
    /// outcome or the first failure; never throws.
    ApduResult performUpdate(UpdateCard& card, const std::function<void(int)>& progress, std::stop_token stop = {});

    /// "8025000001" + chip serial + ":" + "8025000001" + token serial.
    static std::string cardIdentifier(const std::string& chipSerial, const std::string& tokenSerial);

    /// One command, with the GET RESPONSE that 61xx and 9Fxx ask for (the card core's exchange). The
    /// whole answer, status word last; nothing when the transmission failed, the card asked for more
    /// than kMaxFollowUps GET RESPONSE, or the bytes are shorter than a command header.
    std::optional<Bytes> sendApdu(UpdateCard& card, const Bytes& apdu, bool flag);

    /// Success for an answer whose status word is 9000, 6A82 or 9404 (message = the answer in
    /// upper-case hexadecimal, as the service reads it); otherwise the failure with the transmission
    /// or decoding message.
    static ApduResult decodeApduResponse(const std::optional<Bytes>& answer);

    /// Runs every command in order (a failure does not stop the list); one outcome per command.
    std::vector<ApduResult> executeApduList(UpdateCard& card, const ApduList& list);

    /// Runs the list and writes each outcome into the command at the same position; a command
    /// without `apdu` keeps the response the service sent. Nothing for an empty list.
    std::optional<ApduList> processApduList(UpdateCard& card, ApduList list);

    /// Why a command text from the service cannot go to the card: `invalidCommand` (not hexadecimal,
    /// shorter than a header), `commandTooLong` (past ISO 7816 lengths), or nullptr when it can.
    static const char* commandProblem(const std::string& text);

    /// The bytes of a command text from the service; nothing, with `problem` set, when it cannot go
    /// to the card (see commandProblem). Hexadecimal is decoded here, once per command.
    static std::optional<Bytes> decodeCommand(const std::string& text, const char** problem = nullptr);

    /// The pause between the end marker and the success outcome (the wizard shows the full bar).
    int finalPauseMs = 1000;
    /// Successive GET RESPONSE follow-ups accepted for one command; a card asking for more is faulty.
    static constexpr int kMaxFollowUps = 64;
    /// The session's clock for its time limit.
    std::function<Clock::time_point()> now = [] { return Clock::now(); };

private:
    struct Run;
    /// Each command of a list as bytes, at the same position; nothing for a command without bytes.
    using CommandBytes = std::vector<std::optional<Bytes>>;
    /// sendApdu without logging the command itself (its caller did).
    std::optional<Bytes> relay(UpdateCard& card, const Bytes& apdu, bool flag);
    std::vector<ApduResult> executeList(UpdateCard& card, const ApduList& list, const CommandBytes& commands, Run* run);
    std::optional<ApduList> processList(UpdateCard& card, ApduList list, const CommandBytes& commands, Run* run);
    /// False, with the run's outcome set, once the session is to stop (stop request, time limit).
    bool keepGoing(Run& run);
    /// A failure outcome when the list cannot be relayed (past a limit, invalid command, stopped).
    std::optional<ApduResult> runList(UpdateCard& card, ApduList& list, Run& run);

    TmajClient& client_;
};

}  // namespace qel
