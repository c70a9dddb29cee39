#pragma once
#include <QPointer>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <string>

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

/// Opens the dialogs of the main window by transition identifier, each as a window-modal sheet
/// over `window`, with its controller alive exactly as long as the dialog. The PIN dialogs are
/// built here; the other transitions (update wizard, authentication-service dialogs) are opened by
/// whatever was registered for them. An identifier nobody handles is logged and opens nothing.
class QtNavigator : public ui::Navigator {
public:
    using Opener = std::function<void(const ui::SegueValues& values)>;

    QtNavigator(QWidget& window, MainQueue& mainQueue, Scard& scard);

    void performSegue(const std::string& identifier, const ui::SegueValues& values) override;

    /// Opens the update wizard on "TmajSegue", its session on `background`. Both must outlive the
    /// navigator.
    void enableUpdateWizard(BackgroundQueue& background, TmajBackend& backend);

    /// Opens the sign-in flow's seven dialogs, their calls made through `service`, each checked
    /// against the holder of the card in the reader. Both must outlive the navigator.
    void enableVekDialogs(VekOperations& service, CardHolderSource& holder);

    /// Hands a transition to `opener` (replacing the built-in one, if any).
    void registerSegue(const std::string& identifier, Opener opener);

    /// The dialog opened last, while it is open (tests).
    QtSheetDialog* lastDialog() const { return lastDialog_; }

private:
    void openSaisiePin(const ui::SegueValues& values);
    /// The PIN change and the card unlock dialogs, which take the same values.
    template <typename Dialog, typename Controller>
    void openNewPinDialog(const ui::SegueValues& values);
    /// Shows `dialog` as a sheet, holding `controller` as long as it is open.
    void showSheet(QtSheetDialog& dialog, std::shared_ptr<void> controller);

    QWidget& window_;
    MainQueue& mainQueue_;
    Scard& scard_;
    std::map<std::string, Opener> openers_;
    QPointer<QtSheetDialog> lastDialog_;
};

}  // namespace qel::qt
