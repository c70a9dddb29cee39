#pragma once
// The bodies of the session-management interface.
#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "authservice/json_coding.h"
#include "authservice/date_formatter.h"

namespace qel::vek {

enum class AuthenticationFlow { CODE_FLOW, CIBA };
template <>
struct EnumCases<AuthenticationFlow> {
    static constexpr std::array<std::pair<AuthenticationFlow, std::string_view>, 2> values{{
        {AuthenticationFlow::CODE_FLOW, "CODE_FLOW"},
        {AuthenticationFlow::CIBA, "CIBA"},
    }};
};

enum class AuthenticationMode { CARD, MOBILE };
template <>
struct EnumCases<AuthenticationMode> {
    static constexpr std::array<std::pair<AuthenticationMode, std::string_view>, 2> values{{
        {AuthenticationMode::CARD, "CARD"},
        {AuthenticationMode::MOBILE, "MOBILE"},
    }};
};

struct ClientDTO {
    std::optional<std::string> id;
    std::optional<std::string> name;
    std::optional<Date> start;
    std::optional<Date> lastAccess;
    bool operator==(const ClientDTO&) const = default;
};

struct DeviceInfosDTO {
    std::optional<std::string> device;
    std::optional<std::string> os;
    std::optional<std::string> browser;
    bool operator==(const DeviceInfosDTO&) const = default;
};

struct SessionDTO {
    std::string id;
    std::string username;
    Date startDate{};
    Date updateDate{};
    std::optional<std::vector<ClientDTO>> clients;
    std::optional<AuthenticationFlow> authenticationFlow;
    std::optional<AuthenticationMode> authenticationMode;
    std::optional<std::string> walletDevice;
    std::optional<std::string> userAgent;
    std::optional<Date> reportedDate;
    std::optional<Date> endDate;
    std::optional<Date> duration;
    std::optional<DeviceInfosDTO> deviceInfos;
    bool operator==(const SessionDTO&) const = default;
};

struct SuspectSession {
    std::optional<std::string> mailAddress;
    bool operator==(const SuspectSession&) const = default;
};

struct SortObject {
    std::optional<bool> unsorted;
    std::optional<bool> sorted;
    std::optional<bool> empty;
    bool operator==(const SortObject&) const = default;
};

struct PageableObject {
    std::optional<bool> paged;
    std::optional<bool> unpaged;
    std::optional<std::int64_t> pageNumber;
    std::optional<std::int64_t> pageSize;
    std::optional<std::int64_t> offset;
    std::optional<SortObject> sort;
    bool operator==(const PageableObject&) const = default;
};

struct PageSessionDTO {
    std::optional<std::int64_t> totalElements;
    std::optional<std::int64_t> totalPages;
    std::optional<PageableObject> pageable;
    std::optional<std::int64_t> number;
    std::optional<std::int64_t> size;
    std::optional<std::vector<SessionDTO>> content;
    std::optional<SortObject> sort;
    std::optional<bool> first;
    std::optional<bool> last;
    std::optional<std::int64_t> numberOfElements;
    std::optional<bool> empty;
    bool operator==(const PageSessionDTO&) const = default;
};

void to_json(nlohmann::json& j, const ClientDTO& v);
void from_json(const nlohmann::json& j, ClientDTO& v);
void to_json(nlohmann::json& j, const DeviceInfosDTO& v);
void from_json(const nlohmann::json& j, DeviceInfosDTO& v);
void to_json(nlohmann::json& j, const SessionDTO& v);
void from_json(const nlohmann::json& j, SessionDTO& v);
void to_json(nlohmann::json& j, const SuspectSession& v);
void from_json(const nlohmann::json& j, SuspectSession& v);
void to_json(nlohmann::json& j, const SortObject& v);
void from_json(const nlohmann::json& j, SortObject& v);
void to_json(nlohmann::json& j, const PageableObject& v);
void from_json(const nlohmann::json& j, PageableObject& v);
void to_json(nlohmann::json& j, const PageSessionDTO& v);
void from_json(const nlohmann::json& j, PageSessionDTO& v);

}  // namespace qel::vek
