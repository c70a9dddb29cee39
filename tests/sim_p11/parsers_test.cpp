// Parsers of card bytes and of the trace configuration: mostly bad input.
#include <gtest/gtest.h>

#include "common/hex.h"
#include "sim/p11/apdu_card.h"
#include "sim/p11/identity.h"
#include "sim/p11/mechanisms.h"
#include "sim/p11/pkcs15.h"
#include "sim/p11/tlv.h"
#include "sim/p11/trace.h"

namespace qel::simp11 {
namespace {

Bytes hex(const char* text) { return *qel::fromHex(text); }

TEST(TlvTest, MalformedInputKeepsWhatCameBefore) {
    struct Case {
        const char* bytes;
        std::size_t elements;
    };
    const Case cases[] = {
        {"", 0},
        {"04", 0},                  // tag without length
        {"0402AA", 0},              // content runs past the end
        {"0401AA 0403BB", 1},       // second element truncated
        {"0401AA 0000 0401BB", 1},  // filler ends the walk
        {"0401AA FFFF", 1},
        {"048100", 1},  // long form, zero length
        {"0482000100", 1},
        {"0484000000010000", 0},  // four length bytes: refused
        {"0480", 0},              // indefinite length: refused
        {"1F", 0},                // multi-byte tag cut short
        {"BF8101 00", 1},         // three-byte tag
        {"BF81818101 00", 0},     // tag longer than three bytes
    };
    for (const Case& c : cases) EXPECT_EQ(parseTlv(hex(c.bytes)).size(), c.elements) << c.bytes;

    auto nested = parseTlv(hex("7009 BF8101 05 A003 9B0103"));
    ASSERT_EQ(nested.size(), 1u);
    Tlv root;
    root.children = nested;
    ASSERT_NE(root.find(0x9B), nullptr);
    EXPECT_EQ(root.find(0x9B)->value, hex("03"));
    // A constructed element whose content is garbage keeps no children but is still there.
    auto broken = parseTlv(hex("3003 0405AA"));
    ASSERT_EQ(broken.size(), 1u);
    EXPECT_TRUE(broken[0].children.empty());
}

TEST(TlvTest, BitStringsNameBitsFromTheFirstByte) {
    EXPECT_EQ(tlvBitFlags(hex("0764")), 0u) << "bits declared unused are not read";
    EXPECT_EQ(tlvBitFlags(hex("0264")), 0x26u);
    EXPECT_EQ(tlvBitFlags(hex("060040")), 0x200u);
    EXPECT_EQ(tlvBitFlags(hex("07")), 0u);
    EXPECT_EQ(tlvBitFlags({}), 0u);
}

TEST(Pkcs15Test, DirectoriesSkipEntriesTheyCannotUse) {
    Bytes good = hex("3021 3005 0C03 4B4559 300A 040101 03020264 020102 A10C 300A 3004 04023F00 02020400");
    Bytes noLabel = hex("300B 3000 3007 040101 020102");
    Bytes bigReference = hex("3011 3005 0C03 4B4559 3008 040101 0203010000");
    Bytes noId = hex("300C 3005 0C03 4B4559 3003 020102");
    Bytes all = good;
    for (const Bytes* b : {&noLabel, &bigReference, &noId}) all.insert(all.end(), b->begin(), b->end());
    auto keys = parsePrivateKeyDirectory(all);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].label, "KEY");
    EXPECT_EQ(keys[0].id, hex("01"));
    EXPECT_EQ(keys[0].reference, 2);
    EXPECT_TRUE(keys[0].isAuthKey());
    EXPECT_EQ(keys[0].modulusBits, 1024);

    auto certs =
        parseCertificateDirectory(hex("301E 3006 0C04 43455254 3003 040101 A10F 300D 300B 04063F000001A001 020100"));
    ASSERT_EQ(certs.size(), 1u);
    EXPECT_EQ(certs[0].label, "CERT");
    EXPECT_EQ(certs[0].path, hex("3F000001A001"));
    EXPECT_TRUE(parseCertificateDirectory(hex("3009 3007 0C05 4C4142454C")).empty());
    EXPECT_TRUE(parseCertificateDirectory(hex("30FF 3000")).empty());
}

