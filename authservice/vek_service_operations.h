#pragma once
#include "authservice/vek_operations.h"
#include "common/main_queue.h"

namespace qel {

/// The flow's calls made to the authentication service through the REST runtime; completions on
/// `mainQueue`.
class ServiceVekOperations : public VekOperations {
public:
    explicit ServiceVekOperations(MainQueue& mainQueue) : mainQueue_(mainQueue) {}

    void getPendingRequests(const std::string& idNat,
                            Completion<std::vector<vek::PendingAuthenticationRequestDto>> done) override;
    void getCodeState(Completion<vek::EnabledFlagDto> done) override;
    void createCodeChallenges(const std::string& idNat, const std::string& notificationId,
                              Completion<std::vector<std::string>> done) override;
    void verifyCode(const std::string& idNat, const std::string& code, const std::string& notificationId,
                    Completion<vek::VerifyCodeResponseDto> done) override;
    void postCardResponse(const std::string& idNat, const vek::CibaAuthenticationCardResponseDto& response,
                          Done done) override;
    void logoutAll(const std::string& idNat, Done done) override;

private:
    MainQueue& mainQueue_;
};

}  // namespace qel
