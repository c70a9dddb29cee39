#include <PCSC/pcsclite.h>
#include <gtest/gtest.h>

#include <thread>

#include "fake_pcsc_api.h"
#include "platform/pcsc/pcsc_card.h"
#include "platform/pcsc/pcsc_error.h"
#include "platform/pcsc/slot_manager.h"

namespace qel::pcsc {
namespace {

using testing::FakePcscApi;
using K = TransportError::Kind;

const Bytes kAtr{0x3B, 0x81, 0x80, 0x01, 0x80, 0x80};

class PcscCardTest : public ::testing::Test {
protected:
    void SetUp() override {
        api->addReader("Reader A");
        api->addReader("Reader B");
        api->insertCard("Reader A", kAtr);
    }
    std::unique_ptr<PcscCard> connect() {
        return std::make_unique<PcscCard>(std::make_shared<PcscContext>(api), "Reader A");
    }

    std::shared_ptr<FakePcscApi> api = std::make_shared<FakePcscApi>();
};

TEST_F(PcscCardTest, ExchangesOverTheNegotiatedProtocolAndKeepsTheAtr) {
    api->setResponder([](const std::string&, const Bytes& apdu) {
        Bytes answer = apdu;  // echo, then 9000
        answer.insert(answer.end(), {0x90, 0x00});
        return answer;
    });
    auto card = connect();
    EXPECT_EQ(card->atr(), kAtr);
    EXPECT_EQ(card->transmit({0x00, 0xCA, 0x01, 0x02}), (Bytes{0x00, 0xCA, 0x01, 0x02, 0x90, 0x00}));
    EXPECT_EQ(api->lastTransmitProtocol(), static_cast<DWORD>(SCARD_PROTOCOL_T1));
    // send() on top: class byte and framing reach the reader.
    card->setCla(0x01);
    CardResponse r = card->send(0xB0, 0x00, 0x00, {}, 4);
    EXPECT_EQ(r.sw, 0x9000);
    EXPECT_EQ(r.data, (Bytes{0x01, 0xB0, 0x00, 0x00, 0x04}));
}

TEST_F(PcscCardTest, TransportFailuresBecomeTransportErrors) {
    struct Case {
        std::vector<LONG> failures;
        K kind;
    };
    const Case cases[] = {
        {{SCARD_W_REMOVED_CARD}, K::cardRemoved},
        {{SCARD_E_NO_SMARTCARD}, K::cardRemoved},
        {{SCARD_E_READER_UNAVAILABLE}, K::noReader},
        {{SCARD_E_NO_SERVICE}, K::noService},
        {{SCARD_E_TIMEOUT}, K::timeout},
        {{SCARD_F_COMM_ERROR}, K::communication},
        // Reset twice in a row: one reconnection only, then the failure is reported.
        {{SCARD_W_RESET_CARD, SCARD_W_RESET_CARD}, K::communication},
    };
    for (const Case& c : cases) {
        auto card = connect();
        api->failNextTransmits(c.failures);
        try {
            card->transmit({0x00, 0xA4, 0x00, 0x00});
            ADD_FAILURE() << "no error for " << pcscErrorName(c.failures.front());
        } catch (const TransportError& e) {
            EXPECT_EQ(e.kind(), c.kind) << e.what();
            EXPECT_EQ(e.platformCode(), c.failures.back());
        }
    }
}

TEST_F(PcscCardTest, BrokenExchangeIsCardRemovedOnlyWhenTheReaderLosesTheCard) {
    // A driver that loses the card mid-exchange first reports a failed transmission, or hands back
    // an answer cut short of its status word.
    enum class Break { failure, shortAnswer };
    for (Break how : {Break::failure, Break::shortAnswer}) {
        SCOPED_TRACE(how == Break::failure ? "failed transmission" : "short answer");
        auto breakNextExchange = [&] {
            if (how == Break::failure) {
                api->failNextTransmits({SCARD_E_NOT_TRANSACTED});
            } else {
                api->setResponder([](const std::string&, const Bytes&) { return Bytes{0x90}; });
            }
        };
        api->insertCard("Reader A", kAtr);
        auto card = connect();
        breakNextExchange();
        std::thread puller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            api->removeCard("Reader A");
        });
        try {
            card->transmit({0x00, 0xB0, 0x00, 0x00});
            ADD_FAILURE() << "no error";
        } catch (const TransportError& e) {
            EXPECT_EQ(e.kind(), K::cardRemoved) << e.what();
        }
        puller.join();

        // The card stays: the failure is what it is.
        api->insertCard("Reader A", kAtr);
        card = connect();
        breakNextExchange();
        try {
            card->transmit({0x00, 0xB0, 0x00, 0x00});
            ADD_FAILURE() << "no error";
        } catch (const TransportError& e) {
            EXPECT_EQ(e.kind(), K::communication) << e.what();
        }
        api->setResponder(nullptr);
    }
}

