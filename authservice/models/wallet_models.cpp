#include "authservice/models/wallet_models.h"

namespace qel::vek {

using coding::optional;
using coding::put;
using coding::required;

void to_json(nlohmann::json& j, const ChallengeRequestDto& v) {
    coding::beginObject(j);
    put(j, "userId", v.userId);
    put(j, "mobileHash", v.mobileHash);
    put(j, "notificationId", v.notificationId);
    put(j, "hotp", v.hotp);
}

void from_json(const nlohmann::json& j, ChallengeRequestDto& v) {
    required(j, "userId", v.userId);
    required(j, "mobileHash", v.mobileHash);
    required(j, "notificationId", v.notificationId);
    required(j, "hotp", v.hotp);
}

void to_json(nlohmann::json& j, const UserDto& v) {
    coding::beginObject(j);
    put(j, "userId", v.userId);
    put(j, "mobileHash", v.mobileHash);
    put(j, "notificationId", v.notificationId);
}

void from_json(const nlohmann::json& j, UserDto& v) {
    required(j, "userId", v.userId);
    required(j, "mobileHash", v.mobileHash);
    required(j, "notificationId", v.notificationId);
}

void to_json(nlohmann::json& j, const AuthenticationRequestDto& v) {
    coding::beginObject(j);
    put(j, "userId", v.userId);
    put(j, "response_type", v.responseType);
    put(j, "client_id", v.clientId);
    put(j, "redirect_uri", v.redirectUri);
    put(j, "scope", v.scope);
    put(j, "state", v.state);
    put(j, "nonce", v.nonce);
    put(j, "acr_values", v.acrValues);
    put(j, "prompt", v.prompt);
    put(j, "max_age", v.maxAge);
}

void from_json(const nlohmann::json& j, AuthenticationRequestDto& v) {
    required(j, "userId", v.userId);
    required(j, "response_type", v.responseType);
    required(j, "client_id", v.clientId);
    required(j, "redirect_uri", v.redirectUri);
    required(j, "scope", v.scope);
    optional(j, "state", v.state);
    optional(j, "nonce", v.nonce);
    optional(j, "acr_values", v.acrValues);
    optional(j, "prompt", v.prompt);
    optional(j, "max_age", v.maxAge);
}

void to_json(nlohmann::json& j, const RedirectURIResponseDto& v) {
    coding::beginObject(j);
    put(j, "redirectURI", v.redirectURI);
    put(j, "status", v.status);
}

void from_json(const nlohmann::json& j, RedirectURIResponseDto& v) {
    required(j, "redirectURI", v.redirectURI);
    optional(j, "status", v.status);
}

void to_json(nlohmann::json& j, const CodeMultiFactorAuthnDto& v) {
    coding::beginObject(j);
    put(j, "code", v.code);
    put(j, "timeToLive", v.timeToLive);
}

void from_json(const nlohmann::json& j, CodeMultiFactorAuthnDto& v) {
    optional(j, "code", v.code);
    optional(j, "timeToLive", v.timeToLive);
}

void to_json(nlohmann::json& j, const NotificationContentDtoDataOnly& v) {
    coding::beginObject(j);
    put(j, "category", v.category);
    put(j, "apnsCollapseId", v.apnsCollapseId);
    put(j, "titleLocKey", v.titleLocKey);
    put(j, "titleLocArgs", v.titleLocArgs);
    put(j, "locKey", v.locKey);
    put(j, "locArgs", v.locArgs);
}

void from_json(const nlohmann::json& j, NotificationContentDtoDataOnly& v) {
    optional(j, "category", v.category);
    optional(j, "apnsCollapseId", v.apnsCollapseId);
    optional(j, "titleLocKey", v.titleLocKey);
    optional(j, "titleLocArgs", v.titleLocArgs);
    optional(j, "locKey", v.locKey);
    optional(j, "locArgs", v.locArgs);
}

void to_json(nlohmann::json& j, const PushDtoDataOnly& v) {
    coding::beginObject(j);
    put(j, "token", v.token);
    put(j, "data", v.data);
    put(j, "ttl", v.ttl);
    put(j, "badge", v.badge);
    put(j, "content", v.content);
    put(j, "priority", v.priority);
    put(j, "deliveryTiming", v.deliveryTiming);
    put(j, "silent", v.silent);
}

void from_json(const nlohmann::json& j, PushDtoDataOnly& v) {
    optional(j, "token", v.token);
    optional(j, "data", v.data);
    optional(j, "ttl", v.ttl);
    optional(j, "badge", v.badge);
    optional(j, "content", v.content);
    optional(j, "priority", v.priority);
    optional(j, "deliveryTiming", v.deliveryTiming);
    optional(j, "silent", v.silent);
}

void to_json(nlohmann::json& j, const ClientRepresentationDtoServiceProvider& v) {
    coding::beginObject(j);
    put(j, "clientId", v.clientId);
    put(j, "name", v.name);
    put(j, "baseUrl", v.baseUrl);
    put(j, "optionalClientScopes", v.optionalClientScopes);
}

void from_json(const nlohmann::json& j, ClientRepresentationDtoServiceProvider& v) {
    optional(j, "clientId", v.clientId);
    optional(j, "name", v.name);
    optional(j, "baseUrl", v.baseUrl);
    optional(j, "optionalClientScopes", v.optionalClientScopes);
}

}  // namespace qel::vek
