#include <PCSC/pcsclite.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "common/hex.h"
#include "fake_pcsc_api.h"
#include "platform/pcsc/pcsc_card.h"
#include "platform/pcsc/token_watcher.h"

namespace qel::pcsc {
namespace {

using testing::FakePcscApi;
using namespace std::chrono_literals;

// Cards in these tests carry their serial in their ATR's last bytes; an ATR starting 3B 00 is
// "not a QEL card".
Bytes atrWithSerial(std::uint8_t serial) { return {0x3B, 0x81, 0x80, 0x01, serial}; }

/// Collects what the watcher reports, from its thread, for the test thread to wait on.
class Events {
public:
    void add(std::string e) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(e));
        cv_.notify_all();
    }
    /// Waits until `n` events arrived (or 5 s); returns them all.
    std::vector<std::string> waitFor(std::size_t n) {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, 5s, [&] { return events_.size() >= n; });
        return events_;
    }
    std::vector<std::string> now() {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> events_;
};

class TokenWatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        api->addReader("Contact");
        api->addReader("Contactless");
    }
    void TearDown() override { watcher.reset(); }

    void startWatcher(TokenWatcher::Options options = {10ms, 40ms}) {
        watcher = std::make_unique<TokenWatcher>(
            api,
            [this](SmartCard& card) -> std::optional<std::string> {
                sessionsDuringRead.push_back(static_cast<pcsc::PcscCard&>(card).inSession());
                Bytes atr = card.atr();
                reads.add(toHex(atr));
                if (atr.size() < 5 || atr[1] == 0x00) return std::nullopt;
                card.transmit({0x00, 0xCA, 0x00, 0x00});  // the serial reader talks to the card
                return "8025000001" + toHex(&atr[4], 1);
            },
            options);
        watcher->setInsertionHandler([this](const std::string& id) { events.add("+" + id); });
        watcher->setRemovalHandler([this](const std::string& id) { events.add("-" + id); });
        watcher->setServiceHandler([this](TokenWatcher::ServiceState s) {
            events.add(s == TokenWatcher::ServiceState::available ? "service up" : "service down");
        });
        watcher->start();
    }

    std::shared_ptr<FakePcscApi> api = std::make_shared<FakePcscApi>();
    Events events;
    Events reads;  // ATRs of the cards the serial reader was given
    std::vector<bool> sessionsDuringRead;
    std::unique_ptr<TokenWatcher> watcher;
};

const std::string kToken07 = "org.oberlane.qel.sigilla:802500000107";
const std::string kToken08 = "org.oberlane.qel.sigilla:802500000108";

TEST_F(TokenWatcherTest, ReportsCardsPresentAtStartThenInsertionsAndRemovals) {
    api->insertCard("Contactless", atrWithSerial(0x07));
    startWatcher();
    EXPECT_EQ(events.waitFor(2), (std::vector<std::string>{"service up", "+" + kToken07}));
    EXPECT_EQ(watcher->tokenIDs(), std::vector<std::string>{kToken07});
    EXPECT_EQ(watcher->readerOfToken(kToken07), "Contactless");

    api->insertCard("Contact", atrWithSerial(0x08));
    events.waitFor(3);
    api->removeCard("Contactless");
    EXPECT_EQ(events.waitFor(4),
              (std::vector<std::string>{"service up", "+" + kToken07, "+" + kToken08, "-" + kToken07}));
    EXPECT_EQ(watcher->tokenIDs(), std::vector<std::string>{kToken08});
    // The serial is read inside a card session.
    EXPECT_EQ(sessionsDuringRead, (std::vector<bool>{true, true}));
    EXPECT_EQ(api->openHandles(), 0);
}

TEST_F(TokenWatcherTest, PerTokenRemovalHandlerRunsOnceForThatTokenOnly) {
    startWatcher();
    std::vector<std::string> removed;
    watcher->addRemovalHandler([&](const std::string& id) { removed.push_back("07:" + id); }, kToken07);
    watcher->addRemovalHandler([&](const std::string& id) { removed.push_back("08:" + id); }, kToken08);
    api->insertCard("Contact", atrWithSerial(0x07));
    api->insertCard("Contactless", atrWithSerial(0x08));
    events.waitFor(3);
    api->removeCard("Contact");
    events.waitFor(4);
    api->insertCard("Contact", atrWithSerial(0x07));
    events.waitFor(5);
    api->removeCard("Contact");
    events.waitFor(6);
    // Handlers run on the watcher thread before the general removal handler reports.
    EXPECT_EQ(removed, std::vector<std::string>{"07:" + kToken07});
}

