#pragma once
// The operations below the authentication base path.
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

class CIBAAuthenticationAPIAPI {
public:
    /// POST "/authentications/ciba/responses/cancellations" (authentication base path).
    static std::shared_ptr<RequestBuilder<NoBody>> postCibaResponseCancellationWithRequestBuilder(
        const CibaAuthenticationDeviceCancelledResponseDto& body);
    static std::shared_ptr<RequestTask> postCibaResponseCancellation(
        const CibaAuthenticationDeviceCancelledResponseDto& body, ApiCompletion<NoBody> completion,
        MainQueue* queue = nullptr);
    static Result<NoBody> postCibaResponseCancellation(const CibaAuthenticationDeviceCancelledResponseDto& body);

    /// POST "/authentications/ciba/requests" (authentication base path).
    static std::shared_ptr<RequestBuilder<NoBody>> postCibaRequestWithRequestBuilder(
        const std::optional<CibaAuthenticationRequestDtoSerializable>& body);
    static std::shared_ptr<RequestTask> postCibaRequest(
        const std::optional<CibaAuthenticationRequestDtoSerializable>& body, ApiCompletion<NoBody> completion,
        MainQueue* queue = nullptr);
    static Result<NoBody> postCibaRequest(const std::optional<CibaAuthenticationRequestDtoSerializable>& body);

    /// POST "/authentications/ciba/responses" (authentication base path).
    static std::shared_ptr<RequestBuilder<NoBody>> postCibaDeviceResponseWithRequestBuilder(
        const CibaAuthenticationDeviceResponseDto& body);
    static std::shared_ptr<RequestTask> postCibaDeviceResponse(const CibaAuthenticationDeviceResponseDto& body,
                                                               ApiCompletion<NoBody> completion,
                                                               MainQueue* queue = nullptr);
    static Result<NoBody> postCibaDeviceResponse(const CibaAuthenticationDeviceResponseDto& body);

    /// POST "/authentications/ciba/users/validations" (authentication base path).
    static std::shared_ptr<RequestBuilder<NoBody>> postCibaUserValidationWithRequestBuilder(
        const CibaUserValidationDto& body);
    static std::shared_ptr<RequestTask> postCibaUserValidation(const CibaUserValidationDto& body,
                                                               ApiCompletion<NoBody> completion,
                                                               MainQueue* queue = nullptr);
    static Result<NoBody> postCibaUserValidation(const CibaUserValidationDto& body);

    /// GET "/authentications/ciba/requests/pending" (authentication base path).
    static std::shared_ptr<RequestBuilder<std::vector<PendingAuthenticationRequestDto>>>
    getPendingRequestsWithRequestBuilder(const std::optional<std::string>& xAuthenticatedUser);
    static std::shared_ptr<RequestTask> getPendingRequests(
        const std::optional<std::string>& xAuthenticatedUser,
        ApiCompletion<std::vector<PendingAuthenticationRequestDto>> completion, MainQueue* queue = nullptr);
    static Result<std::vector<PendingAuthenticationRequestDto>> getPendingRequests(
        const std::optional<std::string>& xAuthenticatedUser);

    /// POST "/authentications/ciba/card/responses" (authentication base path).
    static std::shared_ptr<RequestBuilder<NoBody>> postCardResponseWithRequestBuilder(
        const CibaAuthenticationCardResponseDto& body, const std::optional<std::string>& xAuthenticatedUser);
    static std::shared_ptr<RequestTask> postCardResponse(const CibaAuthenticationCardResponseDto& body,
                                                         const std::optional<std::string>& xAuthenticatedUser,
                                                         ApiCompletion<NoBody> completion, MainQueue* queue = nullptr);
    static Result<NoBody> postCardResponse(const CibaAuthenticationCardResponseDto& body,
                                           const std::optional<std::string>& xAuthenticatedUser);
};

class MultiFactorCIBAAuthenticationAPI {
public:
    /// POST "/authentications/ciba/multi-factor/code/challenges" (authentication base path).
    static std::shared_ptr<RequestBuilder<CodeSet>> createCodeChallengesWithRequestBuilder(
        const NotificationKeyDto& body, const std::optional<std::string>& xAuthenticatedUser);
    static std::shared_ptr<RequestTask> createCodeChallenges(const NotificationKeyDto& body,
                                                             const std::optional<std::string>& xAuthenticatedUser,
                                                             ApiCompletion<CodeSet> completion,
                                                             MainQueue* queue = nullptr);
    static Result<CodeSet> createCodeChallenges(const NotificationKeyDto& body,
                                                const std::optional<std::string>& xAuthenticatedUser);

