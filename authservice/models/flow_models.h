#pragma once
// The service's bodies used by the sign-in flow, and its error body.
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>

#include "authservice/json_value.h"
#include "authservice/json_coding.h"

namespace qel::vek {

/// The answer to a sign-in request.
enum class AuthStatus { SUCCEED, UNAUTHORIZED, CANCELLED };
template <>
struct EnumCases<AuthStatus> {
    static constexpr std::array<std::pair<AuthStatus, std::string_view>, 3> values{{
        {AuthStatus::SUCCEED, "SUCCEED"},
        {AuthStatus::UNAUTHORIZED, "UNAUTHORIZED"},
        {AuthStatus::CANCELLED, "CANCELLED"},
    }};
};

/// One pending sign-in request of the holder.
struct PendingAuthenticationRequestDto {
    std::optional<std::string> notificationId;
    std::optional<std::string> typeService;
    std::optional<std::string> serviceName;
    std::optional<std::string> serviceMessage;
    std::optional<std::string> scope;
    std::optional<std::string> modeAuth;
    std::optional<std::string> eidaslevel;
    bool operator==(const PendingAuthenticationRequestDto&) const = default;
};

/// The holder's answer to a pending request.
struct CibaAuthenticationCardResponseDto {
    std::string notificationId;
    AuthStatus authStatus = AuthStatus::SUCCEED;
    bool operator==(const CibaAuthenticationCardResponseDto&) const = default;
};

struct NotificationKeyDto {
    std::string notificationId;
    bool operator==(const NotificationKeyDto&) const = default;
};

struct VerifyCodeRequestDto {
    std::string code;
    std::string notificationId;
    bool operator==(const VerifyCodeRequestDto&) const = default;
};

struct VerifyCodeResponseDto {
    std::optional<bool> valid;
    bool operator==(const VerifyCodeResponseDto&) const = default;
};

struct EnabledFlagDto {
    std::optional<bool> enabled;
    bool operator==(const EnabledFlagDto&) const = default;
};

/// The service's business error codes.
enum class ErrorDtoCode {
    DATA_MISSING,
    INVALID_ACCOUNT,
    OPEND_MISSING,
    SESSION_EXIST,
    KEYCLOAK_ERROR,
    NO_CERT,
    INVALID_CERT,
    SESSION_TIMEOUT,
    NO_ENTITY,
    BAD_SESSION,
};
template <>
struct EnumCases<ErrorDtoCode> {
    static constexpr std::array<std::pair<ErrorDtoCode, std::string_view>, 10> values{{
        {ErrorDtoCode::DATA_MISSING, "BUSI-AUTHENT-1"},
        {ErrorDtoCode::INVALID_ACCOUNT, "BUSI-AUTHENT-2"},
        {ErrorDtoCode::OPEND_MISSING, "BUSI-AUTHENT-3"},
        {ErrorDtoCode::SESSION_EXIST, "BUSI-AUTHENT-4"},
        {ErrorDtoCode::KEYCLOAK_ERROR, "BUSI-AUTHENT-5"},
        {ErrorDtoCode::NO_CERT, "BUSI-AUTHENT-6"},
        {ErrorDtoCode::INVALID_CERT, "BUSI-AUTHENT-7"},
        {ErrorDtoCode::SESSION_TIMEOUT, "BUSI-AUTHENT-8"},
        {ErrorDtoCode::NO_ENTITY, "BUSI-AUTHENT-9"},
        {ErrorDtoCode::BAD_SESSION, "BUSI-AUTHENT-10"},
    }};
};

/// The body of the service's error answers. `code` stays text so that a code this client does not
/// know still decodes; errorCode() converts it.
struct ErrorDto {
    std::optional<std::string> code;
    std::optional<std::string> message;
    std::optional<std::map<std::string, JsonValue>> metadata;
    bool operator==(const ErrorDto&) const = default;

    std::optional<ErrorDtoCode> errorCode() const { return code ? fromRawValue<ErrorDtoCode>(*code) : std::nullopt; }
};

void to_json(nlohmann::json& j, const PendingAuthenticationRequestDto& v);
void from_json(const nlohmann::json& j, PendingAuthenticationRequestDto& v);
void to_json(nlohmann::json& j, const CibaAuthenticationCardResponseDto& v);
void from_json(const nlohmann::json& j, CibaAuthenticationCardResponseDto& v);
void to_json(nlohmann::json& j, const NotificationKeyDto& v);
void from_json(const nlohmann::json& j, NotificationKeyDto& v);
void to_json(nlohmann::json& j, const VerifyCodeRequestDto& v);
void from_json(const nlohmann::json& j, VerifyCodeRequestDto& v);
void to_json(nlohmann::json& j, const VerifyCodeResponseDto& v);
void from_json(const nlohmann::json& j, VerifyCodeResponseDto& v);
void to_json(nlohmann::json& j, const EnabledFlagDto& v);
void from_json(const nlohmann::json& j, EnabledFlagDto& v);
void to_json(nlohmann::json& j, const ErrorDto& v);
void from_json(const nlohmann::json& j, ErrorDto& v);

}  // namespace qel::vek
