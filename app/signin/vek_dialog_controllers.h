#pragma once
// The dialogs of the sign-in flow that wait for the holder: the request, the code choice, the
// result, the alert, the quit confirmation and the disconnection information. Each hands over to the
// main window through its delegate and closes. Main thread only.
#include <optional>

#include "app/signin/vek_delegate.h"
#include "app/signin/vek_dialog_views.h"

namespace qel {

/// The request dialog: which service asks for access.
class VekAuthViewController {
public:
    explicit VekAuthViewController(VekAuthView& view) : view_(view) {}
    void viewDidAppear();
    /// Accept.
    void onAuth();
    /// Refuse, and report the request.
    void onNotify();
    /// Refuse.
    void onCanel();

    VekDelegate* delegate = nullptr;
    VekRequestRef request;

private:
    void refuse(bool reported);
    VekAuthView& view_;
};

/// The choice among the three codes the service shows on its side.
class VekCodesController {
public:
    explicit VekCodesController(VekCodesView& view) : view_(view) {}
    void viewDidAppear();
    void onCode1() { choose(0); }
    void onCode2() { choose(1); }
    void onCode3() { choose(2); }
    void onCancel();

    VekDelegate* delegate = nullptr;
    VekRequestRef request;

private:
    void choose(std::size_t index);
    VekCodesView& view_;
};

/// The result of an answered request.
class VekValidController {
public:
    explicit VekValidController(VekValidView& view) : view_(view) {}
    void viewDidAppear();
    void onContinue() { view_.close(); }

    VekDelegate* delegate = nullptr;
    VekRequestRef request;

private:
    VekValidView& view_;
};

/// The alert that ends a request or a disconnection.
class VekAlertController {
public:
    explicit VekAlertController(VekAlertView& view) : view_(view) {}
    /// Shows the texts of `type` and logs the message as shown.
    void viewDidAppear();
    void onClose() { view_.close(); }

    std::optional<vek::RespType> type;

private:
    VekAlertView& view_;
};

/// The quit confirmation while answered requests keep sessions open.
class VekQuitController {
public:
    explicit VekQuitController(VekQuitView& view) : view_(view) {}
    /// Closes every session, then the application ends.
    void onQuit();
    void onCancel() { view_.close(); }

    VekDelegate* delegate = nullptr;

private:
    VekQuitView& view_;
};

/// The disconnection information.
class VekDeauthController {
public:
    explicit VekDeauthController(VekDeauthView& view) : view_(view) {}
    void onContinue() { view_.close(); }

    VekDelegate* delegate = nullptr;
    VekRequestRef request;

private:
    VekDeauthView& view_;
};

}  // namespace qel