    /// POST "/authentications/ciba/multi-factor/code/verify" (authentication base path).
    static std::shared_ptr<RequestBuilder<VerifyCodeResponseDto>> verifyCodeWithRequestBuilder(
        const VerifyCodeRequestDto& body, const std::optional<std::string>& xAuthenticatedUser);
    static std::shared_ptr<RequestTask> verifyCode(const VerifyCodeRequestDto& body,
                                                   const std::optional<std::string>& xAuthenticatedUser,
                                                   ApiCompletion<VerifyCodeResponseDto> completion,
                                                   MainQueue* queue = nullptr);
    static Result<VerifyCodeResponseDto> verifyCode(const VerifyCodeRequestDto& body,
                                                    const std::optional<std::string>& xAuthenticatedUser);
};

class MultiFactorCIBAAuthenticationConfigurationAPI {
public:
    /// GET "/config/ciba/multi-factor/code/state" (authentication base path).
    static std::shared_ptr<RequestBuilder<EnabledFlagDto>> getCodeStateWithRequestBuilder();
    static std::shared_ptr<RequestTask> getCodeState(ApiCompletion<EnabledFlagDto> completion,
                                                     MainQueue* queue = nullptr);
    static Result<EnabledFlagDto> getCodeState();
};

class AuthenticationThroughCookieAPI {
public:
    /// POST "/authenticate/sso" (authentication base path).
    static std::shared_ptr<RequestBuilder<RedirectURIResponseDto>> authenticateSsoWithRequestBuilder(
        const AuthenticationRequestDto& body);
    static std::shared_ptr<RequestTask> authenticateSso(const AuthenticationRequestDto& body,
                                                        ApiCompletion<RedirectURIResponseDto> completion,
                                                        MainQueue* queue = nullptr);
    static Result<RedirectURIResponseDto> authenticateSso(const AuthenticationRequestDto& body);
};

class ServiceProviderAPI {
public:
    /// GET "/service-providers/{clientId}" (authentication base path).
    static std::shared_ptr<RequestBuilder<ClientRepresentationDtoServiceProvider>> getServiceProviderWithRequestBuilder(
        const std::string& clientId);
    static std::shared_ptr<RequestTask> getServiceProvider(
        const std::string& clientId, ApiCompletion<ClientRepresentationDtoServiceProvider> completion,
        MainQueue* queue = nullptr);
    static Result<ClientRepresentationDtoServiceProvider> getServiceProvider(const std::string& clientId);
};

class AuthenticationThroughWalletAPI {
public:
    /// POST "/cancel" (authentication base path).
    static std::shared_ptr<RequestBuilder<NoBody>> walletCancelWithRequestBuilder();
    static std::shared_ptr<RequestTask> walletCancel(ApiCompletion<NoBody> completion, MainQueue* queue = nullptr);
    static Result<NoBody> walletCancel();

    /// POST "/finalize" (authentication base path).
    static std::shared_ptr<RequestBuilder<RedirectURIResponseDto>> walletFinalizeWithRequestBuilder();
    static std::shared_ptr<RequestTask> walletFinalize(ApiCompletion<RedirectURIResponseDto> completion,
                                                       MainQueue* queue = nullptr);
    static Result<RedirectURIResponseDto> walletFinalize();

    /// GET "/session/state" (authentication base path).
    static std::shared_ptr<RequestBuilder<std::string>> getSessionStateWithRequestBuilder();
    static std::shared_ptr<RequestTask> getSessionState(ApiCompletion<std::string> completion,
                                                        MainQueue* queue = nullptr);
    static Result<std::string> getSessionState();

    /// POST "/authenticate/level/eidas1" (authentication base path).
    static std::shared_ptr<RequestBuilder<NoBody>> authenticateLevelEidas1WithRequestBuilder(
        const ChallengeRequestDto& body, const std::optional<std::string>& keyAppVersion);
    static std::shared_ptr<RequestTask> authenticateLevelEidas1(const ChallengeRequestDto& body,
                                                                const std::optional<std::string>& keyAppVersion,
                                                                ApiCompletion<NoBody> completion,
                                                                MainQueue* queue = nullptr);
    static Result<NoBody> authenticateLevelEidas1(const ChallengeRequestDto& body,
                                                  const std::optional<std::string>& keyAppVersion);

