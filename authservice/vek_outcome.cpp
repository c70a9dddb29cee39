#include "authservice/vek_outcome.h"

#include <nlohmann/json.hpp>

#include "authservice/models/flow_models.h"
#include "common/format.h"
#include "common/logger.h"

namespace qel {

using vek::RespType;

namespace {

// The service's business error for a session that expired while the holder was answering.
constexpr const char* kSessionTimeout = "BUSI-AUTHENT-8";

std::optional<vek::ErrorDto> decodeErrorBody(const std::optional<std::string>& body) {
    if (!body || body->empty()) return std::nullopt;
    try {
        const nlohmann::json json = nlohmann::json::parse(*body);
        if (!json.is_object()) return std::nullopt;
        return json.get<vek::ErrorDto>();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

RespType toRespType(const vek::ErrorResponse& error, bool disconnecting) {
    if (const auto dto = decodeErrorBody(error.body())) {
        logError(format("Authentification CIBA, erreur : %s (%s)", dto->message.value_or("Unknown message").c_str(),
                        dto->code.value_or("Unknown code").c_str()));
        if (dto->code == kSessionTimeout && !disconnecting) return RespType::TIME_OUT;
        return disconnecting ? RespType::DEAUTH_FAILED : RespType::FAILED;
    }
    // No identity for the card (none selected, no token, not verified, no authentication key): the
    // request never left, and the holder is told it is the card.
    if (const auto* transport = std::get_if<vek::TransportError>(&error.error());
        transport && transport->kind == http::Failure::clientIdentity) {
        logError(format("Authentification CIBA, erreur : %s", error.description().c_str()));
        return RespType::CARD_ACCESS;
    }
    return failedStep(error.description(), disconnecting);
}

RespType failedStep(const std::string& description, bool disconnecting) {
    logError(format("Authentification CIBA, erreur : %s", description.c_str()));
    return disconnecting ? RespType::DEAUTH_FAILED : RespType::FAILED;
}

VekAlertTexts alertTexts(std::optional<RespType> type) {
    if (!type) return {};
    switch (*type) {
        case RespType::NOTIFY:
            return {std::nullopt, "La demande d'authentification a été refusée et signalée"};
        case RespType::CANCEL:
            return {std::nullopt, "La demande d'authentification a été annulée"};
        case RespType::BAD_AUTH:
            return {std::nullopt, "Le mot de passe saisi n'est pas valide"};
        case RespType::BAD_CODE:
            // Nothing was answered: the same request comes back at the next press of the button.
            return {std::nullopt,
                    "Le code sélectionné n'est pas valide.\nLa demande d'authentification reste en attente : "
                    "appuyez de nouveau sur AUTHENTIFICATION pour choisir un autre code"};
        case RespType::NO_AUTH:
            return {std::nullopt, "Aucune demande d'authentification à Vestalink n'a été détectée"};
        case RespType::TIME_OUT:
            return {std::nullopt, "Authentification échouée - Délai dépassé"};
        case RespType::FAILED:
            return {std::nullopt, "Authentification échouée - Une erreur est survenue"};
        case RespType::DEAUTH_FAILED:
            return {"DÉCONNEXION", "Échec de déconnexion - Une erreur est survenue"};
        case RespType::DEAUTH_OK:
            return {"DÉCONNEXION", "Toutes vos sessions ont été clôturées", true};
        case RespType::CARD_ACCESS:
            return {std::nullopt, "Erreur d'accès à la carte QEL"};
        case RespType::OK:
        case RespType::NEED_CODE:
        case RespType::VALID:
            break;
    }
    return {};
}

}  // namespace qel
