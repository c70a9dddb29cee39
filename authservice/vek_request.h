#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "authservice/models/flow_models.h"

namespace qel::vek {

/// The step the waiting dialog performs next.
enum class VekAction : int {
    CHECK_PCSC = 0,
    CODE_NEEDED = 1,
    GET_CHALLENGE = 2,
    CHECK_CHALLENGE = 3,
    VALIDATE = 4,
    DISCONNECT = 5,
    NONE = 6,
};
/// The action of that raw value; nothing outside 0 to 6.
std::optional<VekAction> vekActionFromRaw(int raw);

/// The outcome of one step of the sign-in flow.
enum class RespType : int {
    OK = 0,
    NOTIFY = 1,
    BAD_AUTH = 2,
    BAD_CODE = 3,
    NO_AUTH = 4,
    CANCEL = 5,
    TIME_OUT = 6,
    FAILED = 7,
    NEED_CODE = 8,
    VALID = 9,
    DEAUTH_FAILED = 10,
    DEAUTH_OK = 11,
    CARD_ACCESS = 12,
};
/// The outcome of that raw value; nothing outside 0 to 12.
std::optional<RespType> respTypeFromRaw(int raw);

/// One sign-in request carried from dialog to dialog. Shared and mutable: hold it through
/// VekRequestRef so that every holder sees the others' changes. Main thread only.
struct VekRequest {
    VekAction action = VekAction::NONE;
    std::string idNat;           ///< the holder's national identifier, sent as "X-Authenticated-User"
    std::string service;         ///< display name of the service asking for the sign-in
    std::string notificationId;  ///< the pending request at the service
    std::optional<std::vector<std::string>> codes;
    std::string code;
    bool silent = false;  ///< DISCONNECT only: part of quitting, no result shown
    AuthStatus authStatus = AuthStatus::SUCCEED;
};
using VekRequestRef = std::shared_ptr<VekRequest>;

/// A new request as the main window starts one: NONE, empty texts, no codes, not silent, SUCCEED.
inline VekRequestRef makeVekRequest() { return std::make_shared<VekRequest>(); }

}  // namespace qel::vek
