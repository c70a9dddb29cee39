#pragma once
#include <memory>

#include "authservice/vek_request.h"

namespace qel {

using vek::VekRequestRef;

/// What the dialogs of the sign-in flow report to the main window. Every operation returns at once
/// and does its work on the main queue 0.1 s later, so that the calling dialog closes its window
/// first. Main thread only.
class VekDelegate {
public:
    virtual ~VekDelegate() = default;
    /// OK: the request dialog for `request`; otherwise the alert for `outcome`.
    virtual void pendingRequestDone(vek::RespType outcome, VekRequestRef request) = 0;
    /// OK: on to the code step; VALID: signed in, disconnection offered; otherwise the alert.
    virtual void authorisationDone(vek::RespType outcome, VekRequestRef request) = 0;
    /// OK: the code choice; otherwise the alert.
    virtual void codeStepDone(vek::RespType outcome, VekRequestRef request) = 0;
    /// OK: the chosen code is verified; otherwise the alert.
    virtual void codeChosen(vek::RespType outcome, VekRequestRef request) = 0;
    /// OK: the request is kept as answered and its result shown; otherwise the alert.
    virtual void validationDone(vek::RespType outcome, VekRequestRef request) = 0;
    /// The end of a disconnection; a silent one (quitting) ends the application, whatever the outcome.
    virtual void disconnectionDone(vek::RespType outcome, bool silent) = 0;
    /// The holder refused: the request is answered CANCELLED, or UNAUTHORIZED when the holder also
    /// reports it as not theirs (`reported`).
    virtual void refuseRequest(VekRequestRef request, bool reported) = 0;
    /// Closes every session of the first answered request's holder.
    virtual void disconnect(bool silent) = 0;
};

}  // namespace qel
