#pragma once
#include <functional>
#include <memory>

#include "app/signin/vek_delegate.h"
#include "app/signin/vek_dialog_views.h"
#include "authservice/vek_operations.h"

namespace qel {

/// The waiting dialog: runs the step that the request's `action` names, once per showing, reports
/// the outcome to the delegate and closes. Its call may outlive the window (the validation that
/// follows a verified code), so the controller is shared and keeps itself alive until the call ends.
/// Main thread only.
class VekWaitController : public std::enable_shared_from_this<VekWaitController> {
public:
    /// `holder` may be null (no identity check).
    VekWaitController(VekWaitView& view, VekOperations& service, CardHolderSource* holder);

    /// The dialog is on screen: the request's step starts (only at the first showing).
    void viewDidAppear();
    /// The view is being destroyed: nothing will be shown or closed any more.
    void viewGone() { view_ = nullptr; }

    VekDelegate* delegate = nullptr;
    VekRequestRef request;

private:
    void checkPcsc();
    void codeNeeded();
    void getChallenge();
    void checkChallenge();
    void validate();
    void disconnectAll();

    /// False, after reporting the failure, when the card in the reader is no longer the request's holder.
    bool sameHolder(const std::function<void(vek::RespType)>& report, bool disconnecting);
    /// Reports through the delegate (when there is one) and closes the window.
    void finish(const std::function<void(VekDelegate&)>& report);
    void closeWindow();

    VekWaitView* view_;
    VekOperations& service_;
    CardHolderSource* holder_;
    bool started_ = false;
};

}  // namespace qel
