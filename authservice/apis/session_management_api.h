#pragma once
// The operations below the session base path.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "authservice/apis/api_call.h"
#include "authservice/models/models.h"

namespace qel::vek {

// Each operation comes in three forms: the builder (nothing sent), the asynchronous call (sent on a
// worker thread, completion on `queue` or the client's response queue; returns the running task) and
// the blocking call (sent on the calling thread; not for the UI thread). Errors are the runtime's
// ErrorResponse, unchanged. "X-Authenticated-User" and "Key-App-Version" are sent only when present.

class SessionManagementAPIAPI {
public:
    /// GET "/sessions" (session base path).
    static std::shared_ptr<RequestBuilder<std::vector<SessionDTO>>> getSessionsWithRequestBuilder();
    static std::shared_ptr<RequestTask> getSessions(ApiCompletion<std::vector<SessionDTO>> completion,
                                                    MainQueue* queue = nullptr);
    static Result<std::vector<SessionDTO>> getSessions();

    /// DELETE "/sessions/{id}/logout" (session base path).
    static std::shared_ptr<RequestBuilder<NoBody>> logoutSessionWithRequestBuilder(const std::string& id);
    static std::shared_ptr<RequestTask> logoutSession(const std::string& id, ApiCompletion<NoBody> completion,
                                                      MainQueue* queue = nullptr);
    static Result<NoBody> logoutSession(const std::string& id);

    /// GET "/sessions/search" (session base path).
    static std::shared_ptr<RequestBuilder<PageSessionDTO>> searchSessionsWithRequestBuilder(
        const std::optional<std::string>& searchIndex, const std::optional<Date>& startDate,
        const std::optional<Date>& endDate, const std::optional<bool>& reportedOnly,
        const std::optional<std::int64_t>& page, const std::optional<std::int64_t>& size,
        const std::optional<std::vector<std::string>>& sort);
    static std::shared_ptr<RequestTask> searchSessions(
        const std::optional<std::string>& searchIndex, const std::optional<Date>& startDate,
        const std::optional<Date>& endDate, const std::optional<bool>& reportedOnly,
        const std::optional<std::int64_t>& page, const std::optional<std::int64_t>& size,
        const std::optional<std::vector<std::string>>& sort, ApiCompletion<PageSessionDTO> completion,
        MainQueue* queue = nullptr);
    static Result<PageSessionDTO> searchSessions(const std::optional<std::string>& searchIndex,
                                                 const std::optional<Date>& startDate,
                                                 const std::optional<Date>& endDate,
                                                 const std::optional<bool>& reportedOnly,
                                                 const std::optional<std::int64_t>& page,
                                                 const std::optional<std::int64_t>& size,
                                                 const std::optional<std::vector<std::string>>& sort);

    /// POST "/sessions/{id}/suspect" (session base path).
    static std::shared_ptr<RequestBuilder<NoBody>> reportSuspectSessionWithRequestBuilder(
        const std::string& id, const std::optional<bool>& history, const SuspectSession& body);
    static std::shared_ptr<RequestTask> reportSuspectSession(const std::string& id, const std::optional<bool>& history,
                                                             const SuspectSession& body,
                                                             ApiCompletion<NoBody> completion,
                                                             MainQueue* queue = nullptr);
    static Result<NoBody> reportSuspectSession(const std::string& id, const std::optional<bool>& history,
                                               const SuspectSession& body);

    /// DELETE "/sessions/logoutAll" (session base path).
    static std::shared_ptr<RequestBuilder<NoBody>> logoutAllWithRequestBuilder(
        const std::optional<std::string>& xAuthenticatedUser);
    static std::shared_ptr<RequestTask> logoutAll(const std::optional<std::string>& xAuthenticatedUser,
                                                  ApiCompletion<NoBody> completion, MainQueue* queue = nullptr);
    static Result<NoBody> logoutAll(const std::optional<std::string>& xAuthenticatedUser);
};

}  // namespace qel::vek
