#include "authservice/models/ciba_models.h"

namespace qel::vek {

using coding::optional;
using coding::put;
using coding::required;

void to_json(nlohmann::json& j, const HotpChallengeDto& v) {
    coding::beginObject(j);
    put(j, "hotp", v.hotp);
}

void from_json(const nlohmann::json& j, HotpChallengeDto& v) { required(j, "hotp", v.hotp); }

void to_json(nlohmann::json& j, const CibaAuthenticationDeviceResponseDto& v) {
    coding::beginObject(j);
    put(j, "notificationId", v.notificationId);
    put(j, "userInfo", v.userInfo);
    put(j, "authStatus", v.authStatus);
    put(j, "data", v.data);
}

void from_json(const nlohmann::json& j, CibaAuthenticationDeviceResponseDto& v) {
    required(j, "notificationId", v.notificationId);
    required(j, "userInfo", v.userInfo);
    required(j, "authStatus", v.authStatus);
    required(j, "data", v.data);
}

void to_json(nlohmann::json& j, const CibaAuthenticationDeviceCancelledResponseDto& v) {
    coding::beginObject(j);
    put(j, "notificationId", v.notificationId);
    put(j, "userInfo", v.userInfo);
}

void from_json(const nlohmann::json& j, CibaAuthenticationDeviceCancelledResponseDto& v) {
    required(j, "notificationId", v.notificationId);
    required(j, "userInfo", v.userInfo);
}

void to_json(nlohmann::json& j, const CibaAuthenticationRequestDtoSerializable& v) {
    coding::beginObject(j);
    put(j, "decoupledAuthId", v.decoupledAuthId);
    put(j, "userInfo", v.userInfo);
    put(j, "isConsentRequired", v.isConsentRequired);
    put(j, "scope", v.scope);
    put(j, "defaultClientScope", v.defaultClientScope);
    put(j, "bindingMessage", v.bindingMessage);
    put(j, "expiresIn", v.expiresIn);
    put(j, "clientId", v.clientId);
    put(j, "data", v.data);
}

void from_json(const nlohmann::json& j, CibaAuthenticationRequestDtoSerializable& v) {
    required(j, "decoupledAuthId", v.decoupledAuthId);
    required(j, "userInfo", v.userInfo);
    required(j, "isConsentRequired", v.isConsentRequired);
    optional(j, "scope", v.scope);
    optional(j, "defaultClientScope", v.defaultClientScope);
    optional(j, "bindingMessage", v.bindingMessage);
    required(j, "expiresIn", v.expiresIn);
    required(j, "clientId", v.clientId);
    optional(j, "data", v.data);
}

void to_json(nlohmann::json& j, const CibaUserValidationDto& v) {
    coding::beginObject(j);
    put(j, "userInfo", v.userInfo);
    put(j, "clientId", v.clientId);
    put(j, "channel", v.channel);
}

void from_json(const nlohmann::json& j, CibaUserValidationDto& v) {
    required(j, "userInfo", v.userInfo);
    required(j, "clientId", v.clientId);
    optional(j, "channel", v.channel);
}

}  // namespace qel::vek
