// The card daemon against a stand-in for pcscd's virtual reader driver on loopback ports: what the
// driver sees when cards are inserted, removed, swapped and spoiled, and when pcscd goes away.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "sim/pinpad/keypad_entry.h"
#include "sim/vpcd/control_command.h"
#include "sim/vpcd/sim_daemon.h"
#include "sim/vpcd/vpcd_link.h"
#include "test_card_model.h"

namespace qel::sim {
namespace {

using namespace std::chrono_literals;

/// Plays pcscd's driver: listens on a port, accepts the daemon's connection, sends control codes
/// and APDUs.
class FakeDriver {
public:
    FakeDriver() { listenOn(0); }
    std::uint16_t port() const { return port_; }

    void listenOn(std::uint16_t port) {
        listener_ = SocketFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int one = 1;
        ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        EXPECT_EQ(::bind(listener_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(listener_.get(), 1), 0);
        socklen_t size = sizeof a;
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&a), &size);
        port_ = ntohs(a.sin_port);
    }
    void stopListening() { listener_ = SocketFd(); }

    bool accept(std::chrono::milliseconds timeout = 3s) {
        pollfd p{listener_.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
        client_ = SocketFd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        return static_cast<bool>(client_);
    }
    void drop() { client_ = SocketFd(); }

    /// Sends a message; returns the answer when one is expected (empty on none in time).
    Bytes send(const Bytes& payload, bool answered = true) {
        EXPECT_TRUE(writeMessage(client_.get(), payload));
        if (!answered) return {};
        std::uint8_t header[2];
        if (!readFully(header, 2)) return {};
        Bytes answer(static_cast<std::size_t>(header[0] << 8 | header[1]));
        if (!answer.empty() && !readFully(answer.data(), answer.size())) return {};
        return answer;
    }
    /// Whether the daemon closed the connection within the time.
    bool closedByDaemon(std::chrono::milliseconds timeout = 3s) {
        pollfd p{client_.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
        char c;
        return ::recv(client_.get(), &c, 1, 0) == 0;
    }

private:
    bool readFully(std::uint8_t* out, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            pollfd p{client_.get(), POLLIN, 0};
            if (::poll(&p, 1, 3000) != 1) return false;
            ssize_t got = ::recv(client_.get(), out + done, size - done, 0);
            if (got <= 0) return false;
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

    SocketFd listener_;
    SocketFd client_;
    std::uint16_t port_ = 0;
};

class VpcdDaemonTest : public ::testing::Test {
protected:
    void SetUp() override {
        runDir = std::string(std::getenv("HOME")) + "/vpcd-daemon-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::remove_all(runDir);
        SimDaemonOptions options;
        options.runDir = runDir;
        options.contactPort = contact.port();
        options.contactlessPort = contactless.port();
        options.confirmTimeout = 0ms;  // no pcscd behind the stand-in driver
        options.lockDir = std::getenv("HOME");
        daemon = std::make_unique<SimDaemon>(options, testing::loadTestCard);
        thread = std::thread([this] { daemon->run(); });
    }
    void TearDown() override {
        if (!daemon) return;
        daemon->requestStop();
        thread.join();
        daemon.reset();
    }
    std::string request(const std::string& line) {
        std::string error;
        auto answer = sendControlRequest(runDir, line, 5s, error);
        return answer ? *answer : "no answer: " + error;
    }
    std::string logText() {
        std::ifstream in(runDir + "/qelcard-sim.log");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    FakeDriver contact;
    FakeDriver contactless;
    std::string runDir;
    std::unique_ptr<SimDaemon> daemon;
    std::thread thread;
};

TEST_F(VpcdDaemonTest, InsertedCardAnswersTheDriverAndRemovalClosesTheConnection) {
    EXPECT_FALSE(contact.accept(300ms)) << "an empty reader must not connect";
    EXPECT_EQ(request("insert contact /profiles/1234567890").rfind("ok inserted", 0), 0u);
    ASSERT_TRUE(contact.accept());
    contact.send({vpcd::kPowerOn}, false);
    EXPECT_EQ(contact.send({vpcd::kAtrRequest}), (Bytes{0x3B, 0x02, 0x14, 0x50}));
    EXPECT_EQ(contact.send({0x00, 0xCA, 0x01, 0x02, 0x00}).size(), 22u);  // 20-character serial + 9000
    EXPECT_EQ(contact.send({0x00, 0x20, 0x00, 0x01, 0x04, 'P', 'I', 'N', '!'}), (Bytes{0x90, 0x00}));
    contact.send({vpcd::kPowerOff}, false);
    EXPECT_EQ(contact.send({vpcd::kAtrRequest}), (Bytes{0x3B, 0x02, 0x14, 0x50}));  // presence polls go on unpowered

    std::string status = request("status");
    EXPECT_NE(status.find("contact: card /profiles/1234567890 (connected, unpowered, hostile off, 2 APDUs)"),
              std::string::npos)
        << status;
    EXPECT_NE(status.find("contactless: empty"), std::string::npos) << status;

    EXPECT_EQ(request("remove contact").rfind("ok removed", 0), 0u);
    EXPECT_TRUE(contact.closedByDaemon());
    // The PIN never reaches the log.
    std::string log = logText();
    EXPECT_NE(log.find("> 0020000104FFFFFFFF"), std::string::npos) << log;
    EXPECT_EQ(log.find("50494E21"), std::string::npos) << log;

    // The contactless reader has its own port and ATR.
    EXPECT_EQ(request("insert contactless /profiles/1234567890").rfind("ok", 0), 0u);
    ASSERT_TRUE(contactless.accept());
    EXPECT_EQ(contactless.send({vpcd::kAtrRequest}), (Bytes{0x3B, 0x81, 0x80, 0x01, 0x80, 0x80}));
}

TEST_F(VpcdDaemonTest, ReconnectsWhenPcscdRestartsOrComesLate) {
    contact.stopListening();  // pcscd not there yet
    EXPECT_EQ(request("insert contact /p/1111111111").rfind("ok", 0), 0u);
    std::string status;
    for (auto until = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < until;) {
        status = request("status");
        if (status.find("waiting for pcscd") != std::string::npos) break;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_NE(status.find("waiting for pcscd"), std::string::npos) << status;
    contact.listenOn(contact.port());
    ASSERT_TRUE(contact.accept(3s));
    EXPECT_EQ(contact.send({vpcd::kAtrRequest}).size(), 4u);

    contact.drop();  // pcscd restarted
    ASSERT_TRUE(contact.accept(3s));
    EXPECT_EQ(contact.send({vpcd::kAtrRequest}).size(), 4u);
}

TEST_F(VpcdDaemonTest, RefusedRequestsLeaveTheReadersAsTheyWere) {
    EXPECT_EQ(request("remove contact"), "error: no card in the contact reader\n");
    EXPECT_EQ(request("insert contact /p/broken"),
              "error: cannot load the profile /p/broken: profile.json: unexpected end of input\n");
    EXPECT_FALSE(contact.accept(300ms));
    EXPECT_EQ(request("insert contact /p/1111111111").rfind("ok", 0), 0u);
    EXPECT_EQ(request("insert contact /p/2222222222"),
              "error: the contact reader already holds a card (remove it or use swap)\n");
    EXPECT_EQ(request("swap contact /p/broken").rfind("error: cannot load", 0), 0u);
    EXPECT_NE(request("status").find("card /p/1111111111"), std::string::npos);
    EXPECT_EQ(request("frobnicate"), "error: unknown request 'frobnicate'\n");
}

TEST_F(VpcdDaemonTest, SwapGivesTheDriverANewConnectionWithTheNewCard) {
    request("insert contact /p/1111111111");
    ASSERT_TRUE(contact.accept());
    EXPECT_EQ(request("swap contact /p/2222222222").rfind("ok swapped", 0), 0u);
    EXPECT_TRUE(contact.closedByDaemon());
    ASSERT_TRUE(contact.accept());
    Bytes serial = contact.send({0x00, 0xCA, 0x01, 0x02, 0x00});
    EXPECT_EQ(std::string(serial.begin(), serial.end() - 2), "80250000012222222222");
}

TEST_F(VpcdDaemonTest, HostileReaderSpoilsAnswersWithDataInTurn) {
    request("insert contact /p/1111111111");
    ASSERT_TRUE(contact.accept());
    EXPECT_EQ(request("hostile contact on"), "ok hostile on in contact\n");
    const Bytes echo{0x00, 0xD6, 0x00, 0x00, 0x04, 0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(contact.send(echo), (Bytes{0x01, 0x02, 0x90, 0x00}));
    EXPECT_EQ(contact.send(echo), (Bytes{0xFE, 0xFD, 0xFC, 0xFB, 0x90, 0x00}));
    EXPECT_EQ(contact.send(echo), (Bytes{0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x90, 0x00}));
    EXPECT_EQ(contact.send(echo), (Bytes{0x01}));
    EXPECT_EQ(contact.send({0x00, 0x20, 0x00, 0x01}), (Bytes{0x90, 0x00}));  // status word alone passes
    EXPECT_EQ(contact.send({vpcd::kAtrRequest}), (Bytes{0x3B, 0x02, 0x14, 0x50}));
    request("hostile contact off");
    EXPECT_EQ(contact.send(echo), (Bytes{0x01, 0x02, 0x03, 0x04, 0x90, 0x00}));
}

TEST_F(VpcdDaemonTest, OnlyOneDaemonPerPortPairAndQuitEndsTheRun) {
    SimDaemonOptions options;
    options.runDir = runDir + "-second";
    options.lockDir = std::getenv("HOME");
    options.contactPort = contact.port();
    options.contactlessPort = contactless.port();
    try {
        SimDaemon second(options, testing::loadTestCard);
        ADD_FAILURE() << "a second daemon started on the same ports";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("another qelcard-sim (pid " + std::to_string(::getpid()) + ")"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(request("quit"), "ok stopping\n");
    thread.join();
    thread = std::thread([] {});  // TearDown joins again
}

TEST(ControlCommandTest, KeypadEntriesNeverShowTheirDigits) {
    EXPECT_EQ(loggableRequest("pinpad 1234,5678 300\n"), "pinpad digits (4,4 long) after 300 ms");
    EXPECT_EQ(loggableRequest("pinpad 12x4"), "pinpad (not an entry)");
    EXPECT_EQ(loggableRequest("status"), "status");

    auto entry = std::get<KeypadEntry>(parseKeypadEntry("1234,99", "25"));
    SecretBytes answer = encodeKeypadAnswer(entry);
    KeypadEntry back = parseKeypadAnswer(Bytes(answer.begin(), answer.end()));
    EXPECT_EQ(back.kind, KeypadEntry::Kind::digits);
    ASSERT_EQ(back.groups.size(), 2u);
    EXPECT_EQ(back.groups[1].view(), "99");
    EXPECT_EQ(back.delay.count(), 25);
    // Anything the driver cannot read whole is nobody typing.
    for (const char* broken : {"", "digits", "digits 12x4 5", "digits  5", "cancel", "cancel x 5", "timeout 9999999",
                               "digits 1,2,3,4 0", "none"})
        EXPECT_EQ(parseKeypadAnswer(Bytes(broken, broken + std::strlen(broken))).kind, KeypadEntry::Kind::none)
            << broken;
}

TEST(ControlCommandTest, ParsesRequestsAndNamesWhatIsWrong) {
    struct Case {
        const char* line;
        const char* error;  // nullptr: accepted
    };
    const Case cases[] = {
        {"insert contact /a b/c\r\n", nullptr},
        {"hostile contactless on", nullptr},
        {"status", nullptr},
        {"", "empty request"},
        {"insert", "'insert' needs a reader (contact, contactless or pinpad)"},
        {"insert usb /p", "unknown reader 'usb' (contact, contactless or pinpad)"},
        {"insert pinpad /p", nullptr},
        {"pinpad 1234", nullptr},
        {"pinpad 1234,5678,5678 500", nullptr},
        {"pinpad cancel", nullptr},
        {"pinpad", "'pinpad' needs an entry (cancel, timeout or digits)"},
        {"pinpad 12a4",
         "the entry must be cancel, timeout or digits (up to three groups of at most 16, separated by "
         "commas)"},
        {"pinpad 1,2,3,4",
         "the entry must be cancel, timeout or digits (up to three groups of at most 16, "
         "separated by commas)"},
        {"pinpad 1234,",
         "the entry must be cancel, timeout or digits (up to three groups of at most 16, "
         "separated by commas)"},
        {"pinpad 1234 soon", "the typing time must be 0 to 600000 milliseconds"},
        {"pinpad 1234 5 6", "'pinpad' takes an entry and a typing time in milliseconds"},
        {"insert contact", "'insert' needs a profile folder"},
        {"swap contactless   ", "'swap' needs a profile folder"},
        {"remove contact now", "'remove' takes only a reader"},
        {"hostile contact maybe", "'hostile' needs on or off"},
        {"status please", "'status' takes no argument"},
        {"INSERT contact /p", "unknown request 'INSERT'"},
    };
    for (const Case& c : cases) {
        auto parsed = parseControlCommand(c.line);
        if (c.error) {
            ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << c.line;
            EXPECT_EQ(std::get<std::string>(parsed), c.error);
        } else {
            EXPECT_TRUE(std::holds_alternative<ControlCommand>(parsed))
                << c.line << ": " << std::get<std::string>(parsed);
        }
    }
    auto insert = std::get<ControlCommand>(parseControlCommand("insert contact /a b/c\n"));
    EXPECT_EQ(insert.profile, "/a b/c");
}

}  // namespace
}  // namespace qel::sim
