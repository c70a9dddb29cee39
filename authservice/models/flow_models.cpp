#include "authservice/models/flow_models.h"

namespace qel::vek {

using coding::optional;
using coding::put;
using coding::required;

void to_json(nlohmann::json& j, const PendingAuthenticationRequestDto& v) {
    coding::beginObject(j);
    put(j, "notificationId", v.notificationId);
    put(j, "typeService", v.typeService);
    put(j, "serviceName", v.serviceName);
    put(j, "serviceMessage", v.serviceMessage);
    put(j, "scope", v.scope);
    put(j, "modeAuth", v.modeAuth);
    put(j, "eidaslevel", v.eidaslevel);
}

void from_json(const nlohmann::json& j, PendingAuthenticationRequestDto& v) {
    optional(j, "notificationId", v.notificationId);
    optional(j, "typeService", v.typeService);
    optional(j, "serviceName", v.serviceName);
    optional(j, "serviceMessage", v.serviceMessage);
    optional(j, "scope", v.scope);
    optional(j, "modeAuth", v.modeAuth);
    optional(j, "eidaslevel", v.eidaslevel);
}

void to_json(nlohmann::json& j, const CibaAuthenticationCardResponseDto& v) {
    coding::beginObject(j);
    put(j, "notificationId", v.notificationId);
    put(j, "authStatus", v.authStatus);
}

void from_json(const nlohmann::json& j, CibaAuthenticationCardResponseDto& v) {
    required(j, "notificationId", v.notificationId);
    required(j, "authStatus", v.authStatus);
}

void to_json(nlohmann::json& j, const NotificationKeyDto& v) {
    coding::beginObject(j);
    put(j, "notificationId", v.notificationId);
}

void from_json(const nlohmann::json& j, NotificationKeyDto& v) { required(j, "notificationId", v.notificationId); }

void to_json(nlohmann::json& j, const VerifyCodeRequestDto& v) {
    coding::beginObject(j);
    put(j, "code", v.code);
    put(j, "notificationId", v.notificationId);
}

void from_json(const nlohmann::json& j, VerifyCodeRequestDto& v) {
    required(j, "code", v.code);
    required(j, "notificationId", v.notificationId);
}

void to_json(nlohmann::json& j, const VerifyCodeResponseDto& v) {
    coding::beginObject(j);
    put(j, "valid", v.valid);
}

void from_json(const nlohmann::json& j, VerifyCodeResponseDto& v) { optional(j, "valid", v.valid); }

void to_json(nlohmann::json& j, const EnabledFlagDto& v) {
    coding::beginObject(j);
    put(j, "enabled", v.enabled);
}

void from_json(const nlohmann::json& j, EnabledFlagDto& v) { optional(j, "enabled", v.enabled); }

void to_json(nlohmann::json& j, const ErrorDto& v) {
    coding::beginObject(j);
    put(j, "code", v.code);
    put(j, "message", v.message);
    put(j, "metadata", v.metadata);
}

void from_json(const nlohmann::json& j, ErrorDto& v) {
    optional(j, "code", v.code);
    optional(j, "message", v.message);
    optional(j, "metadata", v.metadata);
}

}  // namespace qel::vek
