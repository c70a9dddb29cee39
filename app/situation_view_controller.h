#pragma once
#include <memory>
#include <vector>

#include "app/delegates.h"
#include "management/views/desktop_services.h"
#include "app/views/situation_view.h"
#include "issuerlib/situ_factu_infos.h"

namespace qel {

class Pkcs11Card;

/// The situations sub-view: reads the holder's practice situations once per card (the user must be
/// logged in) and shows them one page per situation. Main thread only.
class SituationViewController {
public:
    /// The view's outlets must be complete; the page and copy buttons are wired here.
    SituationViewController(ui::SituationView& view, MainWindowDelegate& mainWindow, ui::Clipboard& clipboard);

    /// The view is about to be shown: reads the situations when none are held yet.
    void viewWillAppear();
    void onNext();
    void onPrevious();
    void onCopySitu();
    void onCopyFactu();

    /// Forgets the situations (a new card was read).
    void reset();

    std::shared_ptr<Pkcs11Card> pCard;
    std::vector<SituFactuStruct> situFactuInfosTab;
    int currentPage = 0;
    int totalSitu = 0;

private:
    void showPage(int page);
    void updatePageCounter();

    ui::SituationView& view_;
    const ui::SituationOutlets& o_;
    MainWindowDelegate& mainWindow_;
    ui::Clipboard& clipboard_;
};

}  // namespace qel
