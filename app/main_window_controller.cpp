// The main window: start, readers, card reading and the token watch.
#include "app/main_window_controller.h"

#include <stdexcept>

#include "app/kartello_session.h"
#include "management/card_summary.h"
#include "management/card_tables.h"
#include "management/scard/scard.h"
#include "app/token_watch.h"
#include "authservice/tls/client_tls.h"
#include "common/format.h"
#include "common/logger.h"
#include "issuerlib/pkcs11_card.h"
#include "issuerlib/pkcs11_library.h"
#include "issuerlib/pkcs11_slot.h"
#include "platform/pcsc/token_watcher.h"

namespace qel {
namespace {

const char* const kReadingText = "Lecture carte en cours, veuillez patienter...";

// Whether the token is that card (its identifier carries the card's number).
bool carriesToken(const Pkcs11Card& card, const std::string& tokenID) {
    return card.cardFullNumber.size() > 2 && tokenID.find(card.cardFullNumber.substr(2)) != std::string::npos;
}

}  // namespace

MainWindowController::MainWindowController(ui::MainWindowView& view, KartelloSession& kartelloSession,
                                           MainWindowServices services)
    : view_(view),
      o_(view.widgets()),
      session_(kartelloSession),
      s_(std::move(services)),
      identification_(view.identificationView(), s_.clipboard),
      situations_(view.situationView(), *this, s_.clipboard) {
    if (!o_.complete()) throw std::invalid_argument("main window: widgets missing");
    wireControls();
}

MainWindowController::~MainWindowController() {
    if (s_.watcher) s_.watcher->setInsertionHandler(nullptr);
}

std::chrono::system_clock::time_point MainWindowController::now() const {
    return s_.clock ? s_.clock() : std::chrono::system_clock::now();
}

void MainWindowController::setUp() {
    o_.cardComboBox->removeAllItems();
    o_.cardStatus->setText("");
    view_.showSubView(ui::SubView::identification);
    showIdentificationPane(true);
    if (s_.parts.vek) s_.parts.vek->loadParams();
    if (s_.watcher) {
        // Called on the watcher's thread.
        s_.watcher->setInsertionHandler([this](const std::string& tokenID) { onTokenInserted(tokenID); });
    }
}

void MainWindowController::onShown() {
    o_.activateDemoMenuItem->setEnabled(!isDemoMode_);
    o_.desactivateDemoMenuItem->setEnabled(isDemoMode_);
    const std::string loading = "Chargement de la bibliothèque PKCS#11...";
    o_.cardStatus->setText(loading);
    if (!s_.library.isLoaded())
        logError(format("Librairie PKCS11 non chargée : %s (%s)", s_.library.path().c_str(),
                        s_.library.loadError().c_str()));
    CK_RV rv = s_.library.initialize();
    logDebug(format("C_Initialize: %lu", static_cast<unsigned long>(rv)));
    if (rv == CKR_OK) {
        session_.p11Loaded = true;
        refreshReaders();
    }
    // What the first read found stays said (no card, a contactless card, no service).
    if (o_.cardStatus->text() == loading) o_.cardStatus->setText("");
}

void MainWindowController::logoutCard(Pkcs11Card& card) {
    // Logs out and, when this program logged in, resets the card: the PIN verified here must not
    // serve any other program. That reset is ours, not another program's.
    card.logout();
    ownResetDone();
}

void MainWindowController::resetCardState() {
    p11SlotDict_.clear();
    p11Card_.clear();
    o_.cardComboBox->removeAllItems();
    // The list is rebuilt: a position means another reader now, so the next selection must read.
    readerSelected_ = 99;
    isCardBlocked_ = false;
    isCardInserted_ = false;
    isUserAuthenticated_ = false;
    isCardRevoked_ = false;
    definitivelyBlocked_ = false;
    o_.tmajNotif->setHidden(true);
    updateUI();
    showIdentificationPane(true);
}

void MainWindowController::refreshReaders() { rebuildReaderList(o_.cardComboBox->selectedKey()); }

void MainWindowController::rebuildReaderList(const std::string& preferredReader) {
    o_.refreshButton->setEnabled(false);
    if (isCardInserted_) {
        auto it = p11Card_.find(static_cast<unsigned>(readerSelected_));
        if (it != p11Card_.end()) {
            logoutCard(*it->second);
            it->second->dropSession();
        }
    }
    resetCardState();

    if (session_.p11Loaded) {
        std::vector<CK_SLOT_ID> slotIds;
        CK_RV rv = s_.library.getSlotList(slotIds);
        logDebug(format("C_GetSlotList: %lu", static_cast<unsigned long>(rv)));
        if (rv == CKR_OK) {
            logDebug(format("C_GetSlotList a trouvé %zu slots", slotIds.size()));
            if (slotIds.empty()) {
                o_.cardComboBox->addItem("Pas de lecteur détecté !", "");
                logInfo("Pas de lecteur vu par la librairie PKCS11");
            } else {
                for (CK_SLOT_ID id : slotIds) {
                    auto slot = std::make_unique<Pkcs11Slot>(s_.library, id);
                    slot->refreshSlot();
                    const std::string key = trimControlCharacters(slot->name);
                    o_.cardComboBox->addItem(key, key);
                    p11SlotDict_.push_back(std::move(slot));
                }
                if (o_.cardComboBox->itemCount() == 1) o_.cardComboBox->selectItem(0);

                // The slots were refreshed just above; the survey adds the contactless cards the
                // library does not see.
                const ScanResult survey = s_.scard.scan();
                const auto holdsCard = [&](std::size_t i) {
                    if (p11SlotDict_[i]->cardPresent) return true;
                    const std::string key = o_.cardComboBox->itemKey(static_cast<int>(i));
                    for (const auto& reader : survey.readers)
                        if (reader.isContactless && trimControlCharacters(reader.readerName) == key) return true;
                    return false;
                };
                // A new reader, or one gone, does not move the holder off the card they were on.
                const int preferred = readerEntry(preferredReader);
                int chosen = preferred >= 0 && holdsCard(static_cast<std::size_t>(preferred)) ? preferred : -1;
                for (std::size_t i = 0; chosen < 0 && i < p11SlotDict_.size(); ++i)
                    if (holdsCard(i)) chosen = static_cast<int>(i);
                if (chosen >= 0) {
                    o_.cardComboBox->selectItem(chosen);
                    readerSelection(algoSender);
                } else if (preferred >= 0) {
                    // Still the reader shown, though nothing is read from it: its card may come.
                    o_.cardComboBox->selectItem(preferred);
                }
            }
        }
    }
    o_.refreshButton->setEnabled(true);
}

int MainWindowController::readerEntry(const std::string& readerKey) const {
    if (readerKey.empty()) return -1;
    for (int i = 0; i < o_.cardComboBox->itemCount(); ++i)
        if (o_.cardComboBox->itemKey(i) == readerKey) return i;
    return -1;
}

void MainWindowController::readerSelection(int sender) {
    const int index = o_.cardComboBox->selectedIndex();
    if (isDemoMode_) {
        if (o_.cardComboBox->selectedKey() == kDemoNoCardKey) {
            showIdentificationPane(true);
            o_.identification->setEnabled(false);
        } else {
            showDemoHolder();
            o_.identification->setEnabled(true);
        }
        return;
    }
    if (index == readerSelected_ && sender != algoSender) return;
    readerNameSelected_ = o_.cardComboBox->selectedKey();
    readSelectedCard();
}

void MainWindowController::beginCardReading() {
    o_.cardStatus->setText(kReadingText);
    o_.refreshButton->setEnabled(false);
    o_.progress->setHidden(false);
    o_.progress->startAnimation();
    view_.letEventLoopRun();
}

void MainWindowController::endCardReading() {
    o_.progress->stopAnimation();
    o_.progress->setHidden(true);
    o_.refreshButton->setEnabled(true);
    o_.cardStatus->setText("");
}

void MainWindowController::readSelectedCard() {
    beginCardReading();
    bool cardWasRead = false;
    const int index = o_.cardComboBox->selectedIndex();
    if (!p11SlotDict_.empty() && index >= 0 && index < static_cast<int>(p11SlotDict_.size())) {
        readerSelected_ = index;
        Pkcs11Slot& slot = *p11SlotDict_[static_cast<std::size_t>(index)];
        slot.refreshSlot();
        if (!slot.cardPresent) {
            logWarning("Pas de carte dans le lecteur");
            o_.cardStatus->setText("⚠️ Pas de carte dans le lecteur");
            titleReaderEntry(index, "");
            p11Card_.erase(static_cast<unsigned>(index));
            clearHolderLabels();
            showIdentificationPane(true);
            isCardBlocked_ = false;
            isCardInserted_ = false;
            isUserAuthenticated_ = false;
            definitivelyBlocked_ = false;
        } else {
            readCardInSlot(slot);
            cardWasRead = true;
        }
        updateUI();
    }
    o_.progress->stopAnimation();
    o_.progress->setHidden(true);
    o_.refreshButton->setEnabled(true);
    // The reading text would otherwise stay on after a successful read; what replaced it is said.
    if (cardWasRead) {
        o_.cardStatus->setText("");
        std::string read = "Carte lue : " + o_.cardNameLabel->text();
        if (!o_.cardJobLabel->text().empty()) read += ", " + o_.cardJobLabel->text();
        if (isCardBlocked_) read += ". Carte bloquée";
        view_.announce(read);
    }
    // The service's connections end here: they carry the previous card's identity.
    const auto card = selectedCard();
    vek::selectCard(card ? card->cardFullNumber : std::string());
}

void MainWindowController::readCardInSlot(Pkcs11Slot& slot) {
    const auto position = static_cast<unsigned>(readerSelected_);
    p11Card_.erase(position);
    // The slot's own identifier: right for any library, whatever its numbering.
    auto card = std::make_shared<Pkcs11Card>(s_.library, slot.slotId, false);
    p11Card_[position] = card;
    logSuccess("Carte présente dans le lecteur");
    isCardInserted_ = true;
    o_.tmajNotif->setHidden(true);

    isContactQEL_ = card->contactQEL;
    if (!isContactQEL_) card->cardFullNumber = contactLessSerial_;
    clearHolderLabels();
    showIdentificationPane(true);
    situations_.reset();
    if (s_.parts.certificates) s_.parts.certificates->setCertificates(std::nullopt);

    watchCardResets(trimControlCharacters(slot.name));
    logoutCard(*card);
    isUserAuthenticated_ = false;
    showIdentificationPane(false);

    // One read of the token information carries both lock flags.
    card->refreshTokenInfo();
    const CardLockState lock = cardLockState(card->tokenInfo.flags);
    isCardBlocked_ = lock.blocked;
    definitivelyBlocked_ = lock.definitivelyBlocked;
    if (definitivelyBlocked_) showBlocked();

    HolderInfos holder = card->getHolderInfos();
    isValidCard_ = expiresAfter(holder.finValidite, now());
    isCardRevoked_ = false;

    if (!card->x509Certs) card->loadCertificates();
    if (s_.parts.certificates) s_.parts.certificates->setCertificates(card->x509Certs);

    showHolder(holder);

    const std::size_t certificateCount = s_.parts.certificates ? s_.parts.certificates->certificateCount() : 0;
    isCardRevoked_ = certificateCount >= 1 && s_.parts.certificates->isCardRevoked();
    if (isCardRevoked_) {
        o_.cardStatusLabel->setTextColour(ui::colours::red);
        o_.cardStatusLabel->setText(kRevokedCardText);
        o_.cardStatusLabel->setTooltip(kRevokedCardAdvice);
        // Its certificate signs nothing any more: no sign-in is offered.
        updateUI();
    }
    session_.currentCard = card;
    if (certificateCount >= 2 && s_.parts.trust && card->x509Certs && !card->x509Certs->empty())
        s_.parts.trust->checkIssuerChain(*card->x509Certs->front());
    checkUpdateAvailability(*card);
}

std::shared_ptr<Pkcs11Card> MainWindowController::selectedCard() {
    auto it = p11Card_.find(static_cast<unsigned>(readerSelected_));
    return it != p11Card_.end() ? it->second : nullptr;
}

std::string MainWindowController::selectedReaderName() const {
    const int index = o_.cardComboBox->selectedIndex();
    if (index >= 0 && index < static_cast<int>(p11SlotDict_.size()))
        return trimControlCharacters(p11SlotDict_[static_cast<std::size_t>(index)]->name);
    return o_.cardComboBox->selectedKey();
}

void MainWindowController::onTokenInserted(const std::string& tokenID) {
    if (tokenID.find(pcsc::TokenWatcher::kTokenPrefix) != std::string::npos) {
        // Reading every reader's card blocks; this runs on the watcher's thread, not the window's.
        if (auto match = findReaderOfToken(s_.readers, tokenID))
            s_.mainQueue.post(lifetime_.guard([this, match = *match, tokenID] {
                whenCardEventsFlow([this, match, tokenID] { selectReaderOfToken(match, tokenID); });
            }));
    }
    if (s_.watcher) s_.watcher->addRemovalHandler([this](const std::string& id) { onTokenRemoved(id); }, tokenID);
}

void MainWindowController::selectReaderOfToken(const TokenReader& match, const std::string& tokenID) {
    contactLessSerial_ = match.serial;
    const std::string wanted = trimControlCharacters(match.readerName);
    const int index = readerEntry(wanted);
    // The card shown already (the watcher reports the cards found at its start): reading it again
    // would log its holder out.
    const auto shown = selectedCard();
    if (index >= 0 && index == readerSelected_ && shown && carriesToken(*shown, tokenID)) return;
    if (index >= 0) {
        o_.cardComboBox->selectItem(index);
        readerSelection(algoSender);
        return;
    }
    // The card came in a reader plugged in since the list was made: the list takes it in and
    // shows that card.
    if (!wanted.empty()) rebuildReaderList(wanted);
}

void MainWindowController::onTokenRemoved(const std::string& tokenID) {
    s_.mainQueue.post(lifetime_.guard([this, tokenID] {
        whenCardEventsFlow([this, tokenID] {
            const auto carries = [&tokenID](const Pkcs11Card& card) { return carriesToken(card, tokenID); };
            // A card read earlier in another reader: its entry no longer names its holder.
            for (auto it = p11Card_.begin(); it != p11Card_.end();) {
                const int position = static_cast<int>(it->first);
                if (position != readerSelected_ && carries(*it->second)) {
                    titleReaderEntry(position, "");
                    it = p11Card_.erase(it);
                } else {
                    ++it;
                }
            }
            auto card = selectedCard();
            if (!card || !carries(*card)) return;
            cardWentAway();
            readSelectedCard();
        });
    }));
}

void MainWindowController::whenCardEventsFlow(std::function<void()> event) {
    if (cardEventsPaused_)
        pausedCardEvents_.push_back(std::move(event));
    else
        event();
}

void MainWindowController::pauseCardEvents(bool paused) {
    cardEventsPaused_ = paused;
    if (paused) return;
    // In the order they came, now that the library is the window's again.
    for (auto& event : std::exchange(pausedCardEvents_, {})) event();
}

}  // namespace qel
