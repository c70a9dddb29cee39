#include "update/tmaj_service.h"

#include <chrono>
#include <thread>

#include "card/card_cache.h"
#include "common/hex.h"
#include "common/logger.h"
#include "pkcs11/pkcs11_card.h"

namespace qel {

namespace {

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

bool validCommandText(const std::string& text) {
    std::optional<Bytes> bytes = fromHex(text);
    return bytes && bytes->size() >= kMinimumCommandBytes && text.find(' ') == std::string::npos;
}

std::string statusWord(const std::string& answer) {
    return answer.size() >= 4 ? answer.substr(answer.size() - 4) : std::string();
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::optional<Bytes> Pkcs11UpdateCard::transmit(const Bytes& apdu, bool flag) { return card_.transmit(apdu, flag); }

std::string Pkcs11UpdateCard::chipSerial() { return card_.readChipSerial().second; }

std::string Pkcs11UpdateCard::tokenSerial() { return card_.serial; }

std::string TmajService::cardIdentifier(const std::string& chipSerial, const std::string& tokenSerial) {
    return kCardFullNumberPrefix + chipSerial + ":" + kCardFullNumberPrefix + tokenSerial;
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
    if (answer.empty())
        return ApduResult::failure(ApduResultCode::CODE_INTERNAL_ERROR, tmaj_messages::transmissionFailed);
    const std::string text = upper(answer);
    const std::string sw = statusWord(text);
    if (sw == "9000" || sw == "6A82" || sw == "9404") return {"false", ApduResultCode::CODE_RESPONSE_OK, text, false};
    return ApduResult::failure(ApduResultCode::CODE_INTERNAL_ERROR, tmaj_messages::undecodable);
}

std::vector<ApduResult> TmajService::executeApduList(UpdateCard& card, const ApduList& list) {
    std::vector<ApduResult> results;
    results.reserve(list.size());
    for (const ApduCommand& command : list) {
        const std::string apdu = command.apdu.value_or("");
        ApduResult result = decodeApduResponse(sendApdu(card, apdu, command.apduRespType != "0"));
        result.commandVerb = apdu;
        results.push_back(std::move(result));
    }
    return results;
}

std::optional<ApduList> TmajService::processApduList(UpdateCard& card, ApduList list) {
    if (list.empty()) return std::nullopt;
    const std::vector<ApduResult> results = executeApduList(card, list);
    for (const ApduResult& result : results)
        for (ApduCommand& command : list)
            if (command.apdu && *command.apdu == result.commandVerb) command.response = result.resultMessage;
    return list;
}

std::optional<ApduResult> TmajService::runList(UpdateCard& card, ApduList& list) {
    bool anyCommand = false;
    for (const ApduCommand& command : list) {
        if (!command.apdu) continue;
        anyCommand = true;
        if (!validCommandText(*command.apdu)) {
            logError("Commande APDU invalide reçue du service: " + command.apdu->substr(0, 64));
            return ApduResult::failure(ApduResultCode::CODE_INTERNAL_ERROR, tmaj_messages::invalidCommand);
        }
    }
    std::optional<ApduList> answered = processApduList(card, std::move(list));
    if (!answered) return ApduResult::failure(ApduResultCode::CODE_INTERNAL_ERROR, tmaj_messages::nullResult);
    list = std::move(*answered);
    // Every command without any answer: the card is gone, and the service would only be fed errors.
    bool anyAnswer = false;
    for (const ApduCommand& command : list)
        if (command.apdu && command.response != tmaj_messages::transmissionFailed) anyAnswer = true;
    if (anyCommand && !anyAnswer) {
        logError("La carte ne répond plus pendant la télémise à jour");
        return ApduResult::failure(ApduResultCode::CODE_CARD_MISSING, tmaj_messages::cardGone);
    }
    return std::nullopt;
}

ApduResult TmajService::performUpdate(UpdateCard& card, const std::function<void(int)>& progress) {
    auto report = [&](int value) {
        if (progress) progress(value);
    };
    const std::string chip = card.chipSerial();
    if (chip.empty()) {
        logError("Lecture du numéro de série de la puce impossible");
        return ApduResult::failure(ApduResultCode::CODE_CARD_MISSING, tmaj_messages::noChipSerial);
    }
    const std::string cardId = cardIdentifier(chip, card.tokenSerial());

    // One step: the list the service sent, relayed to the card; a failure outcome ends the session.
    auto step = [&](ApduList list) -> std::pair<ApduList, std::optional<ApduResult>> {
        if (list.empty())
            return {{}, ApduResult::failure(ApduResultCode::CODE_INTERNAL_ERROR, tmaj_messages::nullResult)};
        std::optional<ApduResult> failure = runList(card, list);
        return {std::move(list), std::move(failure)};
    };

    logDebug("Début de requestIASUpdateInit");
    auto [iasInit, f1] = step(client_.getRequest("/initIasMajBean", {cardId}));
    if (f1) return *f1;
    report(20);

    logDebug("Début de establishSecureMessaging");
    auto [secure, f2] = step(client_.postRequest("/EstablishSM", iasInit, cardId));
    if (f2) return *f2;
    report(40);

    const std::optional<std::string> lastAnswer = secure.back().response;
    logDebug("Début de updateIAS");
    if (!lastAnswer || lastAnswer->empty()) {
        logError("Pas de réponse à la dernière commande de la messagerie sécurisée");
        return ApduResult::failure(ApduResultCode::CODE_INTERNAL_ERROR, tmaj_messages::noSecureMessagingAnswer);
    }
    ApduList iasList;
    if (lastAnswer->find("Erreur") == std::string::npos) iasList = client_.getRequest("/IASMAJ", {*lastAnswer, cardId});
    auto [ias, f3] = step(std::move(iasList));
    if (f3) return *f3;
    report(60);

    logDebug("Début de requestQELUpdateInit");
    auto [qelInit, f4] = step(client_.getRequest("/initQelMajBean", {cardId}));
    if (f4) return *f4;
    report(80);

    logDebug("Début de updateQELSequence1");
    auto [last, f5] = step(client_.postRequest("/QELMAJSequence1", qelInit, cardId));
    if (f5) return *f5;
    report(90);

    for (;;) {
        logDebug("Début de updateQELSequence2");
        ApduList next = client_.postRequest("/QELMAJSequence2", last, cardId);
        if (next.empty())
            return ApduResult::failure(ApduResultCode::CODE_INTERNAL_ERROR, tmaj_messages::sequenceFailed);
        if (next.size() == 1 && next.front().apdu == std::string(kEndMarker)) break;
        if (std::optional<ApduResult> failure = runList(card, next)) return *failure;
        last = std::move(next);
    }

    // The token driver's cache is keyed by serial and would keep publishing the old files.
    dropCardFileCache(kCardFullNumberPrefix + chip);
    report(100);
    if (finalPauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(finalPauseMs));
    return ApduResult::success();
}

}  // namespace qel
