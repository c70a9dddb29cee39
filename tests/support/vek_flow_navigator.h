#pragma once
// A navigator that records every transition and opens the sign-in flow's dialogs for real: their
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

    void performSegue(const std::string& identifier, const ui::SegueValues& values) override {
        FakeNavigator::performSegue(identifier, values);
        const auto* sent = std::any_cast<VekRequestRef>(&values.sender);
        const VekRequestRef request = sent ? *sent : nullptr;
        if (identifier == ui::segue::vekWait) {
            waitView = std::make_shared<FakeVekWaitView>();
            auto c = std::make_shared<VekWaitController>(*waitView, service, holder);
            c->delegate = values.vekDelegate;
            c->request = request;
            waits.push_back(c);
            c->viewDidAppear();
        } else if (identifier == ui::segue::vekAuth) {
            authView = std::make_shared<FakeVekAuthView>();
            auth = std::make_shared<VekAuthViewController>(*authView);
            auth->delegate = values.vekDelegate;
            auth->request = request;
            auth->viewDidAppear();
        } else if (identifier == ui::segue::vekCodes) {
            codesView = std::make_shared<FakeVekCodesView>();
            codes = std::make_shared<VekCodesController>(*codesView);
            codes->delegate = values.vekDelegate;
            codes->request = request;
            codes->viewDidAppear();
        } else if (identifier == ui::segue::vekValid) {
            validView = std::make_shared<FakeVekValidView>();
            valid = std::make_shared<VekValidController>(*validView);
            valid->request = request;
            valid->viewDidAppear();
        } else if (identifier == ui::segue::vekAlert) {
            alertView = std::make_shared<FakeVekAlertView>();
            alert = std::make_shared<VekAlertController>(*alertView);
            if (const auto* type = std::any_cast<vek::RespType>(&values.sender)) alert->type = *type;
            alert->viewDidAppear();
        } else if (identifier == ui::segue::vekQuit) {
            quitView = std::make_shared<FakeVekQuitView>();
            quit = std::make_shared<VekQuitController>(*quitView);
            quit->delegate = values.vekDelegate;
        }
    }

    /// The identifiers of the transitions so far, in order.
    std::vector<std::string> identifiers() const {
        std::vector<std::string> ids;
        for (const auto& s : segues) ids.push_back(s.identifier);
        return ids;
    }

    VekOperations& service;
    CardHolderSource* holder = nullptr;
    // The latest dialog of each kind (kept after it closed, as a closed window's record).
    std::shared_ptr<FakeVekWaitView> waitView;
    std::vector<std::shared_ptr<VekWaitController>> waits;
    std::shared_ptr<FakeVekAuthView> authView;
    std::shared_ptr<VekAuthViewController> auth;
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
