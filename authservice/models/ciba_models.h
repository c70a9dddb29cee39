#pragma once
// The other bodies of the service's backchannel sign-in interface.
#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>

#include "authservice/json_value.h"
#include "authservice/json_coding.h"
#include "authservice/models/flow_models.h"

namespace qel::vek {

enum class Channel { WALLET, CARD };
template <>
struct EnumCases<Channel> {
    static constexpr std::array<std::pair<Channel, std::string_view>, 2> values{{
        {Channel::WALLET, "WALLET"},
        {Channel::CARD, "CARD"},
    }};
};

struct HotpChallengeDto {
    std::int64_t hotp = 0;
    bool operator==(const HotpChallengeDto&) const = default;
};

struct CibaAuthenticationDeviceResponseDto {
    std::string notificationId;
    std::string userInfo;
    AuthStatus authStatus = AuthStatus::SUCCEED;
    HotpChallengeDto data;
    bool operator==(const CibaAuthenticationDeviceResponseDto&) const = default;
};

struct CibaAuthenticationDeviceCancelledResponseDto {
    std::string notificationId;
    std::string userInfo;
    bool operator==(const CibaAuthenticationDeviceCancelledResponseDto&) const = default;
};

struct CibaAuthenticationRequestDtoSerializable {
    std::string decoupledAuthId;
    std::string userInfo;
    bool isConsentRequired = false;
    std::optional<std::string> scope;
    std::optional<std::string> defaultClientScope;
    std::optional<std::string> bindingMessage;
    std::int64_t expiresIn = 0;
    std::string clientId;
    std::optional<JsonValue> data;
    bool operator==(const CibaAuthenticationRequestDtoSerializable&) const = default;
};

struct CibaUserValidationDto {
    std::string userInfo;
    std::string clientId;
    std::optional<Channel> channel;
    bool operator==(const CibaUserValidationDto&) const = default;
};

void to_json(nlohmann::json& j, const HotpChallengeDto& v);
void from_json(const nlohmann::json& j, HotpChallengeDto& v);
void to_json(nlohmann::json& j, const CibaAuthenticationDeviceResponseDto& v);
void from_json(const nlohmann::json& j, CibaAuthenticationDeviceResponseDto& v);
void to_json(nlohmann::json& j, const CibaAuthenticationDeviceCancelledResponseDto& v);
void from_json(const nlohmann::json& j, CibaAuthenticationDeviceCancelledResponseDto& v);
void to_json(nlohmann::json& j, const CibaAuthenticationRequestDtoSerializable& v);
void from_json(const nlohmann::json& j, CibaAuthenticationRequestDtoSerializable& v);
void to_json(nlohmann::json& j, const CibaUserValidationDto& v);
void from_json(const nlohmann::json& j, CibaUserValidationDto& v);

}  // namespace qel::vek
