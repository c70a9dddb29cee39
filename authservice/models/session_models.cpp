#include "authservice/models/session_models.h"

namespace qel::vek {

using coding::optional;
using coding::put;
using coding::required;

void to_json(nlohmann::json& j, const ClientDTO& v) {
    coding::beginObject(j);
    put(j, "id", v.id);
    put(j, "name", v.name);
    put(j, "start", v.start);
    put(j, "lastAccess", v.lastAccess);
}

void from_json(const nlohmann::json& j, ClientDTO& v) {
    optional(j, "id", v.id);
    optional(j, "name", v.name);
    optional(j, "start", v.start);
    optional(j, "lastAccess", v.lastAccess);
}

void to_json(nlohmann::json& j, const DeviceInfosDTO& v) {
    coding::beginObject(j);
    put(j, "device", v.device);
    put(j, "os", v.os);
    put(j, "browser", v.browser);
}

void from_json(const nlohmann::json& j, DeviceInfosDTO& v) {
    optional(j, "device", v.device);
    optional(j, "os", v.os);
    optional(j, "browser", v.browser);
}

void to_json(nlohmann::json& j, const SessionDTO& v) {
    coding::beginObject(j);
    put(j, "id", v.id);
    put(j, "username", v.username);
    put(j, "startDate", v.startDate);
    put(j, "updateDate", v.updateDate);
    put(j, "clients", v.clients);
    put(j, "authenticationFlow", v.authenticationFlow);
    put(j, "authenticationMode", v.authenticationMode);
    put(j, "walletDevice", v.walletDevice);
    put(j, "userAgent", v.userAgent);
    put(j, "reportedDate", v.reportedDate);
    put(j, "endDate", v.endDate);
    put(j, "duration", v.duration);
    put(j, "deviceInfos", v.deviceInfos);
}

void from_json(const nlohmann::json& j, SessionDTO& v) {
    required(j, "id", v.id);
    required(j, "username", v.username);
    required(j, "startDate", v.startDate);
    required(j, "updateDate", v.updateDate);
    optional(j, "clients", v.clients);
    optional(j, "authenticationFlow", v.authenticationFlow);
    optional(j, "authenticationMode", v.authenticationMode);
    optional(j, "walletDevice", v.walletDevice);
    optional(j, "userAgent", v.userAgent);
    optional(j, "reportedDate", v.reportedDate);
    optional(j, "endDate", v.endDate);
    optional(j, "duration", v.duration);
    optional(j, "deviceInfos", v.deviceInfos);
}

void to_json(nlohmann::json& j, const SuspectSession& v) {
    coding::beginObject(j);
    put(j, "mailAddress", v.mailAddress);
}

void from_json(const nlohmann::json& j, SuspectSession& v) { optional(j, "mailAddress", v.mailAddress); }

void to_json(nlohmann::json& j, const SortObject& v) {
    coding::beginObject(j);
    put(j, "unsorted", v.unsorted);
    put(j, "sorted", v.sorted);
    put(j, "empty", v.empty);
}

void from_json(const nlohmann::json& j, SortObject& v) {
    optional(j, "unsorted", v.unsorted);
    optional(j, "sorted", v.sorted);
    optional(j, "empty", v.empty);
}

void to_json(nlohmann::json& j, const PageableObject& v) {
    coding::beginObject(j);
    put(j, "paged", v.paged);
    put(j, "unpaged", v.unpaged);
    put(j, "pageNumber", v.pageNumber);
    put(j, "pageSize", v.pageSize);
    put(j, "offset", v.offset);
    put(j, "sort", v.sort);
}

void from_json(const nlohmann::json& j, PageableObject& v) {
    optional(j, "paged", v.paged);
    optional(j, "unpaged", v.unpaged);
    optional(j, "pageNumber", v.pageNumber);
    optional(j, "pageSize", v.pageSize);
    optional(j, "offset", v.offset);
    optional(j, "sort", v.sort);
}

void to_json(nlohmann::json& j, const PageSessionDTO& v) {
    coding::beginObject(j);
    put(j, "totalElements", v.totalElements);
    put(j, "totalPages", v.totalPages);
    put(j, "pageable", v.pageable);
    put(j, "number", v.number);
    put(j, "size", v.size);
    put(j, "content", v.content);
    put(j, "sort", v.sort);
    put(j, "first", v.first);
    put(j, "last", v.last);
    put(j, "numberOfElements", v.numberOfElements);
    put(j, "empty", v.empty);
}

void from_json(const nlohmann::json& j, PageSessionDTO& v) {
    optional(j, "totalElements", v.totalElements);
    optional(j, "totalPages", v.totalPages);
    optional(j, "pageable", v.pageable);
    optional(j, "number", v.number);
    optional(j, "size", v.size);
    optional(j, "content", v.content);
    optional(j, "sort", v.sort);
    optional(j, "first", v.first);
    optional(j, "last", v.last);
    optional(j, "numberOfElements", v.numberOfElements);
    optional(j, "empty", v.empty);
}

}  // namespace qel::vek
