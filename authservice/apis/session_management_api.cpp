#include "authservice/apis/session_management_api.h"

#include "authservice/apis/operation_support.h"

namespace qel::vek {

std::shared_ptr<RequestBuilder<std::vector<SessionDTO>>> SessionManagementAPIAPI::getSessionsWithRequestBuilder() {
    const std::string url = OpenAPIClientAPI::sessionBasePath() + "/sessions";
    return HttpRequestBuilderFactory::decodingBuilder<std::vector<SessionDTO>>("GET", url, std::nullopt, Headers{},
                                                                               true);
}

std::shared_ptr<RequestTask> SessionManagementAPIAPI::getSessions(ApiCompletion<std::vector<SessionDTO>> completion,
                                                                  MainQueue* queue) {
    return detail::runOperation(getSessionsWithRequestBuilder(), std::move(completion), queue);
}

Result<std::vector<SessionDTO>> SessionManagementAPIAPI::getSessions() {
    return detail::runOperationBlocking(getSessionsWithRequestBuilder());
}

std::shared_ptr<RequestBuilder<NoBody>> SessionManagementAPIAPI::logoutSessionWithRequestBuilder(
    const std::string& id) {
    std::string path = "/sessions/{id}/logout";
    replacePlaceholder(path, "{id}", id);
    const std::string url = OpenAPIClientAPI::sessionBasePath() + path;
    return HttpRequestBuilderFactory::noBodyBuilder("DELETE", url, std::nullopt, Headers{}, true);
}

std::shared_ptr<RequestTask> SessionManagementAPIAPI::logoutSession(const std::string& id,
                                                                    ApiCompletion<NoBody> completion,
                                                                    MainQueue* queue) {
    return detail::runOperation(logoutSessionWithRequestBuilder(id), std::move(completion), queue);
}

Result<NoBody> SessionManagementAPIAPI::logoutSession(const std::string& id) {
    return detail::runOperationBlocking(logoutSessionWithRequestBuilder(id));
}

std::shared_ptr<RequestBuilder<PageSessionDTO>> SessionManagementAPIAPI::searchSessionsWithRequestBuilder(
    const std::optional<std::string>& searchIndex, const std::optional<Date>& startDate,
    const std::optional<Date>& endDate, const std::optional<bool>& reportedOnly,
    const std::optional<std::int64_t>& page, const std::optional<std::int64_t>& size,
    const std::optional<std::vector<std::string>>& sort) {
    const std::string url =
        APIHelper::appendQuery(OpenAPIClientAPI::sessionBasePath() + "/sessions/search",
                               APIHelper::mapValuesToQueryItems({{"searchIndex", toQueryValue(searchIndex), false},
                                                                 {"startDate", toQueryValue(startDate), false},
                                                                 {"endDate", toQueryValue(endDate), false},
                                                                 {"reportedOnly", toQueryValue(reportedOnly), false},
                                                                 {"page", toQueryValue(page), false},
                                                                 {"size", toQueryValue(size), false},
                                                                 {"sort", toQueryValue(sort), false}}));
    return HttpRequestBuilderFactory::decodingBuilder<PageSessionDTO>("GET", url, std::nullopt, Headers{}, true);
}

std::shared_ptr<RequestTask> SessionManagementAPIAPI::searchSessions(
    const std::optional<std::string>& searchIndex, const std::optional<Date>& startDate,
    const std::optional<Date>& endDate, const std::optional<bool>& reportedOnly,
    const std::optional<std::int64_t>& page, const std::optional<std::int64_t>& size,
    const std::optional<std::vector<std::string>>& sort, ApiCompletion<PageSessionDTO> completion, MainQueue* queue) {
    return detail::runOperation(
        searchSessionsWithRequestBuilder(searchIndex, startDate, endDate, reportedOnly, page, size, sort),
        std::move(completion), queue);
}

Result<PageSessionDTO> SessionManagementAPIAPI::searchSessions(const std::optional<std::string>& searchIndex,
                                                               const std::optional<Date>& startDate,
                                                               const std::optional<Date>& endDate,
                                                               const std::optional<bool>& reportedOnly,
                                                               const std::optional<std::int64_t>& page,
                                                               const std::optional<std::int64_t>& size,
                                                               const std::optional<std::vector<std::string>>& sort) {
    return detail::runOperationBlocking(
        searchSessionsWithRequestBuilder(searchIndex, startDate, endDate, reportedOnly, page, size, sort));
}

std::shared_ptr<RequestBuilder<NoBody>> SessionManagementAPIAPI::reportSuspectSessionWithRequestBuilder(
    const std::string& id, const std::optional<bool>& history, const SuspectSession& body) {
    std::string path = "/sessions/{id}/suspect";
    replacePlaceholder(path, "{id}", id);
    const std::string url =
        APIHelper::appendQuery(OpenAPIClientAPI::sessionBasePath() + path,
                               APIHelper::mapValuesToQueryItems({{"history", toQueryValue(history), false}}));
    return HttpRequestBuilderFactory::noBodyBuilder("POST", url, JSONEncodingHelper::encodingParameters(body),
                                                    Headers{}, true);
}

std::shared_ptr<RequestTask> SessionManagementAPIAPI::reportSuspectSession(const std::string& id,
                                                                           const std::optional<bool>& history,
                                                                           const SuspectSession& body,
                                                                           ApiCompletion<NoBody> completion,
                                                                           MainQueue* queue) {
    return detail::runOperation(reportSuspectSessionWithRequestBuilder(id, history, body), std::move(completion),
                                queue);
}

Result<NoBody> SessionManagementAPIAPI::reportSuspectSession(const std::string& id, const std::optional<bool>& history,
                                                             const SuspectSession& body) {
    return detail::runOperationBlocking(reportSuspectSessionWithRequestBuilder(id, history, body));
}

std::shared_ptr<RequestBuilder<NoBody>> SessionManagementAPIAPI::logoutAllWithRequestBuilder(
    const std::optional<std::string>& xAuthenticatedUser) {
    const std::string url = OpenAPIClientAPI::sessionBasePath() + "/sessions/logoutAll";
    return HttpRequestBuilderFactory::noBodyBuilder(
        "DELETE", url, std::nullopt, APIHelper::rejectNilHeaders({{"X-Authenticated-User", xAuthenticatedUser}}), true);
}

std::shared_ptr<RequestTask> SessionManagementAPIAPI::logoutAll(const std::optional<std::string>& xAuthenticatedUser,
                                                                ApiCompletion<NoBody> completion, MainQueue* queue) {
    return detail::runOperation(logoutAllWithRequestBuilder(xAuthenticatedUser), std::move(completion), queue);
}

Result<NoBody> SessionManagementAPIAPI::logoutAll(const std::optional<std::string>& xAuthenticatedUser) {
    return detail::runOperationBlocking(logoutAllWithRequestBuilder(xAuthenticatedUser));
}

}  // namespace qel::vek
