#pragma once
// The bodies of the wallet, cookie, service-provider and code-flow interfaces.
#include <array>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "authservice/json_coding.h"

namespace qel::vek {

/// State of a redirection answer.
enum class Status { PENDING, FAILED, IN_PROGRESS, ACCEPTED, REFUSED };
template <>
struct EnumCases<Status> {
    static constexpr std::array<std::pair<Status, std::string_view>, 5> values{{
        {Status::PENDING, "PENDING"},
        {Status::FAILED, "FAILED"},
        {Status::IN_PROGRESS, "IN_PROGRESS"},
        {Status::ACCEPTED, "ACCEPTED"},
        {Status::REFUSED, "REFUSED"},
    }};
};

enum class Priority { NORMAL, HIGH };
template <>
struct EnumCases<Priority> {
    static constexpr std::array<std::pair<Priority, std::string_view>, 2> values{{
        {Priority::NORMAL, "NORMAL"},
        {Priority::HIGH, "HIGH"},
    }};
};

enum class DeliveryTiming { active, critical, passive, timeSensitive };
template <>
struct EnumCases<DeliveryTiming> {
    static constexpr std::array<std::pair<DeliveryTiming, std::string_view>, 4> values{{
        {DeliveryTiming::active, "active"},
        {DeliveryTiming::critical, "critical"},
        {DeliveryTiming::passive, "passive"},
        {DeliveryTiming::timeSensitive, "time-sensitive"},
    }};
};

struct ChallengeRequestDto {
    std::string userId;
    std::string mobileHash;
    std::string notificationId;
    std::int64_t hotp = 0;
    bool operator==(const ChallengeRequestDto&) const = default;
};

struct UserDto {
    std::string userId;
    std::string mobileHash;
    std::string notificationId;
    bool operator==(const UserDto&) const = default;
};

/// Written and read with the service's snake-case keys ("response_type", "client_id", ...).
struct AuthenticationRequestDto {
    std::string userId;
    std::string responseType;
    std::string clientId;
    std::string redirectUri;
    std::string scope;
    std::optional<std::string> state;
    std::optional<std::string> nonce;
    std::optional<std::string> acrValues;
    std::optional<std::string> prompt;
    std::optional<std::int64_t> maxAge;
    bool operator==(const AuthenticationRequestDto&) const = default;
};

struct RedirectURIResponseDto {
    std::string redirectURI;
    std::optional<Status> status;
    bool operator==(const RedirectURIResponseDto&) const = default;
};

struct CodeMultiFactorAuthnDto {
    std::optional<std::string> code;
    std::optional<std::int64_t> timeToLive;
    bool operator==(const CodeMultiFactorAuthnDto&) const = default;
};

struct NotificationContentDtoDataOnly {
    std::optional<std::string> category;
    std::optional<std::string> apnsCollapseId;
    std::optional<std::string> titleLocKey;
    std::optional<std::vector<std::string>> titleLocArgs;
    std::optional<std::string> locKey;
    std::optional<std::vector<std::string>> locArgs;
    bool operator==(const NotificationContentDtoDataOnly&) const = default;
};

struct PushDtoDataOnly {
    std::optional<std::string> token;
    std::optional<std::map<std::string, std::string>> data;
    std::optional<std::int64_t> ttl;
    std::optional<std::int64_t> badge;
    std::optional<NotificationContentDtoDataOnly> content;
    std::optional<Priority> priority;
    std::optional<DeliveryTiming> deliveryTiming;
    std::optional<bool> silent;
    bool operator==(const PushDtoDataOnly&) const = default;
};

struct ClientRepresentationDtoServiceProvider {
    std::optional<std::string> clientId;
    std::optional<std::string> name;
    std::optional<std::string> baseUrl;
    std::optional<std::vector<std::string>> optionalClientScopes;
    bool operator==(const ClientRepresentationDtoServiceProvider&) const = default;
};

void to_json(nlohmann::json& j, const ChallengeRequestDto& v);
void from_json(const nlohmann::json& j, ChallengeRequestDto& v);
void to_json(nlohmann::json& j, const UserDto& v);
void from_json(const nlohmann::json& j, UserDto& v);
void to_json(nlohmann::json& j, const AuthenticationRequestDto& v);
void from_json(const nlohmann::json& j, AuthenticationRequestDto& v);
void to_json(nlohmann::json& j, const RedirectURIResponseDto& v);
void from_json(const nlohmann::json& j, RedirectURIResponseDto& v);
void to_json(nlohmann::json& j, const CodeMultiFactorAuthnDto& v);
void from_json(const nlohmann::json& j, CodeMultiFactorAuthnDto& v);
void to_json(nlohmann::json& j, const NotificationContentDtoDataOnly& v);
void from_json(const nlohmann::json& j, NotificationContentDtoDataOnly& v);
void to_json(nlohmann::json& j, const PushDtoDataOnly& v);
void from_json(const nlohmann::json& j, PushDtoDataOnly& v);
void to_json(nlohmann::json& j, const ClientRepresentationDtoServiceProvider& v);
void from_json(const nlohmann::json& j, ClientRepresentationDtoServiceProvider& v);

}  // namespace qel::vek
