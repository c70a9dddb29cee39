#include "agent/app_delegate.h"

#include <gtest/gtest.h>

#include "issuerlib/pkcs11_library.h"
#include "tests/support/fake_agent_services.h"
#include "tests/support/fake_issuer_module.h"
#include "tests/support/log_capture.h"

namespace qel::agent {
namespace {

const std::string kToken = "org.oberlane.qel.sigilla:8025000001";

class AgentTest : public ::testing::Test {
protected:
    AgentTest() { SwiftLogger::configure("/Vigilo", "Vigilo", true); }

    // A contact card with its identity object, numbered `number`.
    test::FakeSlot& addCard(const std::string& reader, const std::string& number,
                            const std::string& generation = "QEL3") {
        test::FakeSlot& slot = fake.addSlot(reader, true);
        slot.token.label = generation + "-" + number + "Z";
        slot.token.serial = number + "Z";
        slot.token.objects["QEL_ID_CARD"] = Bytes{0x01};
        return slot;
    }

    int openSessions() const { return static_cast<int>(fake.sessions.size()); }

    test::FakeIssuerModule fake;
    Pkcs11Library library{fake.functions(), nullptr};
    ManualMainQueue queue;
    test::FakeNotificationCenter notifications;
    test::FakeStatusItem statusItem;
    test::FakeProgramLauncher launcher;
    test::FakeLoginItems loginItems;
    test::FakeDistributedNotifications distributed;
    std::vector<std::string> checked;
    int checkAnswer = 1;
    AppDelegate agent{AgentServices{library, queue, notifications, statusItem, launcher, loginItems, distributed,
                                    [this](const std::string& serial) {
                                        checked.push_back(serial);
                                        return checkAnswer;
                                    }}};
};

TEST_F(AgentTest, StartRegistersTheLauncherAndStopsItOnlyWhenItRuns) {
    agent.applicationDidFinishLaunching();
    EXPECT_EQ(loginItems.calls, (std::vector<std::pair<std::string, bool>>{{kLauncherIdentifier, true}}));
    EXPECT_TRUE(distributed.posted.empty());
    EXPECT_EQ(statusItem.shown, 1);

    launcher.running = {kLauncherIdentifier};
    agent.applicationDidFinishLaunching();
    EXPECT_EQ(loginItems.calls.size(), 2u);
    EXPECT_EQ(distributed.posted,
              (std::vector<std::pair<std::string, std::string>>{{"killLauncher", "org.oberlane.qel.vigilo"}}));
}

TEST_F(AgentTest, StartWithoutNotificationServiceOrTrayKeepsGoingAndSaysSo) {
    notifications.authorizationError = "no server";
    statusItem.trayAvailable = false;
    test::LogCapture log;
    agent.applicationDidFinishLaunching();
    EXPECT_TRUE(log.contains("Erreur lors de la demande d'autorisation de notification"));
    EXPECT_TRUE(log.contains("Pas de zone de notification"));
    EXPECT_EQ(loginItems.calls.size(), 1u);
}

TEST_F(AgentTest, OnlyProductTokensAreScannedAndEachAfterItsOwnPause) {
    addCard("Reader 0", "1234567890");
    agent.onTokenInserted("com.other.vendor.token:80250000011234567890");
    EXPECT_EQ(queue.pending(), 0u);

    agent.onTokenInserted(kToken + "1234567890");
    queue.advance(5000);
    agent.onTokenInserted(kToken + "1234567890");
    queue.advance(kScanDelayMs - 5000 - 1);
    EXPECT_TRUE(checked.empty());
    queue.advance(1);
    EXPECT_EQ(checked, std::vector<std::string>{"1234567890"});
    queue.advance(5000);
    EXPECT_EQ(checked.size(), 2u);
    // Nothing remembers which cards were announced.
    EXPECT_EQ(notifications.posted.size(), 2u);
}

TEST_F(AgentTest, OnlyTheInsertedContactThirdGenerationCardIsChecked) {
    addCard("Reader 0", "1111111111");
    fake.addSlot("Empty reader", false);
    addCard("Reader 2", "2222222222");
    test::FakeSlot& contactless = addCard("Reader 3", "3333333333");
    contactless.token.objects.clear();
    addCard("Reader 4", "4444444444", "QEL4");

    agent.scanCard(kToken + "2222222222");
    agent.scanCard(kToken + "3333333333");
    agent.scanCard(kToken + "4444444444");
    EXPECT_EQ(checked, std::vector<std::string>{"2222222222"});
    EXPECT_EQ(agent.p11SlotDict.size(), 5u);
    // Every scan leaves the library finalised and no session behind.
    EXPECT_EQ(fake.count("C_Initialize"), 3);
    EXPECT_EQ(fake.count("C_Finalize"), 3);
    EXPECT_EQ(openSessions(), 0);
}

TEST_F(AgentTest, ATokenNamesOneCardOnlyByItsWholeNumber) {
    addCard("Reader 0", "1234567890");
    // "8025000001" + "2345678901" holds "1234567890" across the joint.
    agent.scanCard(kToken + "2345678901");
    agent.scanCard(kToken + "12345678901");
    agent.scanCard("org.oberlane.qel.sigilla");
    EXPECT_TRUE(checked.empty());
    agent.scanCard(kToken + "1234567890");
    EXPECT_EQ(checked.size(), 1u);

    fake.failOn("C_GetTokenInfo", CKR_DEVICE_ERROR);
    agent.scanCard(kToken);
    agent.scanCard(kToken + "1234567890");
    EXPECT_EQ(checked.size(), 1u);
}

TEST_F(AgentTest, NoReaderIsLoggedAndTheLibraryFinalised) {
    test::LogCapture log;
    agent.scanCard(kToken + "1234567890");
    EXPECT_TRUE(log.contains("Pas de lecteur vu par la librairie PKCS11"));
    EXPECT_EQ(fake.count("C_Finalize"), 1);
    EXPECT_TRUE(checked.empty());
}

TEST_F(AgentTest, OnlyAWaitingUpdateIsAnnouncedWithTheExactTexts) {
    addCard("Reader 0", "1234567890");
    for (int answer : {0, -1}) {
        checkAnswer = answer;
        agent.scanCard(kToken + "1234567890");
    }
    EXPECT_TRUE(notifications.posted.empty());

    checkAnswer = 1;
    agent.scanCard(kToken + "1234567890");
    ASSERT_EQ(notifications.posted.size(), 1u);
    const NotificationContent n = notifications.posted[0];
    EXPECT_EQ(n.title, "Kartello");
    EXPECT_EQ(n.body, "Une mise à jour pour la QEL n°1234567890 est disponible");
    EXPECT_EQ(n.categoryIdentifier, "TMAJ_NOTIF");
    ASSERT_EQ(n.actions.size(), 1u);
    EXPECT_EQ(n.actions[0].identifier, "LAUNCH");
    EXPECT_EQ(n.actions[0].title, "Lancer\nKartello");
    EXPECT_EQ(n.identifier.size(), 36u);
    EXPECT_TRUE(statusItem.updateEntries.empty());

    agent.postUpdateNotification("1234567890");
    EXPECT_NE(notifications.posted[1].identifier, n.identifier);
    // One notice per card: the same card's replaces its own, another card's stands beside it.
    agent.postUpdateNotification("9876543210");
    EXPECT_EQ(notifications.posted[1].replacesKey, n.replacesKey);
    EXPECT_NE(notifications.posted[2].replacesKey, n.replacesKey);
}

TEST_F(AgentTest, WithoutButtonsTheNoticeGoesPlainAndTheMenuOffersTheLaunch) {
    agent.applicationDidFinishLaunching();
    notifications.actions = false;
    agent.postUpdateNotification("1234567890");
    ASSERT_EQ(notifications.posted.size(), 1u);
    EXPECT_TRUE(notifications.posted[0].actions.empty());
    EXPECT_EQ(statusItem.updateEntries,
              std::vector<std::string>{"Une mise à jour pour la QEL n°1234567890 est disponible"});
}

TEST_F(AgentTest, OnlyTheLaunchActionAndTheMenuStartTheApplication) {
    agent.didReceiveResponse("default");
    agent.didReceiveResponse("launch");
    EXPECT_TRUE(launcher.launched.empty());
    agent.didReceiveResponse("LAUNCH");
    agent.onLaunchQELG();
    EXPECT_EQ(launcher.launched, (std::vector<std::string>{kApplicationIdentifier, kApplicationIdentifier}));

    // An application that cannot be found is no error for the agent.
    launcher.launchSucceeds = false;
    agent.didReceiveResponse("LAUNCH");
    EXPECT_EQ(launcher.launched.size(), 3u);
}

}  // namespace
}  // namespace qel::agent
