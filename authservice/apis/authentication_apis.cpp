#include "authservice/apis/authentication_apis.h"

#include "authservice/apis/operation_support.h"

namespace qel::vek {

std::shared_ptr<RequestBuilder<NoBody>> CIBAAuthenticationAPIAPI::postCibaResponseCancellationWithRequestBuilder(
    const CibaAuthenticationDeviceCancelledResponseDto& body) {
    const std::string url =
        OpenAPIClientAPI::authenticationBasePath() + "/authentications/ciba/responses/cancellations";
    return HttpRequestBuilderFactory::noBodyBuilder("POST", url, JSONEncodingHelper::encodingParameters(body),
                                                    Headers{}, true);
}

std::shared_ptr<RequestTask> CIBAAuthenticationAPIAPI::postCibaResponseCancellation(
    const CibaAuthenticationDeviceCancelledResponseDto& body, ApiCompletion<NoBody> completion, MainQueue* queue) {
    return detail::runOperation(postCibaResponseCancellationWithRequestBuilder(body), std::move(completion), queue);
}

Result<NoBody> CIBAAuthenticationAPIAPI::postCibaResponseCancellation(
    const CibaAuthenticationDeviceCancelledResponseDto& body) {
    return detail::runOperationBlocking(postCibaResponseCancellationWithRequestBuilder(body));
}

std::shared_ptr<RequestBuilder<NoBody>> CIBAAuthenticationAPIAPI::postCibaRequestWithRequestBuilder(
    const std::optional<CibaAuthenticationRequestDtoSerializable>& body) {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/authentications/ciba/requests";
    return HttpRequestBuilderFactory::noBodyBuilder("POST", url, JSONEncodingHelper::encodingParameters(body),
                                                    Headers{}, true);
}

std::shared_ptr<RequestTask> CIBAAuthenticationAPIAPI::postCibaRequest(
    const std::optional<CibaAuthenticationRequestDtoSerializable>& body, ApiCompletion<NoBody> completion,
    MainQueue* queue) {
    return detail::runOperation(postCibaRequestWithRequestBuilder(body), std::move(completion), queue);
}

Result<NoBody> CIBAAuthenticationAPIAPI::postCibaRequest(
    const std::optional<CibaAuthenticationRequestDtoSerializable>& body) {
    return detail::runOperationBlocking(postCibaRequestWithRequestBuilder(body));
}

std::shared_ptr<RequestBuilder<NoBody>> CIBAAuthenticationAPIAPI::postCibaDeviceResponseWithRequestBuilder(
    const CibaAuthenticationDeviceResponseDto& body) {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/authentications/ciba/responses";
    return HttpRequestBuilderFactory::noBodyBuilder("POST", url, JSONEncodingHelper::encodingParameters(body),
                                                    Headers{}, true);
}

std::shared_ptr<RequestTask> CIBAAuthenticationAPIAPI::postCibaDeviceResponse(
    const CibaAuthenticationDeviceResponseDto& body, ApiCompletion<NoBody> completion, MainQueue* queue) {
    return detail::runOperation(postCibaDeviceResponseWithRequestBuilder(body), std::move(completion), queue);
}

Result<NoBody> CIBAAuthenticationAPIAPI::postCibaDeviceResponse(const CibaAuthenticationDeviceResponseDto& body) {
    return detail::runOperationBlocking(postCibaDeviceResponseWithRequestBuilder(body));
}

std::shared_ptr<RequestBuilder<NoBody>> CIBAAuthenticationAPIAPI::postCibaUserValidationWithRequestBuilder(
    const CibaUserValidationDto& body) {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/authentications/ciba/users/validations";
    return HttpRequestBuilderFactory::noBodyBuilder("POST", url, JSONEncodingHelper::encodingParameters(body),
                                                    Headers{}, true);
}

std::shared_ptr<RequestTask> CIBAAuthenticationAPIAPI::postCibaUserValidation(const CibaUserValidationDto& body,
                                                                              ApiCompletion<NoBody> completion,
                                                                              MainQueue* queue) {
    return detail::runOperation(postCibaUserValidationWithRequestBuilder(body), std::move(completion), queue);
}

Result<NoBody> CIBAAuthenticationAPIAPI::postCibaUserValidation(const CibaUserValidationDto& body) {
    return detail::runOperationBlocking(postCibaUserValidationWithRequestBuilder(body));
}

std::shared_ptr<RequestBuilder<std::vector<PendingAuthenticationRequestDto>>>
CIBAAuthenticationAPIAPI::getPendingRequestsWithRequestBuilder(const std::optional<std::string>& xAuthenticatedUser) {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/authentications/ciba/requests/pending";
    return HttpRequestBuilderFactory::decodingBuilder<std::vector<PendingAuthenticationRequestDto>>(
        "GET", url, std::nullopt, APIHelper::rejectNilHeaders({{"X-Authenticated-User", xAuthenticatedUser}}), true);
}

std::shared_ptr<RequestTask> CIBAAuthenticationAPIAPI::getPendingRequests(
    const std::optional<std::string>& xAuthenticatedUser,
    ApiCompletion<std::vector<PendingAuthenticationRequestDto>> completion, MainQueue* queue) {
    return detail::runOperation(getPendingRequestsWithRequestBuilder(xAuthenticatedUser), std::move(completion), queue);
}

Result<std::vector<PendingAuthenticationRequestDto>> CIBAAuthenticationAPIAPI::getPendingRequests(
    const std::optional<std::string>& xAuthenticatedUser) {
    return detail::runOperationBlocking(getPendingRequestsWithRequestBuilder(xAuthenticatedUser));
}

std::shared_ptr<RequestBuilder<NoBody>> CIBAAuthenticationAPIAPI::postCardResponseWithRequestBuilder(
    const CibaAuthenticationCardResponseDto& body, const std::optional<std::string>& xAuthenticatedUser) {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/authentications/ciba/card/responses";
    return HttpRequestBuilderFactory::noBodyBuilder(
        "POST", url, JSONEncodingHelper::encodingParameters(body),
        APIHelper::rejectNilHeaders({{"X-Authenticated-User", xAuthenticatedUser}}), true);
}

std::shared_ptr<RequestTask> CIBAAuthenticationAPIAPI::postCardResponse(
    const CibaAuthenticationCardResponseDto& body, const std::optional<std::string>& xAuthenticatedUser,
    ApiCompletion<NoBody> completion, MainQueue* queue) {
    return detail::runOperation(postCardResponseWithRequestBuilder(body, xAuthenticatedUser), std::move(completion),
                                queue);
}

Result<NoBody> CIBAAuthenticationAPIAPI::postCardResponse(const CibaAuthenticationCardResponseDto& body,
                                                          const std::optional<std::string>& xAuthenticatedUser) {
    return detail::runOperationBlocking(postCardResponseWithRequestBuilder(body, xAuthenticatedUser));
}

std::shared_ptr<RequestBuilder<CodeSet>> MultiFactorCIBAAuthenticationAPI::createCodeChallengesWithRequestBuilder(
    const NotificationKeyDto& body, const std::optional<std::string>& xAuthenticatedUser) {
    const std::string url =
        OpenAPIClientAPI::authenticationBasePath() + "/authentications/ciba/multi-factor/code/challenges";
    return HttpRequestBuilderFactory::decodingBuilder<CodeSet>(
        "POST", url, JSONEncodingHelper::encodingParameters(body),
        APIHelper::rejectNilHeaders({{"X-Authenticated-User", xAuthenticatedUser}}), true);
}

std::shared_ptr<RequestTask> MultiFactorCIBAAuthenticationAPI::createCodeChallenges(
    const NotificationKeyDto& body, const std::optional<std::string>& xAuthenticatedUser,
    ApiCompletion<CodeSet> completion, MainQueue* queue) {
    return detail::runOperation(createCodeChallengesWithRequestBuilder(body, xAuthenticatedUser), std::move(completion),
                                queue);
}

Result<CodeSet> MultiFactorCIBAAuthenticationAPI::createCodeChallenges(
    const NotificationKeyDto& body, const std::optional<std::string>& xAuthenticatedUser) {
    return detail::runOperationBlocking(createCodeChallengesWithRequestBuilder(body, xAuthenticatedUser));
}

std::shared_ptr<RequestBuilder<VerifyCodeResponseDto>> MultiFactorCIBAAuthenticationAPI::verifyCodeWithRequestBuilder(
    const VerifyCodeRequestDto& body, const std::optional<std::string>& xAuthenticatedUser) {
    const std::string url =
        OpenAPIClientAPI::authenticationBasePath() + "/authentications/ciba/multi-factor/code/verify";
    return HttpRequestBuilderFactory::decodingBuilder<VerifyCodeResponseDto>(
        "POST", url, JSONEncodingHelper::encodingParameters(body),
        APIHelper::rejectNilHeaders({{"X-Authenticated-User", xAuthenticatedUser}}), true);
}

std::shared_ptr<RequestTask> MultiFactorCIBAAuthenticationAPI::verifyCode(
    const VerifyCodeRequestDto& body, const std::optional<std::string>& xAuthenticatedUser,
    ApiCompletion<VerifyCodeResponseDto> completion, MainQueue* queue) {
    return detail::runOperation(verifyCodeWithRequestBuilder(body, xAuthenticatedUser), std::move(completion), queue);
}

Result<VerifyCodeResponseDto> MultiFactorCIBAAuthenticationAPI::verifyCode(
    const VerifyCodeRequestDto& body, const std::optional<std::string>& xAuthenticatedUser) {
    return detail::runOperationBlocking(verifyCodeWithRequestBuilder(body, xAuthenticatedUser));
}

std::shared_ptr<RequestBuilder<EnabledFlagDto>>
MultiFactorCIBAAuthenticationConfigurationAPI::getCodeStateWithRequestBuilder() {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/config/ciba/multi-factor/code/state";
    return HttpRequestBuilderFactory::decodingBuilder<EnabledFlagDto>("GET", url, std::nullopt, Headers{}, true);
}

std::shared_ptr<RequestTask> MultiFactorCIBAAuthenticationConfigurationAPI::getCodeState(
    ApiCompletion<EnabledFlagDto> completion, MainQueue* queue) {
    return detail::runOperation(getCodeStateWithRequestBuilder(), std::move(completion), queue);
}

Result<EnabledFlagDto> MultiFactorCIBAAuthenticationConfigurationAPI::getCodeState() {
    return detail::runOperationBlocking(getCodeStateWithRequestBuilder());
}

std::shared_ptr<RequestBuilder<RedirectURIResponseDto>>
AuthenticationThroughCookieAPI::authenticateSsoWithRequestBuilder(const AuthenticationRequestDto& body) {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/authenticate/sso";
    return HttpRequestBuilderFactory::decodingBuilder<RedirectURIResponseDto>(
        "POST", url, JSONEncodingHelper::encodingParameters(body), Headers{}, true);
}

std::shared_ptr<RequestTask> AuthenticationThroughCookieAPI::authenticateSso(
    const AuthenticationRequestDto& body, ApiCompletion<RedirectURIResponseDto> completion, MainQueue* queue) {
    return detail::runOperation(authenticateSsoWithRequestBuilder(body), std::move(completion), queue);
}

Result<RedirectURIResponseDto> AuthenticationThroughCookieAPI::authenticateSso(const AuthenticationRequestDto& body) {
    return detail::runOperationBlocking(authenticateSsoWithRequestBuilder(body));
}

std::shared_ptr<RequestBuilder<ClientRepresentationDtoServiceProvider>>
ServiceProviderAPI::getServiceProviderWithRequestBuilder(const std::string& clientId) {
    std::string path = "/service-providers/{clientId}";
    replacePlaceholder(path, "{clientId}", clientId);
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + path;
    return HttpRequestBuilderFactory::decodingBuilder<ClientRepresentationDtoServiceProvider>("GET", url, std::nullopt,
                                                                                              Headers{}, true);
}

std::shared_ptr<RequestTask> ServiceProviderAPI::getServiceProvider(
    const std::string& clientId, ApiCompletion<ClientRepresentationDtoServiceProvider> completion, MainQueue* queue) {
    return detail::runOperation(getServiceProviderWithRequestBuilder(clientId), std::move(completion), queue);
}

Result<ClientRepresentationDtoServiceProvider> ServiceProviderAPI::getServiceProvider(const std::string& clientId) {
    return detail::runOperationBlocking(getServiceProviderWithRequestBuilder(clientId));
}

std::shared_ptr<RequestBuilder<NoBody>> AuthenticationThroughWalletAPI::walletCancelWithRequestBuilder() {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/cancel";
    return HttpRequestBuilderFactory::noBodyBuilder("POST", url, std::nullopt, Headers{}, true);
}

std::shared_ptr<RequestTask> AuthenticationThroughWalletAPI::walletCancel(ApiCompletion<NoBody> completion,
                                                                          MainQueue* queue) {
    return detail::runOperation(walletCancelWithRequestBuilder(), std::move(completion), queue);
}

Result<NoBody> AuthenticationThroughWalletAPI::walletCancel() {
    return detail::runOperationBlocking(walletCancelWithRequestBuilder());
}

std::shared_ptr<RequestBuilder<RedirectURIResponseDto>>
AuthenticationThroughWalletAPI::walletFinalizeWithRequestBuilder() {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/finalize";
    return HttpRequestBuilderFactory::decodingBuilder<RedirectURIResponseDto>("POST", url, std::nullopt, Headers{},
                                                                              true);
}

std::shared_ptr<RequestTask> AuthenticationThroughWalletAPI::walletFinalize(
    ApiCompletion<RedirectURIResponseDto> completion, MainQueue* queue) {
    return detail::runOperation(walletFinalizeWithRequestBuilder(), std::move(completion), queue);
}

Result<RedirectURIResponseDto> AuthenticationThroughWalletAPI::walletFinalize() {
    return detail::runOperationBlocking(walletFinalizeWithRequestBuilder());
}

std::shared_ptr<RequestBuilder<std::string>> AuthenticationThroughWalletAPI::getSessionStateWithRequestBuilder() {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/session/state";
    return HttpRequestBuilderFactory::decodingBuilder<std::string>("GET", url, std::nullopt, Headers{}, true);
}

std::shared_ptr<RequestTask> AuthenticationThroughWalletAPI::getSessionState(ApiCompletion<std::string> completion,
                                                                             MainQueue* queue) {
    return detail::runOperation(getSessionStateWithRequestBuilder(), std::move(completion), queue);
}

Result<std::string> AuthenticationThroughWalletAPI::getSessionState() {
    return detail::runOperationBlocking(getSessionStateWithRequestBuilder());
}

std::shared_ptr<RequestBuilder<NoBody>> AuthenticationThroughWalletAPI::authenticateLevelEidas1WithRequestBuilder(
    const ChallengeRequestDto& body, const std::optional<std::string>& keyAppVersion) {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/authenticate/level/eidas1";
    return HttpRequestBuilderFactory::noBodyBuilder("POST", url, JSONEncodingHelper::encodingParameters(body),
                                                    APIHelper::rejectNilHeaders({{"Key-App-Version", keyAppVersion}}),
                                                    true);
}

std::shared_ptr<RequestTask> AuthenticationThroughWalletAPI::authenticateLevelEidas1(
    const ChallengeRequestDto& body, const std::optional<std::string>& keyAppVersion, ApiCompletion<NoBody> completion,
    MainQueue* queue) {
    return detail::runOperation(authenticateLevelEidas1WithRequestBuilder(body, keyAppVersion), std::move(completion),
                                queue);
}

Result<NoBody> AuthenticationThroughWalletAPI::authenticateLevelEidas1(
    const ChallengeRequestDto& body, const std::optional<std::string>& keyAppVersion) {
    return detail::runOperationBlocking(authenticateLevelEidas1WithRequestBuilder(body, keyAppVersion));
}

std::shared_ptr<RequestBuilder<NoBody>> AuthenticationThroughWalletAPI::authenticateLevelEidas2WithRequestBuilder(
    const ChallengeRequestDto& body, const std::optional<std::string>& keyAppVersion) {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/authenticate/level/eidas2";
    return HttpRequestBuilderFactory::noBodyBuilder("POST", url, JSONEncodingHelper::encodingParameters(body),
                                                    APIHelper::rejectNilHeaders({{"Key-App-Version", keyAppVersion}}),
                                                    true);
}

std::shared_ptr<RequestTask> AuthenticationThroughWalletAPI::authenticateLevelEidas2(
    const ChallengeRequestDto& body, const std::optional<std::string>& keyAppVersion, ApiCompletion<NoBody> completion,
    MainQueue* queue) {
    return detail::runOperation(authenticateLevelEidas2WithRequestBuilder(body, keyAppVersion), std::move(completion),
                                queue);
}

Result<NoBody> AuthenticationThroughWalletAPI::authenticateLevelEidas2(
    const ChallengeRequestDto& body, const std::optional<std::string>& keyAppVersion) {
    return detail::runOperationBlocking(authenticateLevelEidas2WithRequestBuilder(body, keyAppVersion));
}

std::shared_ptr<RequestBuilder<NoBody>> AuthenticationThroughWalletAPI::authenticateLevelEidas3WithRequestBuilder(
    const ChallengeRequestDto& body, const std::optional<std::string>& keyAppVersion) {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/authenticate/level/eidas3";
    return HttpRequestBuilderFactory::noBodyBuilder("POST", url, JSONEncodingHelper::encodingParameters(body),
                                                    APIHelper::rejectNilHeaders({{"Key-App-Version", keyAppVersion}}),
                                                    true);
}

std::shared_ptr<RequestTask> AuthenticationThroughWalletAPI::authenticateLevelEidas3(
    const ChallengeRequestDto& body, const std::optional<std::string>& keyAppVersion, ApiCompletion<NoBody> completion,
    MainQueue* queue) {
    return detail::runOperation(authenticateLevelEidas3WithRequestBuilder(body, keyAppVersion), std::move(completion),
                                queue);
}

Result<NoBody> AuthenticationThroughWalletAPI::authenticateLevelEidas3(
    const ChallengeRequestDto& body, const std::optional<std::string>& keyAppVersion) {
    return detail::runOperationBlocking(authenticateLevelEidas3WithRequestBuilder(body, keyAppVersion));
}

std::shared_ptr<RequestBuilder<NoBody>> AuthenticationThroughWalletAPI::walletRejectWithRequestBuilder(
    const UserDto& body, const std::optional<std::string>& keyAppVersion) {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/reject";
    return HttpRequestBuilderFactory::noBodyBuilder("POST", url, JSONEncodingHelper::encodingParameters(body),
                                                    APIHelper::rejectNilHeaders({{"Key-App-Version", keyAppVersion}}),
                                                    true);
}

std::shared_ptr<RequestTask> AuthenticationThroughWalletAPI::walletReject(
    const UserDto& body, const std::optional<std::string>& keyAppVersion, ApiCompletion<NoBody> completion,
    MainQueue* queue) {
    return detail::runOperation(walletRejectWithRequestBuilder(body, keyAppVersion), std::move(completion), queue);
}

Result<NoBody> AuthenticationThroughWalletAPI::walletReject(const UserDto& body,
                                                            const std::optional<std::string>& keyAppVersion) {
    return detail::runOperationBlocking(walletRejectWithRequestBuilder(body, keyAppVersion));
}

std::shared_ptr<RequestBuilder<NoBody>> AuthenticationThroughWalletAPI::walletRequestWithRequestBuilder(
    const AuthenticationRequestDto& body) {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/request";
    return HttpRequestBuilderFactory::noBodyBuilder("POST", url, JSONEncodingHelper::encodingParameters(body),
                                                    Headers{}, true);
}

std::shared_ptr<RequestTask> AuthenticationThroughWalletAPI::walletRequest(const AuthenticationRequestDto& body,
                                                                           ApiCompletion<NoBody> completion,
                                                                           MainQueue* queue) {
    return detail::runOperation(walletRequestWithRequestBuilder(body), std::move(completion), queue);
}

Result<NoBody> AuthenticationThroughWalletAPI::walletRequest(const AuthenticationRequestDto& body) {
    return detail::runOperationBlocking(walletRequestWithRequestBuilder(body));
}

std::shared_ptr<RequestBuilder<PushDtoDataOnly>> AuthenticationThroughWalletAPI::getWalletStateWithRequestBuilder() {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/state";
    return HttpRequestBuilderFactory::decodingBuilder<PushDtoDataOnly>("GET", url, std::nullopt, Headers{}, true);
}

std::shared_ptr<RequestTask> AuthenticationThroughWalletAPI::getWalletState(ApiCompletion<PushDtoDataOnly> completion,
                                                                            MainQueue* queue) {
    return detail::runOperation(getWalletStateWithRequestBuilder(), std::move(completion), queue);
}

Result<PushDtoDataOnly> AuthenticationThroughWalletAPI::getWalletState() {
    return detail::runOperationBlocking(getWalletStateWithRequestBuilder());
}

std::shared_ptr<RequestBuilder<NoBody>> ApplicationConfigurationAPIAPI::getConfigWithRequestBuilder() {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/config";
    return HttpRequestBuilderFactory::noBodyBuilder("GET", url, std::nullopt, Headers{}, true);
}

std::shared_ptr<RequestTask> ApplicationConfigurationAPIAPI::getConfig(ApiCompletion<NoBody> completion,
                                                                       MainQueue* queue) {
    return detail::runOperation(getConfigWithRequestBuilder(), std::move(completion), queue);
}

Result<NoBody> ApplicationConfigurationAPIAPI::getConfig() {
    return detail::runOperationBlocking(getConfigWithRequestBuilder());
}

std::shared_ptr<RequestBuilder<CodeMultiFactorAuthnDto>>
MultiFactorAuthenticationCodeFlowAPI::sendCodeMessagingWithRequestBuilder() {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/multi-factor/code/messaging";
    return HttpRequestBuilderFactory::decodingBuilder<CodeMultiFactorAuthnDto>("POST", url, std::nullopt, Headers{},
                                                                               true);
}

std::shared_ptr<RequestTask> MultiFactorAuthenticationCodeFlowAPI::sendCodeMessaging(
    ApiCompletion<CodeMultiFactorAuthnDto> completion, MainQueue* queue) {
    return detail::runOperation(sendCodeMessagingWithRequestBuilder(), std::move(completion), queue);
}

Result<CodeMultiFactorAuthnDto> MultiFactorAuthenticationCodeFlowAPI::sendCodeMessaging() {
    return detail::runOperationBlocking(sendCodeMessagingWithRequestBuilder());
}

std::shared_ptr<RequestBuilder<std::vector<std::string>>>
MultiFactorAuthenticationCodeFlowAPI::createCodeFlowChallengesWithRequestBuilder(const NotificationKeyDto& body) {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/multi-factor/code/challenges";
    return HttpRequestBuilderFactory::decodingBuilder<std::vector<std::string>>(
        "POST", url, JSONEncodingHelper::encodingParameters(body), Headers{}, true);
}

std::shared_ptr<RequestTask> MultiFactorAuthenticationCodeFlowAPI::createCodeFlowChallenges(
    const NotificationKeyDto& body, ApiCompletion<std::vector<std::string>> completion, MainQueue* queue) {
    return detail::runOperation(createCodeFlowChallengesWithRequestBuilder(body), std::move(completion), queue);
}

Result<std::vector<std::string>> MultiFactorAuthenticationCodeFlowAPI::createCodeFlowChallenges(
    const NotificationKeyDto& body) {
    return detail::runOperationBlocking(createCodeFlowChallengesWithRequestBuilder(body));
}

std::shared_ptr<RequestBuilder<VerifyCodeResponseDto>>
MultiFactorAuthenticationCodeFlowAPI::verifyCodeFlowCodeWithRequestBuilder(const VerifyCodeRequestDto& body) {
    const std::string url = OpenAPIClientAPI::authenticationBasePath() + "/multi-factor/code/verify";
    return HttpRequestBuilderFactory::decodingBuilder<VerifyCodeResponseDto>(
        "POST", url, JSONEncodingHelper::encodingParameters(body), Headers{}, true);
}

std::shared_ptr<RequestTask> MultiFactorAuthenticationCodeFlowAPI::verifyCodeFlowCode(
    const VerifyCodeRequestDto& body, ApiCompletion<VerifyCodeResponseDto> completion, MainQueue* queue) {
    return detail::runOperation(verifyCodeFlowCodeWithRequestBuilder(body), std::move(completion), queue);
}

Result<VerifyCodeResponseDto> MultiFactorAuthenticationCodeFlowAPI::verifyCodeFlowCode(
    const VerifyCodeRequestDto& body) {
    return detail::runOperationBlocking(verifyCodeFlowCodeWithRequestBuilder(body));
}

}  // namespace qel::vek