TEST_F(PcscCardTest, ResetByAnotherApplicationReconnectsOnceAndKeepsTheSession) {
    auto card = connect();
    card->beginSession();
    api->resetCard("Reader A");
    EXPECT_EQ(card->transmit({0x00, 0xB0, 0x00, 0x00, 0x01}), (Bytes{0x90, 0x00}));
    EXPECT_EQ(api->reconnectCount(), 1);
    // The reset ended the transaction; the card opened a new one for the session still running.
    EXPECT_EQ(api->openTransactions(), 1);
    card->endSession();
    EXPECT_EQ(api->openTransactions(), 0);

    // A reset seen when the session begins is recovered the same way.
    api->resetCard("Reader A");
    card->beginSession();
    EXPECT_EQ(api->reconnectCount(), 2);
    EXPECT_EQ(api->openTransactions(), 1);
    card->endSession();

    // Programs ending their logins one after the other reset it again before the transaction is
    // ours: the card is still there, and the session begins after each reset.
    api->failNextBeginTransactions({SCARD_W_RESET_CARD, SCARD_W_RESET_CARD, SCARD_W_RESET_CARD});
    card->beginSession();
    EXPECT_EQ(api->reconnectCount(), 5);
    EXPECT_EQ(api->openTransactions(), 1);
    card->endSession();
    // Without end, it is reported.
    api->failNextBeginTransactions(std::vector<LONG>(8, SCARD_W_RESET_CARD));
    EXPECT_THROW(card->beginSession(), TransportError);
    EXPECT_FALSE(card->inSession());
    EXPECT_EQ(api->openTransactions(), 0);
}

TEST_F(PcscCardTest, SessionsNestAndAPulledCardEndsThemCleanly) {
    auto card = connect();
    card->beginSession();
    card->beginSession();
    card->endSession();
    EXPECT_EQ(api->openTransactions(), 1);
    card->endSession();
    EXPECT_EQ(api->beginCount(), 1);
    EXPECT_EQ(api->endCount(), 1);
    card->endSession();  // one too many: nothing to end
    EXPECT_EQ(api->endCount(), 1);

    {
        CardSession session(*card);
        api->removeCard("Reader A");
        try {
            card->transmit({0x00, 0xB0, 0x00, 0x00, 0x01});
            ADD_FAILURE() << "transmit to a pulled card succeeded";
        } catch (const TransportError& e) {
            EXPECT_EQ(e.kind(), K::cardRemoved);
        }
    }  // the session's end fails on the pulled card and is swallowed
    EXPECT_FALSE(card->inSession());
    card.reset();
    EXPECT_EQ(api->openHandles(), 0);
}

TEST_F(PcscCardTest, RefusedTransactionLeavesNoSessionOpen) {
    auto card = connect();
    api->failNextBeginTransactions({SCARD_E_SHARING_VIOLATION});
    EXPECT_THROW(card->beginSession(), TransportError);
    EXPECT_FALSE(card->inSession());
    card->beginSession();
    EXPECT_TRUE(card->inSession());
    card->endSession();
}

TEST_F(PcscCardTest, SlotManagerReportsReadersStatesAndCards) {
    api->addReader("Reader C");
    api->insertCard("Reader C", {0x3B, 0x00}, /*mute=*/true);
    SlotManager slots(api);
    EXPECT_EQ(slots.slotNames(), (std::vector<std::string>{"Reader A", "Reader B", "Reader C"}));

    auto a = slots.slotNamed("Reader A");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->state, SlotState::cardPresent);
    EXPECT_EQ(a->atr, kAtr);
    EXPECT_EQ(slots.slotNamed("Reader B")->state, SlotState::empty);
    EXPECT_EQ(slots.slotNamed("Reader C")->state, SlotState::mute);
    EXPECT_FALSE(slots.slotNamed("No such reader"));

    EXPECT_TRUE(slots.cardInSlot("Reader A"));
    EXPECT_FALSE(slots.cardInSlot("Reader B"));
    EXPECT_FALSE(slots.cardInSlot("Reader C"));
    EXPECT_FALSE(slots.cardInSlot("No such reader"));
}

TEST_F(PcscCardTest, SlotManagerSurvivesAServiceRestartAndReportsItsAbsence) {
    SlotManager slots(api);
    EXPECT_EQ(slots.slotNames().size(), 2u);
    api->setServiceUp(false);
    try {
        slots.slotNames();
        ADD_FAILURE() << "no error without a service";
    } catch (const TransportError& e) {
        EXPECT_EQ(e.kind(), K::noService);
    }
    api->setServiceUp(true);
    EXPECT_EQ(slots.slotNames().size(), 2u);
}

TEST_F(PcscCardTest, WaitForCardBlocksUntilACardArrivesOrTimeRunsOut) {
    SlotManager slots(api);
    auto start = std::chrono::steady_clock::now();
    auto b = slots.waitForCard("Reader B", std::chrono::milliseconds(150));
    ASSERT_TRUE(b);
    EXPECT_EQ(b->state, SlotState::empty);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));

    std::thread inserter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        api->insertCard("Reader B", kAtr);
    });
    b = slots.waitForCard("Reader B", std::chrono::seconds(5));
    inserter.join();
    ASSERT_TRUE(b);
    EXPECT_EQ(b->state, SlotState::cardPresent);
    EXPECT_EQ(b->atr, kAtr);
}

}  // namespace
}  // namespace qel::pcsc
