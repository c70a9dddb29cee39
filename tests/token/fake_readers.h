#pragma once
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "sim/card/qel_card_model.h"
#include "token/p11/reader_service.h"

namespace qel::testing {

/// Readers in memory for the module: cards are put in and pulled out by the test, the event
/// counts follow as the smart-card service's do, and a connection to a card that was pulled out
/// fails with TransportError(cardRemoved) from then on, even after another insertion.
class FakeReaders : public p11::ReaderService {
public:
    void addReader(const std::string& name);
    void insert(const std::string& reader, std::shared_ptr<sim::QelCardModel> card);
    void remove(const std::string& reader);
    /// Pulls the card out after `exchanges` more commands to it. With `brokenAnswer` the command
    /// that meets the removal gets one byte back instead of a removal error, as some readers do.
    void removeAfter(const std::string& reader, int exchanges, bool brokenAnswer = false);
    /// Another program resets the card: no insertion event, and every connection finds the card
    /// reset at its next use, as pcscd's SCARD_W_RESET_CARD says. With `renewed`, the reset card
    /// answers with those contents from then on (an update rewrote it).
    void resetByOther(const std::string& reader, std::shared_ptr<sim::QelCardModel> renewed = nullptr);
    /// The same, after `exchanges` more commands to the card.
    void resetAfter(const std::string& reader, int exchanges);
    /// The smart-card service restarts: every connection made before fails as the lost service's
    /// do, the cards are powered anew, and the event counts happen to read as before (a new
    /// service counts from the start).
    void restartService();
    /// Commands sent to every card so far.
    int exchanges() const { return exchanges_; }

    std::vector<std::string> readers() override;
    std::optional<p11::ReaderStatus> status(const std::string& reader) override;
    std::unique_ptr<SmartCard> connect(const std::string& reader) override;
    WaitResult waitForChange(const std::vector<p11::ReaderStatus>& known,
                             std::optional<std::chrono::milliseconds> timeout) override;
    void cancelWaits() override;

private:
    struct Reader {
        std::shared_ptr<sim::QelCardModel> card;
        std::uint32_t events = 0;
        int removeAfter = -1;
        int resetAfter = -1;
        std::uint32_t resets = 0;  ///< every reset, ours and others'
        bool brokenAnswer = false;
    };
    class Card;
    void resetLocked(Reader& r, std::shared_ptr<sim::QelCardModel> renewed);
    bool differs(const std::vector<p11::ReaderStatus>& known);
    p11::ReaderStatus statusOf(const std::string& name, const Reader& r) const;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> order_;
    std::map<std::string, Reader> readers_;
    bool cancelled_ = false;
    std::uint32_t service_ = 0;
    std::atomic<int> exchanges_{0};
};

}  // namespace qel::testing
