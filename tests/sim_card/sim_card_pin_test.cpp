#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "sim/card/profile.h"
#include "test_support.h"

namespace qel::sim::test {
namespace {

// The host's scan of the PIN status object: a plain byte walk for 9B and 9D.
std::pair<int, int> scanTries(const Bytes& answer) {
    int pin = 0xFF, unblock = 0xFF;
    for (std::size_t i = 0; i < answer.size(); ++i) {
        if (answer[i] == 0x9B && i + 2 < answer.size()) pin = answer[i + 2];
        if (answer[i] == 0x9D && i + 1 < answer.size()) {
            if (answer[i + 1] == 0x01 && i + 2 < answer.size()) unblock = answer[i + 2];
            if (answer[i + 1] == 0x02 && i + 3 < answer.size()) unblock = answer[i + 3];
        }
    }
    return {pin, unblock};
}

std::pair<int, int> pinStatus(Reader& r) {
    EXPECT_EQ(r.send(0xA4, 0x09, 0x04, hex("3F00"), 0).sw, 0x9000);
    CardResponse c = r.send(0xCB, 0x3F, 0xFF, hex("4D087006BF810102A080"), 231);
    EXPECT_EQ(c.sw, 0x9000);
    return scanTries(c.data);
}

Bytes padded(const std::string& pin) {
    Bytes b(pin.begin(), pin.end());
    b.resize(8, 0xFF);
    return b;
}

Bytes ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(SimCardPin, WrongPinsCountDownToABlockThatThePukLifts) {
    Reader r(freshProfile("qel3-default"), ReaderKind::contact);
    EXPECT_EQ(pinStatus(r), std::make_pair(3, 10));
    EXPECT_EQ(r.send(0x20, 0x00, 0x01).sw, 0x63C3);
    EXPECT_EQ(r.verifyPin("0000"), 0x63C2);
    EXPECT_EQ(r.verifyPin("0000"), 0x63C1);
    EXPECT_EQ(r.verifyPin("0000"), 0x63C0);
    EXPECT_EQ(r.verifyPin("1234"), 0x6983);
    EXPECT_EQ(r.send(0x20, 0x00, 0x01).sw, 0x6983);
    EXPECT_EQ(pinStatus(r), std::make_pair(0, 10));

    EXPECT_EQ(r.send(0x2C, 0x00, 0x01, cat({ascii("11111111"), padded("4321")})).sw, 0x63C9);
    EXPECT_EQ(r.send(0x2C, 0x00, 0x01, cat({ascii("12345678"), padded("4321")})).sw, 0x9000);
    EXPECT_EQ(pinStatus(r), std::make_pair(3, 10));
    EXPECT_EQ(r.verifyPin("1234"), 0x63C2);
    EXPECT_EQ(r.verifyPin("4321"), 0x9000);
    EXPECT_EQ(r.send(0x20, 0x00, 0x01).sw, 0x9000);
}

TEST(SimCardPin, PukOnlyResetKeepsThePin) {
    Reader r(freshProfile("qel4-default"), ReaderKind::contact);
    EXPECT_EQ(r.verifyPin("9999"), 0x63C2);
    EXPECT_EQ(r.send(0x2C, 0x01, 0x01, ascii("12345678")).sw, 0x9000);
    EXPECT_EQ(r.send(0x20, 0x00, 0x01).sw, 0x63C3);
    EXPECT_EQ(r.verifyPin("1234"), 0x9000);
    // Verified PUK, then the new PIN alone.
    EXPECT_EQ(r.send(0x2C, 0x02, 0x01, ascii("5555")).sw, 0x6982);
    EXPECT_EQ(r.send(0x20, 0x00, 0x02, ascii("12345678")).sw, 0x9000);
    EXPECT_EQ(r.send(0x2C, 0x02, 0x01, ascii("5555")).sw, 0x9000);
    EXPECT_EQ(r.verifyPin("5555"), 0x9000);
}

TEST(SimCardPin, SpentPukBlocksTheCardForGood) {
    Reader r(freshProfile("qel3-default"), ReaderKind::contact);
    for (int left = 9; left >= 0; --left) EXPECT_EQ(r.send(0x2C, 0x01, 0x01, ascii("00000000")).sw, 0x63C0 | left);
    EXPECT_EQ(r.send(0x2C, 0x01, 0x01, ascii("12345678")).sw, 0x6983);
    EXPECT_EQ(r.verifyPin("1234"), 0x6983);
    EXPECT_EQ(r.send(0x20, 0x00, 0x01).sw, 0x6983);
    EXPECT_EQ(r.send(0x24, 0x00, 0x01, cat({padded("1234"), padded("4321")})).sw, 0x6983);
    EXPECT_EQ(r.send(0x20, 0x00, 0x02, ascii("12345678")).sw, 0x6983);
    EXPECT_EQ(pinStatus(r).second, 0);
}

TEST(SimCardPin, ChangeReferenceDataNeedsTheOldPin) {
    Reader r(freshProfile("qel3-default"), ReaderKind::contact);
    EXPECT_EQ(r.send(0x24, 0x00, 0x01, cat({padded("0000"), padded("4321")})).sw, 0x63C2);
    EXPECT_EQ(r.send(0x24, 0x00, 0x01, cat({padded("1234"), padded("4321")})).sw, 0x9000);
    EXPECT_EQ(r.send(0x20, 0x00, 0x01).sw, 0x9000);  // tries back to 3 and verified
    EXPECT_EQ(r.verifyPin("1234"), 0x63C2);
    EXPECT_EQ(r.verifyPin("4321"), 0x9000);
}

TEST(SimCardPin, MalformedBlocksSpendNoTry) {
    struct Case {
        const char* profile;
        ReaderKind kind;
        std::uint8_t ins, p1, p2;
        const char* data;
        std::uint16_t sw;
    };
    const Case cases[] = {
        {"qel3-default", ReaderKind::contact, 0x20, 0x00, 0x01, "31323334", 0x6700},          // unpadded on QEL3
        {"qel3-default", ReaderKind::contact, 0x20, 0x00, 0x01, "31323334FF31FFFF", 0x6A80},  // digit after FF
        {"qel3-default", ReaderKind::contact, 0x20, 0x00, 0x01, "3132FFFFFFFFFFFF", 0x6A80},  // two digits
        {"qel3-default", ReaderKind::contact, 0x20, 0x00, 0x03, "31323334FFFFFFFF", 0x6A88},  // unknown reference
        {"qel3-default", ReaderKind::contact, 0x20, 0x01, 0x01, "31323334FFFFFFFF", 0x6A86},
        {"qel4-default", ReaderKind::contact, 0x20, 0x00, 0x01, "31323334FFFFFFFF", 0x6A80},  // padded on QEL4
        {"qel4-default", ReaderKind::contact, 0x20, 0x00, 0x01, "3132333A", 0x6A80},
        {"qel4-default", ReaderKind::contact, 0x24, 0x00, 0x01, "313233343132", 0x6700},
        {"qel4-default", ReaderKind::contact, 0x2C, 0x00, 0x01, "3132333435363738", 0x6700},  // no new PIN
        {"qel4-default", ReaderKind::contact, 0x2C, 0x05, 0x01, "3132333435363738", 0x6A86},
    };
    for (const Case& c : cases) {
        Reader r(freshProfile(c.profile), c.kind);
        EXPECT_EQ(r.send(c.ins, c.p1, c.p2, hex(c.data)).sw, c.sw) << c.profile << " " << c.data;
        EXPECT_EQ(r.send(0x20, 0x00, 0x01).sw, 0x63C3) << c.data;
    }
    // The contactless interface of the third generation takes the bare digits as well.
    Reader cl(freshProfile("qel3-default"), ReaderKind::contactless);
    EXPECT_EQ(cl.send(0x20, 0x00, 0x01, ascii("1234")).sw, 0x9000);
}

TEST(SimCardPin, CountersAndPinSurviveAReload) {
    const std::string dir = freshProfile("qel4-default");
    {
        Reader r(dir, ReaderKind::contact);
        EXPECT_EQ(r.verifyPin("0000"), 0x63C2);
        EXPECT_EQ(r.send(0x2C, 0x01, 0x01, ascii("00000000")).sw, 0x63C9);
    }
    {
        Reader r(dir, ReaderKind::contact);
        EXPECT_EQ(r.send(0x20, 0x00, 0x01).sw, 0x63C2);
        EXPECT_EQ(r.send(0xCB, 0x3F, 0xFF, hex("4D087006BF810102A080"), 231).sw, 0x9000);
        EXPECT_EQ(scanTries(r.send(0xCB, 0x3F, 0xFF, hex("4D087006BF810102A080"), 231).data), std::make_pair(2, 9));
        EXPECT_EQ(r.send(0x24, 0x00, 0x01, ascii("12349876")).sw, 0x9000);
        r.card->insertCard();  // power cycle: verification gone, PIN kept
        EXPECT_EQ(r.send(0x20, 0x00, 0x01).sw, 0x63C3);
    }
    Reader r(dir, ReaderKind::contact);
    EXPECT_EQ(r.verifyPin("9876"), 0x9000);
}

TEST(SimCardPin, StatusObjectInTheTwoByteUnblockForm) {
    const std::string dir = freshProfile("qel3-default");
    Profile p = loadProfile(dir);
    p.pukCounterTwoBytes = true;
    saveProfile(p, dir);
    Reader r(dir, ReaderKind::contact);
    CardResponse c = r.send(0xCB, 0x3F, 0xFF, hex("4D087006BF810102A080"), 231);
    ASSERT_EQ(c.sw, 0x9000);
    EXPECT_NE(toHex(c.data).find("9D02000A"), std::string::npos);
    EXPECT_EQ(scanTries(c.data), std::make_pair(3, 10));
    EXPECT_EQ(r.send(0xCB, 0x3F, 0xFE, hex("4D087006BF810102A080"), 231).sw, 0x6A88);
}

}  // namespace
}  // namespace qel::sim::test