TEST(IdentityTest, CardInfoNeedsEveryField) {
    auto id = parseCardInfo(hex("8004 5145 4C34 810A 31323334353637383930 8201 5A 8301 4B 8401 01"));
    ASSERT_TRUE(id);
    EXPECT_EQ(id->tokenLabel(), "QEL4-1234567890K");
    EXPECT_EQ(id->tokenSerial(), "1234567890Z");
    EXPECT_TRUE(id->testCard);
    const char* bad[] = {
        "8004 51454C34 810A 31323334353637383930 8201 5A",                // no label character
        "8004 51454C34 810A 3132333435363738393A 8201 5A 8301 4B",        // number not digits
        "8004 51454C34 810A 31323334353637383930 8202 5A5A 8301 4B",      // two check characters
        "8004 51454C00 810A 31323334353637383930 8201 5A 8301 4B",        // control byte in the generation
        "8010 51454C3451454C3451454C3451454C34 8101 31 8201 5A 8301 4B",  // generation too long
    };
    for (const char* b : bad) EXPECT_FALSE(parseCardInfo(hex(b))) << b;

    EXPECT_EQ(cardNumberFromSerialFile(hex("040A 8025000001 1234567890")), "1234567890");
    EXPECT_FALSE(cardNumberFromSerialFile(hex("040A 8025000002 1234567890")));
    EXPECT_FALSE(cardNumberFromSerialFile(hex("040A 8025000001 12345678FF")));
    EXPECT_FALSE(cardNumberFromSerialFile(hex("0409 8025000001 12345678")));
    EXPECT_FALSE(cardNumberFromSerialFile({}));
    auto fallback = identityWithoutCardInfo(CardGeneration::QEL3, "1234567890");
    EXPECT_EQ(fallback.tokenLabel().substr(0, 15), "QEL3-1234567890");
    EXPECT_EQ(fallback.tokenSerial(), identityWithoutCardInfo(CardGeneration::QEL3, "1234567890").tokenSerial());
}

TEST(CardAnswersTest, PinStatusAndFileSize) {
    auto full = parsePinStatus(hex("7015 BF810111 A00F 830101 9A0103 9B0102 9C010A 9D0109"));
    EXPECT_EQ(full.pinTries, 2);
    EXPECT_EQ(full.pinMaxTries, 3);
    EXPECT_EQ(full.pukTries, 9);
    EXPECT_EQ(full.pukMaxTries, 10);
    EXPECT_EQ(parsePinStatus(hex("7006 A004 9D02000A")).pukTries, 10) << "two-byte counter";
    EXPECT_EQ(parsePinStatus(hex("9B0103 9D01")).pinTries, 3) << "flat answer, truncated tail ignored";
    auto none = parsePinStatus(hex("9B"));
    EXPECT_FALSE(none.pinTries);
    EXPECT_FALSE(none.pukTries);
    EXPECT_FALSE(parsePinStatus({}).pinTries);

    EXPECT_EQ(fileSizeFromFcp(hex("6207 8002012C 8201 01")), 300u);
    EXPECT_EQ(fileSizeFromFcp(hex("6F04 81020010")), 16u);
    EXPECT_FALSE(fileSizeFromFcp(hex("6203 820101")));
    EXPECT_FALSE(fileSizeFromFcp(hex("6208 8006 010203040506")));
    EXPECT_FALSE(fileSizeFromFcp(hex("62")));
}

TEST(TraceSwitchTest, ActiveOrDebugSwitchesOn) {
    struct Case {
        const char* text;
        bool on;
    };
    const Case cases[] = {
        {"Traces\n{\n  active = true;\n  debug = 10;\n}", true},
        {"Traces\n{\n  active = false;\n  debug = 0;\n}", false},
        {"Traces { active = false; debug = 3; }", true},
        {"Traces { active = \"true\"; }", true},
        {"Traces { debug = 0 }", false},
        {"Other { active = true; }", false},
        {"Traces active = true;", false},
        {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(traceSwitchOn(c.text), c.on) << c.text;
    EXPECT_EQ(rvName(CKR_PIN_LOCKED), "CKR_PIN_LOCKED");
    EXPECT_EQ(rvName(0x80000001UL), "0x80000001");
}

TEST(MechanismTest, DigestInfoMustBeExact) {
    Bytes info = digestInfoPrefix(HashAlg::sha1);
    info.resize(info.size() + 20, 0xAB);
    auto parsed = parseDigestInfo(info);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->first, HashAlg::sha1);
    EXPECT_EQ(parsed->second, Bytes(20, 0xAB));
    info.push_back(0x00);
    EXPECT_FALSE(parseDigestInfo(info));
    EXPECT_FALSE(parseDigestInfo(Bytes(32, 0x11)));
}

}  // namespace
}  // namespace qel::simp11
