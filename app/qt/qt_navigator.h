#pragma once
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "app/pin_pad_controller.h"
#include "app/qt/pin_dialogs.h"
#include "app/views/navigator.h"
#include "common/main_queue.h"

namespace qel {
class BackgroundQueue;
class CardHolderSource;
class VekOperations;
class Scard;
class TmajBackend;
}  // namespace qel

namespace qel::qt {

/// Opens the dialogs of the main window, each as a window-modal sheet over `window`, with its
/// controller alive exactly as long as the dialog. The PIN dialogs are always available; the update
/// wizard, the sign-in dialogs and the services test once enabled. A dialog not enabled is logged
/// and opens nothing. A card whose reader has a keypad gets the keypad's wait instead of the text
/// fields for the PIN entry and, on a QEL3, the PIN change, once a background queue is there (the
/// update wizard's).
class QtNavigator : public ui::Navigator {
public:
    using ServicesTestOpener = std::function<void(const ServicesTestRequest& request)>;

    QtNavigator(QWidget& window, MainQueue& mainQueue, Scard& scard);

    void openPinEntry(const ui::PinEntryRequest& request) override;
    void openPinChange(std::shared_ptr<Pkcs11Card> card, MainWindowListener* window) override;
    void openUnlock(std::shared_ptr<Pkcs11Card> card, MainWindowListener* window) override;
    void openUpdateWizard(std::shared_ptr<Pkcs11Card> card, TmajListener* owner) override;
    void openServicesTest(const ServicesTestRequest& request) override;
    void openSignInWait(vek::VekRequestRef request, VekListener* listener) override;
    void openSignIn(vek::VekRequestRef request, VekListener* listener) override;
    void openSignInCodes(vek::VekRequestRef request, VekListener* listener) override;
    void openSignInDone(vek::VekRequestRef request, VekListener* listener) override;
    void openSignOut(vek::VekRequestRef request, VekListener* listener) override;
    void openSignInAlert(vek::RespType type) override;
    void openQuitWhileSignedIn(VekListener* listener) override;

    /// Enables the update wizard, its session on `background`. Both must outlive the navigator.
    void enableUpdateWizard(BackgroundQueue& background, TmajBackend& backend);

    /// Enables the sign-in flow's seven dialogs, their calls made through `service`, each checked
    /// against the holder of the card in the reader. Both must outlive the navigator.
    void enableVekDialogs(VekOperations& service, CardHolderSource& holder);

    /// Enables the services test window, which `opener` builds (it needs the program's library).
    void enableServicesTest(ServicesTestOpener opener) { servicesTest_ = std::move(opener); }

    /// The dialog opened last, while it is open (tests).
    QtSheetDialog* lastDialog() const { return lastDialog_; }

private:
    /// The PIN change and the card unlock dialogs, which take the same values.
    template <typename Dialog, typename Controller>
    void openNewPinDialog(std::shared_ptr<Pkcs11Card> card, MainWindowListener* window);
    /// The wait for the reader's keypad, shown for `card`; the caller sets whom it tells.
    std::shared_ptr<PinPadController> openPinPad(std::shared_ptr<Pkcs11Card> card, PinPadController::Step step);
    /// Shows `dialog` as a sheet, holding `controller` as long as it is open.
    void showSheet(QtSheetDialog& dialog, std::shared_ptr<void> controller);
    /// False, and logged, when the dialog `name` was not enabled.
    bool enabled(bool isEnabled, const char* name) const;

    QWidget& window_;
    MainQueue& mainQueue_;
    Scard& scard_;
    BackgroundQueue* background_ = nullptr;
    TmajBackend* updateBackend_ = nullptr;
    VekOperations* vekService_ = nullptr;
    CardHolderSource* holder_ = nullptr;
    ServicesTestOpener servicesTest_;
    QPointer<QtSheetDialog> lastDialog_;
};

}  // namespace qel::qt
