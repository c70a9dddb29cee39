#include "update/apdu_command.h"

#include <nlohmann/json.hpp>

namespace qel {

namespace {

using nlohmann::json;

std::optional<std::string> optionalText(const json& object, const char* member, bool& ok) {
    auto it = object.find(member);
    if (it == object.end() || it->is_null()) return std::nullopt;
    if (!it->is_string()) {
        ok = false;
        return std::nullopt;
    }
    return it->get<std::string>();
}

}  // namespace

std::optional<ApduList> decodeApduList(std::string_view text, std::string* error) {
    auto fail = [&](std::string why) -> std::optional<ApduList> {
        if (error) *error = std::move(why);
        return std::nullopt;
    };
    json parsed = json::parse(text.begin(), text.end(), nullptr, false);
    if (parsed.is_discarded()) return fail("le texte reçu n'est pas du JSON valide");
    if (!parsed.is_array()) return fail("une liste de commandes était attendue");
    ApduList list;
    list.reserve(parsed.size());
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        const json& element = parsed[i];
        if (!element.is_object()) return fail("l'élément " + std::to_string(i) + " n'est pas un objet");
        auto type = element.find("apduRespType");
        if (type == element.end() || !type->is_string())
            return fail("l'élément " + std::to_string(i) + " n'a pas de texte \"apduRespType\"");
        bool ok = true;
        ApduCommand command{optionalText(element, "apdu", ok), optionalText(element, "response", ok),
                            type->get<std::string>()};
        if (!ok) return fail("l'élément " + std::to_string(i) + " a un membre qui n'est pas un texte");
        list.push_back(std::move(command));
    }
    return list;
}

nlohmann::json toJson(const ApduCommand& command) {
    json object = json::object();
    if (command.apdu) object["apdu"] = *command.apdu;
    if (command.response) object["response"] = *command.response;
    object["apduRespType"] = command.apduRespType;
    return object;
}

std::string encodePostBody(const ApduList& inputParams, const std::string& cardnum) {
    json params = json::array();
    for (const ApduCommand& command : inputParams) params.push_back(toJson(command));
    json body = {{"inputParams", std::move(params)}, {"cardnum", cardnum}};
    // Answers may carry error texts from the card layer: never fail on a stray byte.
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

const char* rawValue(ApduResultCode code) {
    switch (code) {
        case ApduResultCode::CODE_RESPONSE_OK:
            return "9000";
        case ApduResultCode::CODE_INTERNAL_ERROR:
            return "9999";
        case ApduResultCode::CODE_APDU_ERROR:
            return "-1";
        case ApduResultCode::CODE_PIN_CODE_ERROR:
            return "-1160";
        case ApduResultCode::CODE_CARD_LOCKED:
            return "-1164";
        case ApduResultCode::CODE_CARD_MISSING:
            return "-1179";
        case ApduResultCode::CODE_APDU_FILE_NOT_FOUND:
            return "6A82";
        case ApduResultCode::CODE_APDU_FID_NOT_FOUND:
            return "9404";
    }
    return "9999";
}

}  // namespace qel
