#include "authservice/vek_service_operations.h"

#include "authservice/apis/authentication_apis.h"
#include "authservice/apis/session_management_api.h"

namespace qel {

namespace {

vek::ApiCompletion<vek::NoBody> noBody(VekOperations::Done done) {
    return [done = std::move(done)](vek::Result<vek::NoBody> result) {
        done(result ? std::nullopt : std::optional<vek::ErrorResponse>(result.error()));
    };
}

}  // namespace

void ServiceVekOperations::getPendingRequests(const std::string& idNat,
                                              Completion<std::vector<vek::PendingAuthenticationRequestDto>> done) {
    vek::CIBAAuthenticationAPIAPI::getPendingRequests(idNat, std::move(done), &mainQueue_);
}

void ServiceVekOperations::getCodeState(Completion<vek::EnabledFlagDto> done) {
    vek::MultiFactorCIBAAuthenticationConfigurationAPI::getCodeState(std::move(done), &mainQueue_);
}

void ServiceVekOperations::createCodeChallenges(const std::string& idNat, const std::string& notificationId,
                                                Completion<std::vector<std::string>> done) {
    vek::MultiFactorCIBAAuthenticationAPI::createCodeChallenges(
        vek::NotificationKeyDto{notificationId}, idNat,
        [done = std::move(done)](vek::Result<vek::CodeSet> result) {
            if (!result) return done(result.error());
            // In the order in which the set yields them.
            done(std::vector<std::string>(result.value().begin(), result.value().end()));
        },
        &mainQueue_);
}

void ServiceVekOperations::verifyCode(const std::string& idNat, const std::string& code,
                                      const std::string& notificationId, Completion<vek::VerifyCodeResponseDto> done) {
    vek::MultiFactorCIBAAuthenticationAPI::verifyCode(vek::VerifyCodeRequestDto{code, notificationId}, idNat,
                                                      std::move(done), &mainQueue_);
}

void ServiceVekOperations::postCardResponse(const std::string& idNat,
                                            const vek::CibaAuthenticationCardResponseDto& response, Done done) {
    vek::CIBAAuthenticationAPIAPI::postCardResponse(response, idNat, noBody(std::move(done)), &mainQueue_);
}

void ServiceVekOperations::logoutAll(const std::string& idNat, Done done) {
    vek::SessionManagementAPIAPI::logoutAll(idNat, noBody(std::move(done)), &mainQueue_);
}

}  // namespace qel
