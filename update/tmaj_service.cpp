#include "update/tmaj_service.h"

#include <thread>

#include "card/card_cache.h"
#include "card/smart_card.h"
#include "card/status_words.h"
#include "common/format.h"
#include "common/hex.h"
#include "common/logger.h"
#include "update/relay_limits.h"

namespace qel {

namespace {

// The prefix of every card number in the service's identifiers.
constexpr const char* kIdentifierPrefix = "8025000001";

/// Removes the token driver's cached files of the card; a failure is logged, the update stands.
void dropCardFileCache(const std::string& cardSerial) {
    try {
        cardcache::clearCard(cardSerial);
        logInfo("Cache de la carte " + cardSerial + " supprimé");
    } catch (const std::exception& e) {
        logError("Suppression du cache de la carte " + cardSerial + " impossible : " + e.what());
    }
}

// A command must at least carry CLA INS P1 P2.
constexpr std::size_t kMinimumCommandBytes = 4;

// The card's answers every command of a script goes on with: the service judges the rest.
bool relayedAsAnswer(std::uint16_t statusWord) {
    switch (statusWordMeaning(statusWord).status) {
        case CardStatus::success:
        case CardStatus::fileNotFound:
        case CardStatus::gsmFileIdNotFound:
            return true;
        default:
            return false;
    }
}

// The scripts' cards answer 61xx (fetched with class 00) or, for GSM commands, 9Fxx (class A0).
const GetResponseRule kGetResponse{0x00, true, TmajService::kMaxFollowUps};

ApduResult internalError(const char* message) {
    return ApduResult::failure(ApduResultCode::CODE_INTERNAL_ERROR, message);
}

}  // namespace

std::optional<std::string> UpdateCard::chipSerial() {
    transmit({0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, false);
    transmit({0x00, 0xA4, 0x00, 0x0C, 0x02, 0xD0, 0x03}, false);
    std::optional<Bytes> answer = transmit({0x00, 0xB0, 0x00, 0x00, 0x0C}, false);
    if (!answer) return std::nullopt;
    // Ten bytes of the file and the status word; the serial is the file's bytes 7 to 11.
    if (answer->size() < 12) return std::string();
    return toHex(answer->data() + 7, 5);
}

struct TmajService::Run {
    std::stop_token stop;
    Clock::time_point deadline;
    /// Set once the session must stop before its end marker.
    std::optional<ApduResult> ended;
};

std::string TmajService::cardIdentifier(const std::string& chipSerial, const std::string& tokenSerial) {
    return kIdentifierPrefix + chipSerial + ":" + kIdentifierPrefix + tokenSerial;
}

std::optional<Bytes> TmajService::decodeCommand(const std::string& text, const char** problem) {
    auto refuse = [&](const char* why) -> std::optional<Bytes> {
        if (problem) *problem = why;
        return std::nullopt;
    };
    // Checked on the text first so that a huge string is never decoded.
    if (text.size() > 2 * relay::kMaxExtendedCommandBytes) return refuse(tmaj_messages::commandTooLong);
    std::optional<Bytes> bytes = fromHex(text);
    if (!bytes || bytes->size() < kMinimumCommandBytes || text.find(' ') != std::string::npos)
        return refuse(tmaj_messages::invalidCommand);
    // Past a short command's length only the extended form (a zero byte after the header) is valid.
    if (bytes->size() > relay::kMaxShortCommandBytes && (*bytes)[4] != 0x00)
        return refuse(tmaj_messages::commandTooLong);
    if (problem) *problem = nullptr;
    return bytes;
}

const char* TmajService::commandProblem(const std::string& text) {
    const char* problem = nullptr;
    decodeCommand(text, &problem);
    return problem;
}

bool TmajService::keepGoing(Run& run) {
    if (run.ended) return false;
    if (run.stop.stop_requested()) {
        logWarning("Télémise à jour interrompue à la demande de l'utilisateur");
        run.ended = internalError(tmaj_messages::cancelled);
    } else if (now() >= run.deadline) {
        logError(format("Télémise à jour arrêtée : durée maximale de %d minutes dépassée",
                        static_cast<int>(relay::kMaxSessionTime.count())));
        run.ended = internalError(tmaj_messages::sessionTooLong);
    }
    return !run.ended;
}

std::optional<Bytes> TmajService::sendApdu(UpdateCard& card, const Bytes& apdu, bool flag) {
    logDebug("Commande envoyée à la carte: " + toHex(apdu));
    return relay(card, apdu, flag);
}

std::optional<Bytes> TmajService::relay(UpdateCard& card, const Bytes& apdu, bool flag) {
    if (apdu.size() < kMinimumCommandBytes) return std::nullopt;
    auto exchange = [&card](const Bytes& command, bool commandFlag) -> std::optional<CardResponse> {
        std::optional<Bytes> answer = card.transmit(command, commandFlag);
        if (!answer) return std::nullopt;
        return splitAnswer(std::move(*answer));
    };
    std::optional<CardResponse> first = exchange(apdu, flag);
    if (!first) return std::nullopt;
    std::optional<CardResponse> whole = fetchRemainingAnswer(
        [&](const Bytes& getResponse) {
            logDebug("Commande envoyée à la carte: " + toHex(getResponse));
            return exchange(getResponse, true);
        },
        std::move(*first), kGetResponse);
    if (!whole) return std::nullopt;
    if (announcesMoreData(whole->sw, kGetResponse)) {
        logError("La carte demande trop de GET RESPONSE successifs");
        return std::nullopt;
    }
    Bytes answer = std::move(whole->data);
    answer.push_back(static_cast<std::uint8_t>(whole->sw >> 8));
    answer.push_back(static_cast<std::uint8_t>(whole->sw & 0xFF));
    return answer;
}

ApduResult TmajService::decodeApduResponse(const std::optional<Bytes>& answer) {
    const std::string text = answer ? toHex(*answer) : std::string();
    logDebug("decodeApduResponse: reponse = " + text);
    if (!answer || answer->empty()) return internalError(tmaj_messages::transmissionFailed);
    if (answer->size() >= 2) {
        const auto statusWord = static_cast<std::uint16_t>((*answer)[answer->size() - 2] << 8 | answer->back());
        if (relayedAsAnswer(statusWord)) return {"false", ApduResultCode::CODE_RESPONSE_OK, text, false};
    }
    return internalError(tmaj_messages::answerNotUnderstood);
}

namespace {

// The commands' bytes as they stand, without the session's checks: a text that is not hexadecimal
// gives no bytes, and its command fails as a failed transmission.
std::vector<std::optional<Bytes>> plainBytes(const ApduList& list) {
    std::vector<std::optional<Bytes>> commands;
    commands.reserve(list.size());
    for (const ApduCommand& command : list) commands.push_back(command.apdu ? fromHex(*command.apdu) : std::nullopt);
    return commands;
}

}  // namespace

std::vector<ApduResult> TmajService::executeApduList(UpdateCard& card, const ApduList& list) {
    return executeList(card, list, plainBytes(list), nullptr);
}

std::vector<ApduResult> TmajService::executeList(UpdateCard& card, const ApduList& list, const CommandBytes& commands,
                                                 Run* run) {
    std::vector<ApduResult> results;
    results.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (run && !keepGoing(*run)) break;
        const std::string apdu = list[i].apdu.value_or("");
        logDebug("Commande envoyée à la carte: " + apdu);
        std::optional<Bytes> answer;
        if (commands[i]) answer = relay(card, *commands[i], list[i].apduRespType != "0");
        ApduResult result = decodeApduResponse(answer);
        result.commandVerb = apdu;
        results.push_back(std::move(result));
    }
    return results;
}

std::optional<ApduList> TmajService::processApduList(UpdateCard& card, ApduList list) {
    const CommandBytes commands = plainBytes(list);
    return processList(card, std::move(list), commands, nullptr);
}

std::optional<ApduList> TmajService::processList(UpdateCard& card, ApduList list, const CommandBytes& commands,
                                                 Run* run) {
    if (list.empty()) return std::nullopt;
    const std::vector<ApduResult> results = executeList(card, list, commands, run);
    // The i-th outcome is the i-th command's: two commands with the same text keep their own answers.
    for (std::size_t i = 0; i < results.size(); ++i)
        if (list[i].apdu) list[i].response = results[i].resultMessage;
    return list;
}

std::optional<ApduResult> TmajService::runList(UpdateCard& card, ApduList& list, Run& run) {
    if (list.size() > relay::kMaxCommandsPerList) {
        logError(format("Liste de %zu commandes reçue du service, au-delà de la limite de %zu", list.size(),
                        relay::kMaxCommandsPerList));
        return internalError(tmaj_messages::tooManyCommands);
    }
    CommandBytes commands;
    commands.reserve(list.size());
    for (const ApduCommand& command : list) {
        if (!command.apdu) {
            commands.emplace_back();
            continue;
        }
        const char* problem = nullptr;
        commands.push_back(decodeCommand(*command.apdu, &problem));
        if (problem) {
            logError(format("Commande APDU refusée (%zu caractères) : ", command.apdu->size()) +
                     command.apdu->substr(0, 64));
            return internalError(problem);
        }
    }
    // Every answer goes back to the service, failed transmissions included: the service, not the
    // client, judges whether the card can go on.
    std::optional<ApduList> answered = processList(card, std::move(list), commands, &run);
    if (run.ended) return run.ended;
    if (!answered) return internalError(tmaj_messages::nullResult);
    list = std::move(*answered);
    return std::nullopt;
}

ApduResult TmajService::performUpdate(UpdateCard& card, const std::function<void(int)>& progress,
                                      std::stop_token stop) {
    auto report = [&](int value) {
        if (progress) progress(value);
    };
    Run run{std::move(stop), now() + relay::kMaxSessionTime, std::nullopt};

    const std::optional<std::string> chip = card.chipSerial();
    if (!chip) {
        logError("Lecture du numéro de série de la puce impossible : la carte ne répond pas");
        return ApduResult::failure(ApduResultCode::CODE_CARD_MISSING, tmaj_messages::noChipSerial);
    }
    // A card that answers the read too short is named without its chip serial; the service decides.
    if (chip->empty()) logWarning("Numéro de série de la puce incomplet : identifiant de carte sans numéro de puce");
    const std::string cardId = cardIdentifier(*chip, card.tokenSerial());

    // One step: the list the service sent, relayed to the card; a failure outcome ends the session.
    auto step = [&](ApduList list) -> std::pair<ApduList, std::optional<ApduResult>> {
        if (run.ended) return {{}, run.ended};
        if (list.empty()) return {{}, internalError(tmaj_messages::nullResult)};
        std::optional<ApduResult> failure = runList(card, list, run);
        return {std::move(list), std::move(failure)};
    };
    // Nothing goes to the service once the session is to stop.
    auto get = [&](const std::string& path, const std::vector<std::string>& arguments) {
        return keepGoing(run) ? client_.getRequest(path, arguments, run.stop) : ApduList{};
    };
    auto post = [&](const std::string& path, const ApduList& list) {
        return keepGoing(run) ? client_.postRequest(path, list, cardId, run.stop) : ApduList{};
    };

    logDebug("Début de requestIASUpdateInit");
    auto [iasInit, f1] = step(get("/initIasMajBean", {cardId}));
    if (f1) return *f1;
    report(20);

    logDebug("Début de establishSecureMessaging");
    auto [secure, f2] = step(post("/EstablishSM", iasInit));
    if (f2) return *f2;
    report(40);

    const std::optional<std::string> lastAnswer = secure.back().response;
    logDebug("Début de updateIAS");
    if (!lastAnswer || lastAnswer->empty()) {
        logError("Pas de réponse à la dernière commande de la messagerie sécurisée");
        return internalError(tmaj_messages::noSecureMessagingAnswer);
    }
    ApduList iasList;
    if (lastAnswer->find("Erreur") == std::string::npos) iasList = get("/IASMAJ", {*lastAnswer, cardId});
    auto [ias, f3] = step(std::move(iasList));
    if (f3) return *f3;
    report(60);

    logDebug("Début de requestQELUpdateInit");
    auto [qelInit, f4] = step(get("/initQelMajBean", {cardId}));
    if (f4) return *f4;
    report(80);

    logDebug("Début de updateQELSequence1");
    auto [last, f5] = step(post("/QELMAJSequence1", qelInit));
    if (f5) return *f5;
    report(90);

    for (int round = 1;; ++round) {
        if (round > relay::kMaxRounds) {
            logError(format("Télémise à jour arrêtée : pas de fin de script après %d échanges", relay::kMaxRounds));
            return internalError(tmaj_messages::tooManyRounds);
        }
        logDebug("Début de updateQELSequence2");
        ApduList next = post("/QELMAJSequence2", last);
        if (run.ended) return *run.ended;
        if (next.empty()) return internalError(tmaj_messages::sequenceFailed);
        if (next.size() == 1 && next.front().apdu == std::string(kEndMarker)) break;
        if (std::optional<ApduResult> failure = runList(card, next, run)) return *failure;
        last = std::move(next);
    }

    // The token driver's cache is keyed by serial and would keep publishing the old files.
    if (!chip->empty()) dropCardFileCache(kIdentifierPrefix + *chip);
    report(100);
    if (finalPauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(finalPauseMs));
    return ApduResult::success();
}

}  // namespace qel
