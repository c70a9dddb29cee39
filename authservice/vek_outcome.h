#pragma once
#include <optional>
#include <string>

#include "authservice/error_response.h"
#include "authservice/vek_request.h"

namespace qel {

/// The outcome of a failed call of the flow, with its log line: TIME_OUT for the service's
/// session time-out (not on a disconnection), otherwise FAILED, or DEAUTH_FAILED when the call was
/// the disconnection (`disconnecting`).
vek::RespType toRespType(const vek::ErrorResponse& error, bool disconnecting);

/// The alert for a request that cannot go on: logged like a failed call, and the same outcome.
vek::RespType failedStep(const std::string& description, bool disconnecting);

/// What the alert shows for an outcome; an absent part keeps the layout's own text.
struct VekAlertTexts {
    std::optional<std::string> title;
    std::optional<std::string> message;
    /// The outcome is good news (no warning sign).
    bool success = false;
};
VekAlertTexts alertTexts(std::optional<vek::RespType> type);

}  // namespace qel
