// The update session against a scripted service and a card that answers from a table.
#include "update/tmaj_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <map>
#include <stop_token>

#include "common/hex.h"

namespace qel {
namespace {

using ::testing::ElementsAre;

struct FakeCard : UpdateCard {
    std::optional<Bytes> transmit(const Bytes& apdu, bool flag) override {
        sent.push_back(toHex(apdu));
        flags.push_back(flag);
        if (onTransmit) onTransmit();
        if (pulledAfter >= 0 && static_cast<int>(sent.size()) > pulledAfter) return std::nullopt;
        auto it = answers.find(toHex(apdu));
        return *fromHex(it == answers.end() ? "9000" : it->second);
    }
    std::optional<std::string> chipSerial() override { return chip; }
    std::string tokenSerial() override { return "1234567890Z"; }

    std::map<std::string, std::string> answers;
    std::vector<std::string> sent;
    std::vector<bool> flags;
    std::optional<std::string> chip = "1234567890";
    int pulledAfter = -1;  ///< transmissions that still reach the card; -1: all
    std::function<void()> onTransmit;
};

struct ScriptedService : TmajClient {
    ApduList getRequest(const std::string& path, const std::vector<std::string>& arguments, std::stop_token) override {
        std::string call = "GET " + path;
        for (const auto& a : arguments) call += " " + a;
        calls.push_back(call);
        return next(path);
    }
    ApduList postRequest(const std::string& path, const ApduList& inputParams, const std::string& cardnum,
                         std::stop_token) override {
        calls.push_back("POST " + path + " " + cardnum);
        posted.push_back(inputParams);
        return next(path);
    }
    ApduList next(const std::string& path) {
        if (onRequest) onRequest();
        auto& queue = lists[path];
        if (queue.empty()) return endless.count(path) ? endless[path] : ApduList{};
        ApduList list = queue.front();
        queue.pop_front();
        return list;
    }
    std::map<std::string, std::deque<ApduList>> lists;
    /// Served again and again once a path's lists are used up.
    std::map<std::string, ApduList> endless;
    std::vector<std::string> calls;
    std::vector<ApduList> posted;
    std::function<void()> onRequest;
};

ApduCommand cmd(std::string apdu, std::string type = "1") { return {std::move(apdu), std::nullopt, std::move(type)}; }

const std::string kCardId = "80250000011234567890:80250000011234567890Z";

struct Session {
    Session() {
        tmaj.finalPauseMs = 0;
        service.lists["/initIasMajBean"] = {{cmd("00A4000C023F00", "0")}};
        service.lists["/EstablishSM"] = {{cmd("0084000008")}};
        service.lists["/IASMAJ"] = {{cmd("00A4000C020001")}};
        service.lists["/initQelMajBean"] = {{cmd("00A4000C02D010")}};
        service.lists["/QELMAJSequence1"] = {{cmd("00B0000001")}};
        service.lists["/QELMAJSequence2"] = {{cmd("00D6000001AA")}, {cmd("00D6000001BB")}, {cmd(kEndMarker)}};
        card.answers["0084000008"] =
            "0102030405060708"
            "9000";
    }
    ApduResult run(std::stop_token stop = {}) {
        return tmaj.performUpdate(
            card, [this](int p) { progress.push_back(p); }, stop);
    }
    FakeCard card;
    ScriptedService service;
    TmajService tmaj{service};
    std::vector<int> progress;
};

TEST(Session, FullSessionRelaysEveryListAndEndsOnTheMarker) {
    Session t;
    ApduResult result = t.run();
    auto& progress = t.progress;
    auto& service = t.service;
    auto& card = t.card;
    EXPECT_FALSE(result.isError) << result.resultMessage;
    EXPECT_EQ(result.commandVerb, "false");
    EXPECT_EQ(result.resultCode, ApduResultCode::CODE_RESPONSE_OK);
    EXPECT_THAT(progress, ElementsAre(20, 40, 60, 80, 90, 100));
    EXPECT_THAT(service.calls,
                ElementsAre("GET /initIasMajBean " + kCardId, "POST /EstablishSM " + kCardId,
                            "GET /IASMAJ 01020304050607089000 " + kCardId, "GET /initQelMajBean " + kCardId,
                            "POST /QELMAJSequence1 " + kCardId, "POST /QELMAJSequence2 " + kCardId,
                            "POST /QELMAJSequence2 " + kCardId, "POST /QELMAJSequence2 " + kCardId));
    // Each POST carries the previous step's list with the card's answers; the IAS list goes nowhere.
    ASSERT_EQ(service.posted.size(), 5u);
    EXPECT_EQ(service.posted[0].front().response, "9000");
    EXPECT_EQ(service.posted[1].front().apdu, "00A4000C02D010");
    EXPECT_EQ(service.posted[3].front().apdu, "00D6000001AA");
    EXPECT_EQ(service.posted[4].front().apdu, "00D6000001BB");
    // apduRespType "0" sends the flag false, anything else true.
    EXPECT_FALSE(card.flags[0]);
    EXPECT_TRUE(card.flags[1]);
}

TEST(Session, FailedStepsEndTheSessionWithTheirMessage) {
    struct Case {
        const char* name;
        std::function<void(Session&)> arrange;
        const char* message;
        std::size_t callsMade;
    };
    const Case cases[] = {
        {"init empty", [](Session& t) { t.service.lists["/initIasMajBean"].clear(); }, tmaj_messages::nullResult, 1},
        {"sequence1 empty", [](Session& t) { t.service.lists["/QELMAJSequence1"].clear(); }, tmaj_messages::nullResult,
         5},
        {"sequence2 empty", [](Session& t) { t.service.lists["/QELMAJSequence2"].clear(); },
         tmaj_messages::sequenceFailed, 6},
        // An error answer to the secure-messaging step makes no IASMAJ request.
        {"secure messaging refused", [](Session& t) { t.card.answers["0084000008"] = "6982"; },
         tmaj_messages::nullResult, 2},
        {"marker inside a longer list",
         [](Session& t) {
             t.service.lists["/QELMAJSequence2"] = {{cmd("00B0000001"), cmd(kEndMarker)}};
         },
         tmaj_messages::invalidCommand, 6},
        {"no chip serial", [](Session& t) { t.card.chip.reset(); }, tmaj_messages::noChipSerial, 0},
    };
    for (const Case& c : cases) {
        Session t;
        c.arrange(t);
        ApduResult result = t.run();
        EXPECT_TRUE(result.isError) << c.name;
        EXPECT_EQ(result.resultMessage, c.message) << c.name;
        EXPECT_EQ(t.service.calls.size(), c.callsMade) << c.name;
        EXPECT_TRUE(t.progress.empty() || t.progress.back() < 100) << c.name;
    }
}

TEST(Session, FailedTransmissionsAndAShortChipSerialGoToTheServiceWhichJudges) {
    // The card stops answering after three commands: every later answer is the failure text, and the
    // service, which here ignores it, carries the session to its end.
    Session t;
    t.card.pulledAfter = 3;
    ApduResult result = t.run();
    EXPECT_FALSE(result.isError) << result.resultMessage;
    ASSERT_EQ(t.service.posted.size(), 5u);
    EXPECT_EQ(t.service.posted[1].front().response, tmaj_messages::transmissionFailed);
    EXPECT_EQ(t.service.posted[4].front().response, tmaj_messages::transmissionFailed);

    // A service that refuses such answers ends the session with its own failure.
    Session refused;
    refused.card.pulledAfter = 3;
    refused.service.lists["/QELMAJSequence2"].clear();
    EXPECT_EQ(refused.run().resultMessage, tmaj_messages::sequenceFailed);

    // A chip serial read too short names the card without it; no answer at all ends the session.
    Session shortSerial;
    shortSerial.card.chip = "";
    EXPECT_FALSE(shortSerial.run().isError);
    EXPECT_EQ(shortSerial.service.calls.front(), "GET /initIasMajBean 8025000001:80250000011234567890Z");
}

TEST(Session, ChipSerialReadTellsAShortAnswerFromNoAnswer) {
    struct SerialCard : UpdateCard {
        std::optional<Bytes> transmit(const Bytes& apdu, bool flag) override {
            EXPECT_FALSE(flag);
            if (toHex(apdu) != "00B000000C") return *fromHex("9000");
            if (!read) return std::nullopt;
            return *fromHex(*read);
        }
        std::string tokenSerial() override { return "1234567890Z"; }
        std::optional<std::string> read;
    } card;
    card.read =
        "0A0B0C0D0E0F10"
        "1234567890"
        "AA"
        "9000";
    EXPECT_EQ(card.chipSerial(), "1234567890");
    card.read = "0A0B0C0D0E0F12349000";
    EXPECT_EQ(card.chipSerial(), "");
    card.read.reset();
    EXPECT_EQ(card.chipSerial(), std::nullopt);
}

TEST(RelayLimits, CommandLengthsFollowIso7816) {
    auto command = [](std::size_t bytes, std::uint8_t fifth) {
        Bytes b(bytes, 0x11);
        if (bytes > 4) b[4] = fifth;
        return toHex(b);
    };
    struct Case {
        std::string text;
        const char* problem;
    };
    const Case cases[] = {
        {command(4, 0), nullptr},
        {command(261, 0xFF), nullptr},                        // header, Lc 255, data, Le
        {command(262, 0xFF), tmaj_messages::commandTooLong},  // too long for a short command
        {command(262, 0x00), nullptr},                        // extended form
        {command(65544, 0x00), nullptr},                      // the longest extended command
        {command(65545, 0x00), tmaj_messages::commandTooLong},
        {std::string(4 * 65544, 'A'), tmaj_messages::commandTooLong},
        {"00A4000", tmaj_messages::invalidCommand},
        {"00A4", tmaj_messages::invalidCommand},
    };
    auto named = [](const char* problem) { return std::string(problem ? problem : "none"); };
    for (const Case& c : cases)
        EXPECT_EQ(named(TmajService::commandProblem(c.text)), named(c.problem)) << c.text.size() / 2 << " bytes";

    Session t;
    t.service.lists["/initQelMajBean"] = {{cmd(command(300, 0x01))}};
    EXPECT_EQ(t.run().resultMessage, tmaj_messages::commandTooLong);
    EXPECT_EQ(t.card.sent.size(), 3u);  // the lists before it, not the refused one
}

TEST(RelayLimits, ListLengthRoundsAndSessionTimeEndTheSession) {
    {
        // 256 commands run; 257 never reach the card.
        Session t;
        t.service.lists["/QELMAJSequence1"] = {ApduList(256, cmd("00B0000001"))};
        EXPECT_FALSE(t.run().isError);
        Session over;
        over.service.lists["/QELMAJSequence1"] = {ApduList(257, ApduCommand{std::nullopt, std::nullopt, "1"})};
        EXPECT_EQ(over.run().resultMessage, tmaj_messages::tooManyCommands);
        EXPECT_EQ(over.card.sent.size(), 4u);
    }
    {
        // A service that never ends the repeated step is cut off after 1000 rounds.
        Session t;
        t.service.lists["/QELMAJSequence2"].clear();
        t.service.endless["/QELMAJSequence2"] = {cmd("00B0000001")};
        EXPECT_EQ(t.run().resultMessage, tmaj_messages::tooManyRounds);
        EXPECT_EQ(t.service.calls.size(), 5u + 1000u);
    }
    {
        // Each request takes a virtual minute: the eleventh is never made.
        Session t;
        t.service.lists["/QELMAJSequence2"].clear();
        t.service.endless["/QELMAJSequence2"] = {cmd("00B0000001")};
        auto clock = TmajService::Clock::time_point{};
        t.tmaj.now = [&clock] { return clock; };
        t.service.onRequest = [&clock] { clock += std::chrono::minutes(1); };
        EXPECT_EQ(t.run().resultMessage, tmaj_messages::sessionTooLong);
        EXPECT_EQ(t.service.calls.size(), 10u);
    }
}

TEST(Session, AStopRequestEndsTheSessionAtTheNextCommand) {
    Session t;
    std::stop_source stop;
    t.service.lists["/QELMAJSequence1"] = {{cmd("00B0000001"), cmd("00B0000002"), cmd("00B0000003")}};
    t.card.onTransmit = [&] {
        if (t.card.sent.back() == "00B0000001") stop.request_stop();
    };
    ApduResult result = t.run(stop.get_token());
    EXPECT_TRUE(result.isError);
    EXPECT_EQ(result.resultMessage, tmaj_messages::cancelled);
    EXPECT_EQ(t.card.sent.back(), "00B0000001");
    EXPECT_EQ(t.service.calls.size(), 5u);  // nothing more went to the service

    // Asked before the session: nothing reaches the card or the service after the chip serial.
    Session early;
    std::stop_source before;
    before.request_stop();
    EXPECT_EQ(early.run(before.get_token()).resultMessage, tmaj_messages::cancelled);
    EXPECT_TRUE(early.service.calls.empty());
}

TEST(Session, CommandsThatAreNotHexadecimalNeverReachTheCard) {
    for (const char* bad : {"00A4000C023F0", "00A4ZZ0C", "", "00A4"}) {
        Session t;
        t.service.lists["/initIasMajBean"] = {{cmd("00A4000C023F00"), cmd(bad)}};
        ApduResult result = t.run();
        EXPECT_EQ(result.resultMessage, tmaj_messages::invalidCommand) << bad;
        EXPECT_TRUE(t.card.sent.empty()) << bad;
    }
}

// The whole answer in hexadecimal, empty when there is none.
std::string send(TmajService& tmaj, UpdateCard& card, const char* command, bool flag) {
    const std::optional<Bytes> answer = tmaj.sendApdu(card, *fromHex(command), flag);
    return answer ? toHex(*answer) : std::string();
}

TEST(SendApdu, FollowsTheStatusWordsThatAnnounceMoreData) {
    ScriptedService service;
    TmajService tmaj{service};
    FakeCard card;
    card.answers["00A4000C023F00"] = "6108";
    card.answers["00C0000008"] = "11223344556677889000";
    card.answers["A0A40000023F00"] = "9F10";
    card.answers["A0C0000010"] = "AB9000";
    // Data that happens to begin with 61: the command succeeded, nothing to fetch.
    card.answers["00B0000004"] = "610200009000";
    card.answers["00B0000008"] = "AABB6102";
    card.answers["00C0000002"] = "CCDD9000";
    EXPECT_EQ(send(tmaj, card, "00A4000C023F00", false), "11223344556677889000");
    EXPECT_THAT(card.flags, ElementsAre(false, true));
    EXPECT_EQ(send(tmaj, card, "A0A40000023F00", false), "AB9000");
    EXPECT_EQ(send(tmaj, card, "00B0000004", true), "610200009000");
    EXPECT_EQ(send(tmaj, card, "00B0000008", true), "AABBCCDD9000");
    card.sent.clear();
    // A card that keeps asking for GET RESPONSE is cut off, not followed forever.
    card.answers["00C0000001"] = "6101";
    card.answers["00CA000000"] = "6101";
    EXPECT_EQ(send(tmaj, card, "00CA000000", true), "");
    EXPECT_EQ(card.sent.size(), static_cast<std::size_t>(TmajService::kMaxFollowUps + 1));
    card.pulledAfter = 0;
    EXPECT_EQ(send(tmaj, card, "00A4000C023F00", true), "");
}

TEST(DecodeApduResponse, JudgesTheStatusWord) {
    struct Case {
        const char* answer;
        bool ok;
        const char* message;
    };
    const Case cases[] = {
        {"9000", true, "9000"},
        {"01029000", true, "01029000"},
        {"6a82", true, "6A82"},
        {"9404", true, "9404"},
        {"6982", false, tmaj_messages::answerNotUnderstood},
        {"90006982", false, tmaj_messages::answerNotUnderstood},
        {"90", false, tmaj_messages::answerNotUnderstood},
        {"", false, tmaj_messages::transmissionFailed},
    };
    for (const Case& c : cases) {
        ApduResult r = TmajService::decodeApduResponse(*c.answer ? fromHex(c.answer) : std::nullopt);
        EXPECT_EQ(r.isError, !c.ok) << c.answer;
        EXPECT_EQ(r.resultMessage, c.message) << c.answer;
        EXPECT_EQ(r.resultCode, c.ok ? ApduResultCode::CODE_RESPONSE_OK : ApduResultCode::CODE_INTERNAL_ERROR);
    }
}

TEST(ProcessApduList, WritesAnswersIntoTheSameCommands) {
    ScriptedService service;
    TmajService tmaj{service};
    FakeCard card;
    EXPECT_FALSE(tmaj.processApduList(card, {}).has_value());

    int reads = 0;
    struct CountingCard : FakeCard {
        int* reads;
        std::optional<Bytes> transmit(const Bytes& apdu, bool flag) override {
            std::optional<Bytes> answer = FakeCard::transmit(apdu, flag);
            if (toHex(apdu) == "00B0000001") return *fromHex(++*reads == 1 ? "AA9000" : "BB9000");
            return answer;
        }
    } counting;
    counting.reads = &reads;
    counting.answers["0020000000"] = "6982";
    ApduList list{cmd("00B0000001"), cmd("0020000000", "00"), cmd("00B0000001"),
                  ApduCommand{std::nullopt, "kept", "0"}};
    std::optional<ApduList> answered = tmaj.processApduList(counting, list);
    ASSERT_TRUE(answered);
    // Answers are matched by position: two identical commands keep their own answers.
    EXPECT_EQ((*answered)[0].response, "AA9000");
    EXPECT_EQ((*answered)[2].response, "BB9000");
    EXPECT_EQ((*answered)[1].response, tmaj_messages::answerNotUnderstood);
    EXPECT_EQ((*answered)[3].response, "kept");
    EXPECT_THAT(counting.flags, ElementsAre(true, true, true));
}

TEST(CardIdentifier, JoinsChipAndTokenSerials) {
    EXPECT_EQ(TmajService::cardIdentifier("1234567890", "1234567890Z"), kCardId);
}

}  // namespace
}  // namespace qel

namespace qel {
namespace {

TEST(CardCache, ASuccessfulSessionDropsThatCardsCacheOnly) {
    namespace fs = std::filesystem;
    const fs::path olma = fs::path(std::getenv("XDG_CACHE_HOME")) / "sigilla" / "OLMA";
    fs::create_directories(olma / "80250000011234567890" / "3F00");
    fs::create_directories(olma / "80250000019999999999");
    Session t;
    ASSERT_FALSE(t.run().isError);
    EXPECT_FALSE(fs::exists(olma / "80250000011234567890"));
    EXPECT_TRUE(fs::exists(olma / "80250000019999999999"));
    EXPECT_TRUE(fs::exists(olma));
}

}  // namespace
}  // namespace qel
