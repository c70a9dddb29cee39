#include "update/tmaj_service.h"

#include <thread>

#include "card/card_cache.h"
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

std::string statusWord(const std::string& answer) {
    return answer.size() >= 4 ? answer.substr(answer.size() - 4) : std::string();
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

ApduResult internalError(const char* message) {
    return ApduResult::failure(ApduResultCode::CODE_INTERNAL_ERROR, message);
}

}  // namespace

std::optional<std::string> UpdateCard::chipSerial() {
    transmit(*fromHex("00A4000C023F00"), false);
    transmit(*fromHex("00A4000C02D003"), false);
    std::optional<Bytes> answer = transmit(*fromHex("00B000000C"), false);
    if (!answer) return std::nullopt;
    const std::string text = toHex(*answer);
    if (text.size() < 24) return std::string();
    return text.substr(14, 10);
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

const char* TmajService::commandProblem(const std::string& text) {
    // Checked on the text first so that a huge string is never decoded.
    if (text.size() > 2 * relay::kMaxExtendedCommandBytes) return tmaj_messages::commandTooLong;
    std::optional<Bytes> bytes = fromHex(text);
    if (!bytes || bytes->size() < kMinimumCommandBytes || text.find(' ') != std::string::npos)
        return tmaj_messages::invalidCommand;
    // Past a short command's length only the extended form (a zero byte after the header) is valid.
    if (bytes->size() > relay::kMaxShortCommandBytes && (*bytes)[4] != 0x00) return tmaj_messages::commandTooLong;
    return nullptr;
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

std::string TmajService::sendApdu(UpdateCard& card, const std::string& apdu, bool flag) {
    return sendApdu(card, apdu, flag, 0);
}

std::string TmajService::sendApdu(UpdateCard& card, const std::string& apdu, bool flag, int depth) {
    logDebug("Commande envoyée à la carte: " + apdu);
    std::optional<Bytes> command = fromHex(apdu);
    if (!command || command->size() < kMinimumCommandBytes) return {};
    std::optional<Bytes> answer = card.transmit(*command, flag);
    if (!answer || answer->size() < 2) return {};
    const std::string text = toHex(*answer);
    // The status word, not the data, says whether more answer bytes wait: data may well start with
    // 61 (an application template) while the command succeeded.
    const std::string sw = statusWord(text);
    const bool more = sw.rfind("61", 0) == 0 || sw.rfind("9F", 0) == 0;
    if (!more) return text;
    if (depth >= kMaxFollowUps) {
        logError("La carte demande trop de GET RESPONSE successifs");
        return {};
    }
    const std::string getResponse = (sw[0] == '6' ? "00C00000" : "A0C00000") + sw.substr(2);
    const std::string rest = sendApdu(card, getResponse, true, depth + 1);
    if (rest.empty()) return {};
    // Data the card gave with the 61xx answer comes before what GET RESPONSE fetched.
    return text.substr(0, text.size() - 4) + rest;
}

ApduResult TmajService::decodeApduResponse(const std::string& answer) {
    logDebug("decodeApduResponse: reponse = " + answer);
    if (answer.empty()) return internalError(tmaj_messages::transmissionFailed);
    const std::string text = upper(answer);
    const std::string sw = statusWord(text);
    if (sw == "9000" || sw == "6A82" || sw == "9404") return {"false", ApduResultCode::CODE_RESPONSE_OK, text, false};
    return internalError(tmaj_messages::undecodable);
}

std::vector<ApduResult> TmajService::executeApduList(UpdateCard& card, const ApduList& list) {
    return executeList(card, list, nullptr);
}

std::vector<ApduResult> TmajService::executeList(UpdateCard& card, const ApduList& list, Run* run) {
    std::vector<ApduResult> results;
    results.reserve(list.size());
    for (const ApduCommand& command : list) {
        if (run && !keepGoing(*run)) break;
        const std::string apdu = command.apdu.value_or("");
        ApduResult result = decodeApduResponse(sendApdu(card, apdu, command.apduRespType != "0"));
        result.commandVerb = apdu;
        results.push_back(std::move(result));
    }
    return results;
}

std::optional<ApduList> TmajService::processApduList(UpdateCard& card, ApduList list) {
    return processList(card, std::move(list), nullptr);
}

std::optional<ApduList> TmajService::processList(UpdateCard& card, ApduList list, Run* run) {
    if (list.empty()) return std::nullopt;
    const std::vector<ApduResult> results = executeList(card, list, run);
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
    for (const ApduCommand& command : list) {
        if (!command.apdu) continue;
        if (const char* problem = commandProblem(*command.apdu)) {
            logError(format("Commande APDU refusée (%zu caractères) : ", command.apdu->size()) +
                     command.apdu->substr(0, 64));
            return internalError(problem);
        }
    }
    // Every answer goes back to the service, failed transmissions included: the service, not the
    // client, judges whether the card can go on.
    std::optional<ApduList> answered = processList(card, std::move(list), &run);
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