    /// POST "/authenticate/level/eidas2" (authentication base path).
    static std::shared_ptr<RequestBuilder<NoBody>> authenticateLevelEidas2WithRequestBuilder(
        const ChallengeRequestDto& body, const std::optional<std::string>& keyAppVersion);
    static std::shared_ptr<RequestTask> authenticateLevelEidas2(const ChallengeRequestDto& body,
                                                                const std::optional<std::string>& keyAppVersion,
                                                                ApiCompletion<NoBody> completion,
                                                                MainQueue* queue = nullptr);
    static Result<NoBody> authenticateLevelEidas2(const ChallengeRequestDto& body,
                                                  const std::optional<std::string>& keyAppVersion);

    /// POST "/authenticate/level/eidas3" (authentication base path).
    static std::shared_ptr<RequestBuilder<NoBody>> authenticateLevelEidas3WithRequestBuilder(
        const ChallengeRequestDto& body, const std::optional<std::string>& keyAppVersion);
    static std::shared_ptr<RequestTask> authenticateLevelEidas3(const ChallengeRequestDto& body,
                                                                const std::optional<std::string>& keyAppVersion,
                                                                ApiCompletion<NoBody> completion,
                                                                MainQueue* queue = nullptr);
    static Result<NoBody> authenticateLevelEidas3(const ChallengeRequestDto& body,
                                                  const std::optional<std::string>& keyAppVersion);

    /// POST "/reject" (authentication base path).
    static std::shared_ptr<RequestBuilder<NoBody>> walletRejectWithRequestBuilder(
        const UserDto& body, const std::optional<std::string>& keyAppVersion);
    static std::shared_ptr<RequestTask> walletReject(const UserDto& body,
                                                     const std::optional<std::string>& keyAppVersion,
                                                     ApiCompletion<NoBody> completion, MainQueue* queue = nullptr);
    static Result<NoBody> walletReject(const UserDto& body, const std::optional<std::string>& keyAppVersion);

    /// POST "/request" (authentication base path).
    static std::shared_ptr<RequestBuilder<NoBody>> walletRequestWithRequestBuilder(
        const AuthenticationRequestDto& body);
    static std::shared_ptr<RequestTask> walletRequest(const AuthenticationRequestDto& body,
                                                      ApiCompletion<NoBody> completion, MainQueue* queue = nullptr);
    static Result<NoBody> walletRequest(const AuthenticationRequestDto& body);

    /// GET "/state" (authentication base path).
    static std::shared_ptr<RequestBuilder<PushDtoDataOnly>> getWalletStateWithRequestBuilder();
    static std::shared_ptr<RequestTask> getWalletState(ApiCompletion<PushDtoDataOnly> completion,
                                                       MainQueue* queue = nullptr);
    static Result<PushDtoDataOnly> getWalletState();
};

class ApplicationConfigurationAPIAPI {
public:
    /// GET "/config" (authentication base path).
    static std::shared_ptr<RequestBuilder<NoBody>> getConfigWithRequestBuilder();
    static std::shared_ptr<RequestTask> getConfig(ApiCompletion<NoBody> completion, MainQueue* queue = nullptr);
    static Result<NoBody> getConfig();
};

class MultiFactorAuthenticationCodeFlowAPI {
public:
    /// POST "/multi-factor/code/messaging" (authentication base path).
    static std::shared_ptr<RequestBuilder<CodeMultiFactorAuthnDto>> sendCodeMessagingWithRequestBuilder();
    static std::shared_ptr<RequestTask> sendCodeMessaging(ApiCompletion<CodeMultiFactorAuthnDto> completion,
                                                          MainQueue* queue = nullptr);
    static Result<CodeMultiFactorAuthnDto> sendCodeMessaging();

    /// POST "/multi-factor/code/challenges" (authentication base path).
    static std::shared_ptr<RequestBuilder<std::vector<std::string>>> createCodeFlowChallengesWithRequestBuilder(
        const NotificationKeyDto& body);
    static std::shared_ptr<RequestTask> createCodeFlowChallenges(const NotificationKeyDto& body,
                                                                 ApiCompletion<std::vector<std::string>> completion,
                                                                 MainQueue* queue = nullptr);
    static Result<std::vector<std::string>> createCodeFlowChallenges(const NotificationKeyDto& body);

    /// POST "/multi-factor/code/verify" (authentication base path).
    static std::shared_ptr<RequestBuilder<VerifyCodeResponseDto>> verifyCodeFlowCodeWithRequestBuilder(
        const VerifyCodeRequestDto& body);
    static std::shared_ptr<RequestTask> verifyCodeFlowCode(const VerifyCodeRequestDto& body,
                                                           ApiCompletion<VerifyCodeResponseDto> completion,
                                                           MainQueue* queue = nullptr);
    static Result<VerifyCodeResponseDto> verifyCodeFlowCode(const VerifyCodeRequestDto& body);
};

}  // namespace qel::vek
