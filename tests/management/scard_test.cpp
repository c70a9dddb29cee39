#include <gtest/gtest.h>

#include "management/scard/scard.h"
#include "tests/management/fake_readers.h"
#include "tests/support/log_capture.h"

namespace qel::test {
namespace {

const Bytes kContactAtr = hex(kQel4ContactAtr);
const Bytes kContactlessAtr = hex(kQel4ContactlessAtr);

Bytes identifierFile(const std::string& id) {
    Bytes f{0x80, static_cast<std::uint8_t>(id.size())};
    f.insert(f.end(), id.begin(), id.end());
    return f;
}

struct ScardTest : ::testing::Test {
    /// A contact card alone in reader "R", answering `sw` to VERIFY and 9000 to anything else;
    /// nothing sent yet.
    void verifyAnswers(const std::string& sw) {
        readers.cards["R"] = FakeCardReaders::Card{
            kContactAtr, [sw](const Bytes& apdu) { return apdu[1] == 0x20 ? hex(sw.c_str()) : hex("9000"); }};
        readers.order = {"R"};
        readers.sent.clear();
    }

    FakeCardReaders readers;
    ServiceAbsenceLog serviceLog;
    Scard scard{readers, serviceLog};
};

/// A status word to VERIFY and what the PIN check makes of it.
struct PinCase {
    const char* sw;
    std::uint32_t result;
    bool lastTry;
};

TEST_F(ScardTest, ScanListsOnlyQel4CardsInReaderOrder) {
    readers.addReader("Contact 00", FakeCardReaders::Card{kContactAtr, {}});
    readers.addReader("Empty 01");
    readers.addReader("Other 02", FakeCardReaders::Card{hex("3B8F8001804F0CA000000306030001000000006A"), {}});
    readers.addReader("Contactless 03", FakeCardReaders::Card{kContactlessAtr, {}});
    ScanResult result = scard.scan();
    EXPECT_TRUE(result.found);
    ASSERT_EQ(result.readers.size(), 2u);
    EXPECT_EQ(result.readers[0].readerName, "Contact 00");
    EXPECT_FALSE(result.readers[0].isContactless);
    EXPECT_EQ(result.readers[1].readerName, "Contactless 03");
    EXPECT_TRUE(result.readers[1].isContactless);
    EXPECT_TRUE(readers.sent.empty());
}

TEST_F(ScardTest, MissingServiceGivesNothingAndIsLoggedOnce) {
    readers.serviceUp = false;
    LogCapture log;
    EXPECT_FALSE(scard.scan().found);
    EXPECT_FALSE(scard.scan().found);
    EXPECT_EQ(scardCode(scard.readContactlessIdentity("Contactless 00").result), scard::kUnreachable);
    const std::string text = log.text();
    const std::string line = "Service carte à puce (pcscd) indisponible";
    ASSERT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(text.find(line), text.rfind(line)) << text;
}

TEST_F(ScardTest, UnknownReaderOrEmptyReaderIsUnreachableWithoutCommand) {
    readers.addReader("Empty 00");
    EXPECT_EQ(scardCode(scard.isIRVDesfirePresent("Nowhere").first), scard::kUnreachable);
    EXPECT_EQ(scard.checkPinStatus("Empty 00").result, scard::kUnreachable);
    EXPECT_EQ(scard.loginWithoutP11("Nowhere", "1234").result, scard::kUnreachable);
    EXPECT_TRUE(readers.sent.empty());
}

TEST_F(ScardTest, PresenceTestNeeds9100OnTheApplicationSelection) {
    readers.addReader("Present", FakeCardReaders::Card{kContactlessAtr, desfireIdentity({}, true)});
    readers.addReader("Deleted", FakeCardReaders::Card{kContactlessAtr, desfireIdentity({}, false)});
    auto [rv, present] = scard.isIRVDesfirePresent("Present");
    EXPECT_EQ(scardCode(rv), scard::kOk);
    EXPECT_TRUE(present);
    ASSERT_EQ(readers.sent.size(), 3u);
    EXPECT_EQ(toHex(readers.sent[0]), "00A4040005D276000085");
    EXPECT_EQ(toHex(readers.sent[1]), "905A00000300000000");
    EXPECT_EQ(toHex(readers.sent[2]), "905A00000356524900");
    EXPECT_FALSE(scard.isIRVDesfirePresent("Deleted").second);
}

TEST_F(ScardTest, ContactlessIdentityFromTheThreeFiles) {
    readers.addReader("CL", FakeCardReaders::Card{kContactlessAtr, desfireIdentity(identifierFile("810001234567"))});
    ContactlessIdentity id = scard.readContactlessIdentity("CL");
    EXPECT_EQ(scardCode(id.result), scard::kOk);
    EXPECT_EQ(id.serialNumber, "8025000001234567890");
    EXPECT_EQ(id.cardNumber, "1234567890");
    EXPECT_EQ(id.identifier, "810001234567");
    EXPECT_EQ(readers.sessions, 1);
}

TEST_F(ScardTest, ContactlessIdentityRefusesBadFiles) {
    struct Case {
        const char* name;
        Bytes file1;
        std::uint32_t result;
        bool numbersKept;
    };
    const Case cases[] = {
        {"empty file 1", {}, scard::kStepFailed, false},
        {"file 1 too short", {0x80, 0x01}, scard::kStepFailed, false},
        {"length past the data", {0x80, 0x09, '8', '1'}, scard::kStepFailed, true},
        {"not ASCII", {0x80, 0x02, '8', 0xC3}, scard::kStepFailed, true},
        {"length zero", {0x80, 0x00, '8'}, scard::kOk, true},
    };
    for (const auto& c : cases) {
        FakeCardReaders r;
        ServiceAbsenceLog l;
        Scard s{r, l};
        r.addReader("CL", FakeCardReaders::Card{kContactlessAtr, desfireIdentity(c.file1)});
        ContactlessIdentity id = s.readContactlessIdentity("CL");
        EXPECT_EQ(scardCode(id.result), c.result) << c.name;
        EXPECT_EQ(id.cardNumber.empty(), !c.numbersKept) << c.name;
        EXPECT_EQ(id.identifier, "") << c.name;
    }
}

TEST_F(ScardTest, LoginWithoutP11MapsStatusWordsAndNeverLogsThePin) {
    const PinCase cases[] = {
        {"9000", 0, false}, {"63C2", 0xA0, false}, {"63C1", 0xA0, true}, {"6983", 0xA4, false}, {"6A82", 5, false}};
    for (const auto& c : cases) {
        const std::string sw = c.sw;
        verifyAnswers(sw);
        LogCapture log;
        PinCheckResult r = scard.loginWithoutP11("R", "4711");
        EXPECT_EQ(r.result, c.result) << sw;
        EXPECT_EQ(r.lastTry, c.lastTry) << sw;
        ASSERT_EQ(readers.sent.size(), 2u);
        EXPECT_EQ(toHex(readers.sent[0]), "00A4000C023F0000");
        EXPECT_EQ(toHex(readers.sent[1]),
                  "002000010434373131"
                  "00");
        EXPECT_TRUE(log.contains("APDU : 0020000104FFFFFFFF")) << log.text();
        EXPECT_FALSE(log.contains("34373131")) << log.text();
    }
}

TEST_F(ScardTest, PinStatusAsksWithoutAPin) {
    const PinCase cases[] = {{"9000", 0, false}, {"63C3", 0, false},    {"63C2", 0, false},
                             {"63C1", 0, true},  {"6983", 0xA4, false}, {"6700", 5, false}};
    for (const auto& c : cases) {
        const std::string sw = c.sw;
        verifyAnswers(sw);
        PinCheckResult r = scard.checkPinStatus("R");
        EXPECT_EQ(r.result, c.result) << sw;
        EXPECT_EQ(r.lastTry, c.lastTry) << sw;
        ASSERT_EQ(readers.sent.size(), 2u);
        EXPECT_EQ(toHex(readers.sent[1]), "00200001");
    }
    EXPECT_EQ(readers.resets, 0) << "no PIN presented, nothing to forget";
}

TEST_F(ScardTest, EveryOperationThatPresentsThePinEndsWithACardReset) {
    verifyAnswers("9000");
    scard.loginWithoutP11("R", "4711");
    EXPECT_EQ(readers.resets, 1);
    verifyAnswers("63C2");
    scard.loginWithoutP11("R", "4711");
    EXPECT_EQ(readers.resets, 2) << "a refused PIN too: the reset is on every path";
    scard.searchIRVDesfireKey("R", "4711");
    EXPECT_EQ(readers.resets, 3);
}

TEST_F(ScardTest, ACardPulledOutMidOperationIsUnreachableNeverAnAnswer) {
    // The card answers the first command, then leaves the reader.
    auto pulledAfterFirst = [] {
        auto answered = std::make_shared<int>(0);
        return [answered](const Bytes&) -> Bytes {
            if ((*answered)++ == 0) return hex("9000");
            throw TransportError(TransportError::Kind::cardRemoved, 0, "gone");
        };
    };
    readers.addReader("R", FakeCardReaders::Card{kContactlessAtr, pulledAfterFirst()});
    LogCapture log;
    auto [rv, present] = scard.isIRVDesfirePresent("R");
    EXPECT_EQ(scardCode(rv), scard::kUnreachable);
    EXPECT_FALSE(present);
    EXPECT_TRUE(log.contains("SW : 0xFFFF")) << log.text();
    // Nothing is sent after the failure: another card may be in the reader by then.
    EXPECT_EQ(readers.sent.size(), 2u);

    readers.cards["R"] = FakeCardReaders::Card{kContactAtr, pulledAfterFirst()};
    EXPECT_EQ(scard.checkPinStatus("R").result, scard::kUnreachable);
    EXPECT_EQ(scardCode(scard.readContactlessIdentity("R").result), scard::kUnreachable);
}

// The numbers the user and the log see for each outcome of a contactless operation.
TEST(ScardCode, EachOutcomeKeepsItsNumber) {
    const std::pair<ScardStatus, std::uint32_t> cases[] = {
        {std::nullopt, scard::kOk},
        {TransportError(TransportError::Kind::cardRemoved, 0, "gone"), scard::kUnreachable},
        {TransportError(TransportError::Kind::timeout, 0, "no card"), scard::kUnreachable},
        {TransportError(TransportError::Kind::noService, 0, "no pcscd"), scard::kUnreachable},
        {Scard::refused(0x91AE), scard::kAuthRefused},
        {CardError(CardError::corruptedData), scard::kAuthMismatch},
        {Scard::refused(0x6A82), scard::kStepFailed},
        {Scard::refused(0), scard::kStepFailed},
    };
    for (const auto& [status, code] : cases) EXPECT_EQ(scardCode(status), code) << (status ? status->what() : "ok");
}

}  // namespace
}  // namespace qel::test