TEST_F(TokenWatcherTest, IgnoresCardsThatAreNotQelCardsAndMuteCards) {
    startWatcher();
    api->insertCard("Contact", {0x3B, 0x00, 0x11, 0x22, 0x33});
    api->insertCard("Contactless", {0x3B}, /*mute=*/true);
    EXPECT_EQ(reads.waitFor(1), std::vector<std::string>{"3B00112233"});
    // Our own connection and other readers' changes must not make the watcher read it again.
    api->addReader("Third");
    api->removeCard("Contactless");
    api->removeCard("Contact");
    api->insertCard("Contact", atrWithSerial(0x07));
    EXPECT_EQ(events.waitFor(2), (std::vector<std::string>{"service up", "+" + kToken07}));
    EXPECT_EQ(reads.now(), (std::vector<std::string>{"3B00112233", "3B81800107"}));
}

TEST_F(TokenWatcherTest, CardSwappedBetweenTwoWaitsIsRemovedThenInserted) {
    api->insertCard("Contact", atrWithSerial(0x07));
    startWatcher();
    events.waitFor(2);
    api->swapCard("Contact", atrWithSerial(0x08));
    EXPECT_EQ(events.waitFor(4),
              (std::vector<std::string>{"service up", "+" + kToken07, "-" + kToken07, "+" + kToken08}));
}

TEST_F(TokenWatcherTest, ReadersPluggedInAndOutAreFollowed) {
    startWatcher();
    events.waitFor(1);
    api->addReader("USB reader");
    api->insertCard("USB reader", atrWithSerial(0x07));
    EXPECT_EQ(events.waitFor(2).back(), "+" + kToken07);
    api->removeReader("USB reader");
    EXPECT_EQ(events.waitFor(3).back(), "-" + kToken07);
    EXPECT_TRUE(watcher->tokenIDs().empty());
}

TEST_F(TokenWatcherTest, ServiceLossRemovesTokensReportsOnceAndRecoversWithoutSpinning) {
    api->insertCard("Contact", atrWithSerial(0x07));
    startWatcher({10ms, 40ms});
    events.waitFor(2);
    api->setServiceUp(false);
    EXPECT_EQ(events.waitFor(4),
              (std::vector<std::string>{"service up", "+" + kToken07, "-" + kToken07, "service down"}));
    int before = api->establishCount();
    std::this_thread::sleep_for(400ms);
    int attempts = api->establishCount() - before;
    // Pauses of 10, 20, then 40 ms: about a dozen tries in 400 ms, not thousands.
    EXPECT_GE(attempts, 3);
    EXPECT_LE(attempts, 20);
    EXPECT_EQ(events.now().size(), 4u);  // "service down" was said once

    api->setServiceUp(true);
    EXPECT_EQ(events.waitFor(6), (std::vector<std::string>{"service up", "+" + kToken07, "-" + kToken07, "service down",
                                                           "service up", "+" + kToken07}));
}

TEST_F(TokenWatcherTest, AbsentServiceAtStartIsReportedAndStopStillReturnsPromptly) {
    api->setServiceUp(false);
    startWatcher({50ms, 5000ms});
    EXPECT_EQ(events.waitFor(1), std::vector<std::string>{"service down"});
    std::this_thread::sleep_for(300ms);  // well into a long pause
    auto start = std::chrono::steady_clock::now();
    watcher->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

TEST_F(TokenWatcherTest, StopCancelsTheBlockingWaitAndAFailingHandlerDoesNotKillTheThread) {
    startWatcher();
    watcher->setInsertionHandler([this](const std::string& id) {
        events.add("+" + id);
        throw std::runtime_error("handler bug");
    });
    events.waitFor(1);
    api->insertCard("Contact", atrWithSerial(0x07));
    events.waitFor(2);
    api->removeCard("Contact");
    EXPECT_EQ(events.waitFor(3).back(), "-" + kToken07);

    auto start = std::chrono::steady_clock::now();
    watcher->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    watcher->stop();  // twice is harmless
}

}  // namespace
}  // namespace qel::pcsc
