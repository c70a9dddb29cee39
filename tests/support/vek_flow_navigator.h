#pragma once
// A navigator that records every dialog asked for and opens the sign-in flow's dialogs for real: their
// controllers on recording views, shown at once. The test then plays the holder on the dialog open.
#include <memory>
#include <string>
#include <vector>

#include "app/signin/vek_dialog_controllers.h"
#include "app/signin/vek_wait_controller.h"
#include "tests/support/fake_vek_views.h"
#include "tests/support/fake_views.h"

namespace qel::test {

struct VekFlowNavigator : FakeNavigator {
    VekFlowNavigator(VekOperations& service) : service(service) {}

    void openSignInWait(VekRequestRef request, VekListener* listener) override {
        FakeNavigator::openSignInWait(request, listener);
        waitView = std::make_shared<FakeVekWaitView>();
        auto c = std::make_shared<VekWaitController>(*waitView, service, holder);
        c->listener = listener;
        c->request = std::move(request);
        waits.push_back(c);
        c->onShown();
    }
    void openSignIn(VekRequestRef request, VekListener* listener) override {
        FakeNavigator::openSignIn(request, listener);
        authView = std::make_shared<FakeVekAuthView>();
        auth = std::make_shared<VekAuthController>(*authView);
        auth->listener = listener;
        auth->request = std::move(request);
        auth->onShown();
    }
    void openSignInCodes(VekRequestRef request, VekListener* listener) override {
        FakeNavigator::openSignInCodes(request, listener);
        codesView = std::make_shared<FakeVekCodesView>();
        codes = std::make_shared<VekCodesController>(*codesView);
        codes->listener = listener;
        codes->request = std::move(request);
        codes->onShown();
    }
    void openSignInDone(VekRequestRef request, VekListener* listener) override {
        FakeNavigator::openSignInDone(request, listener);
        validView = std::make_shared<FakeVekValidView>();
        valid = std::make_shared<VekValidController>(*validView);
        valid->request = std::move(request);
        valid->onShown();
    }
    void openSignInAlert(vek::RespType type) override {
        FakeNavigator::openSignInAlert(type);
        alertView = std::make_shared<FakeVekAlertView>();
        alert = std::make_shared<VekAlertController>(*alertView);
        alert->type = type;
        alert->onShown();
    }
    void openQuitWhileSignedIn(VekListener* listener) override {
        FakeNavigator::openQuitWhileSignedIn(listener);
        quitView = std::make_shared<FakeVekQuitView>();
        quit = std::make_shared<VekQuitController>(*quitView);
        quit->listener = listener;
    }

    VekOperations& service;
    CardHolderSource* holder = nullptr;
    // The latest dialog of each kind (kept after it closed, as a closed window's record).
    std::shared_ptr<FakeVekWaitView> waitView;
    std::vector<std::shared_ptr<VekWaitController>> waits;
    std::shared_ptr<FakeVekAuthView> authView;
    std::shared_ptr<VekAuthController> auth;
    std::shared_ptr<FakeVekCodesView> codesView;
    std::shared_ptr<VekCodesController> codes;
    std::shared_ptr<FakeVekValidView> validView;
    std::shared_ptr<VekValidController> valid;
    std::shared_ptr<FakeVekAlertView> alertView;
    std::shared_ptr<VekAlertController> alert;
    std::shared_ptr<FakeVekQuitView> quitView;
    std::shared_ptr<VekQuitController> quit;
};

}  // namespace qel::test
