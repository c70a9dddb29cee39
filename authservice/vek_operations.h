#pragma once
// The six calls of the sign-in flow, behind one interface so that the flow runs against the
// service or against a test double.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "authservice/error_response.h"
#include "authservice/models/flow_models.h"
#include "authservice/result.h"

namespace qel {

/// Calls of the authentication service that the flow makes. Each returns at once; its completion
/// runs later on the main queue, exactly once. `idNat` goes in "X-Authenticated-User".
class VekOperations {
public:
    template <typename T>
    using Completion = std::function<void(vek::Result<T>)>;
    /// Empty on success.
    using Done = std::function<void(std::optional<vek::ErrorResponse>)>;

    virtual ~VekOperations() = default;
    virtual void getPendingRequests(const std::string& idNat,
                                    Completion<std::vector<vek::PendingAuthenticationRequestDto>> done) = 0;
    /// Without the holder's header.
    virtual void getCodeState(Completion<vek::EnabledFlagDto> done) = 0;
    /// The codes in the order in which the returned set yields them.
    virtual void createCodeChallenges(const std::string& idNat, const std::string& notificationId,
                                      Completion<std::vector<std::string>> done) = 0;
    virtual void verifyCode(const std::string& idNat, const std::string& code, const std::string& notificationId,
                            Completion<vek::VerifyCodeResponseDto> done) = 0;
    virtual void postCardResponse(const std::string& idNat, const vek::CibaAuthenticationCardResponseDto& response,
                                  Done done) = 0;
    virtual void logoutAll(const std::string& idNat, Done done) = 0;
};

/// The holder of the card now in the reader, asked before every call so that a request is never
/// answered for someone else.
class CardHolderSource {
public:
    virtual ~CardHolderSource() = default;
    /// The national identifier read from the card in the selected reader; empty when there is no
    /// card or it cannot be read.
    virtual std::string currentHolderIdentifier() = 0;
};

}  // namespace qel
