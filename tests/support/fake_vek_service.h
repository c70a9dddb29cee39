#pragma once
// The authentication service's calls of the sign-in flow, answered from fields the test sets, on the
// main queue like the real runtime's completions.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "authservice/vek_operations.h"
#include "common/main_queue.h"

namespace qel::test {

class FakeVekOperations : public VekOperations {
public:
    explicit FakeVekOperations(MainQueue& queue) : queue_(queue) {}

    /// One call as the service received it. `body` holds the fields of the call's body (the code,
    /// the notification, the answer's status).
    struct Call {
        std::string operation;
        std::string idNat;
        std::map<std::string, std::string> body;
    };

    /// An HTTP error answer with that body (none when empty).
    static vek::ErrorResponse httpError(int status, const std::string& body = {}) {
        return vek::ErrorResponse(status, body.empty() ? std::nullopt : std::optional<std::string>(body),
                                  vek::HTTPURLResponse{status, "https://vek.test/", {}},
                                  vek::HttpResponseError{vek::HttpResponseError::Kind::unsuccessfulHTTPStatusCode, ""});
    }
    /// The service's session time-out business error.
    static vek::ErrorResponse sessionTimeout(int status = 400) {
        return httpError(status, R"({"code":"BUSI-AUTHENT-8","message":"Session expirée"})");
    }

    void getPendingRequests(const std::string& idNat,
                            Completion<std::vector<vek::PendingAuthenticationRequestDto>> done) override {
        answer("getPendingRequests", idNat, {}, std::move(done), pending);
    }
    void getCodeState(Completion<vek::EnabledFlagDto> done) override {
        answer("getCodeState", "", {}, std::move(done), codeState);
    }
    void createCodeChallenges(const std::string& idNat, const std::string& notificationId,
                              Completion<std::vector<std::string>> done) override {
        answer("createCodeChallenges", idNat, {{"notificationId", notificationId}}, std::move(done), codes);
    }
    void verifyCode(const std::string& idNat, const std::string& code, const std::string& notificationId,
                    Completion<vek::VerifyCodeResponseDto> done) override {
        answer("verifyCode", idNat, {{"code", code}, {"notificationId", notificationId}}, std::move(done), verify);
    }
    void postCardResponse(const std::string& idNat, const vek::CibaAuthenticationCardResponseDto& response,
                          Done done) override {
        static const char* const statuses[] = {"SUCCEED", "UNAUTHORIZED", "CANCELLED"};
        record("postCardResponse", idNat,
               {{"notificationId", response.notificationId},
                {"authStatus", statuses[static_cast<int>(response.authStatus)]}});
        deliver([done = std::move(done), failure = failureOf("postCardResponse")] { done(failure); });
    }
    void logoutAll(const std::string& idNat, Done done) override {
        record("logoutAll", idNat, {});
        deliver([done = std::move(done), failure = failureOf("logoutAll")] { done(failure); });
    }

    /// Back to a service that answers every call successfully, with nothing recorded.
    void reset() {
        FakeVekOperations fresh(queue_);
        pending = fresh.pending;
        codeState = fresh.codeState;
        codes = fresh.codes;
        verify = fresh.verify;
        failures.clear();
        hold = false;
        calls.clear();
        held_.clear();
    }

    /// The names of the calls made, in order.
    std::vector<std::string> operations() const {
        std::vector<std::string> names;
        for (const auto& c : calls) names.push_back(c.operation);
        return names;
    }
    /// Completions held back (`hold` set) are delivered now, in order.
    void release() {
        for (auto& task : held_) queue_.post(std::move(task));
        held_.clear();
    }

    // Answers (success unless a failure is set for the operation's name).
    std::vector<vek::PendingAuthenticationRequestDto> pending{{std::string("notif-1"), std::nullopt,
                                                               std::string("Portail Santé"), std::nullopt, std::nullopt,
                                                               std::nullopt, std::nullopt}};
    vek::EnabledFlagDto codeState{true};
    std::vector<std::string> codes{"47", "12", "85"};
    vek::VerifyCodeResponseDto verify{true};
    std::map<std::string, vek::ErrorResponse> failures;
    /// Keeps completions until release() (a service that has not answered yet).
    bool hold = false;
    std::vector<Call> calls;

private:
    template <typename T, typename Done>
    void answer(const char* operation, const std::string& idNat, std::map<std::string, std::string> body, Done done,
                const T& value) {
        record(operation, idNat, std::move(body));
        auto failure = failureOf(operation);
        deliver([done = std::move(done), failure, value] {
            if (failure)
                done(vek::Result<T>(*failure));
            else
                done(vek::Result<T>(value));
        });
    }
    void record(const char* operation, const std::string& idNat, std::map<std::string, std::string> body) {
        calls.push_back({operation, idNat, std::move(body)});
    }
    std::optional<vek::ErrorResponse> failureOf(const std::string& operation) const {
        auto it = failures.find(operation);
        return it == failures.end() ? std::nullopt : std::optional<vek::ErrorResponse>(it->second);
    }
    void deliver(std::function<void()> task) {
        if (hold)
            held_.push_back(std::move(task));
        else
            queue_.post(std::move(task));
    }

    MainQueue& queue_;
    std::vector<std::function<void()>> held_;
};

/// The card in the reader, as the flow asks for it before each call.
struct FakeCardHolder : CardHolderSource {
    std::string currentHolderIdentifier() override {
        ++reads;
        return identifier;
    }
    std::string identifier = "810001234567";
    int reads = 0;
};

}  // namespace qel::test
