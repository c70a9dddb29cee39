#include <algorithm>
#include <gtest/gtest.h>

#include "test_support.h"

namespace qel::sim::test {
namespace {

struct AtrCase {
    const char* profile;
    ReaderKind kind;
    const char* atr;
};

TEST(SimCardFiles, EachGenerationAndReaderShowsItsAtr) {
    const AtrCase cases[] = {
        {"qel3-default", ReaderKind::contact, "3BAC00402A001225006480000310009000"},
        {"qel3-default", ReaderKind::contactless, "3B8F80010031B86404B0ECC1739401808290000E"},
        {"qel4-default", ReaderKind::contact, "3BDC18FF00001225006480000401009000"},
        {"qel4-default", ReaderKind::contactless, "3B8180018080"},
    };
    for (const AtrCase& c : cases) {
        Reader r(freshProfile(c.profile), c.kind);
        EXPECT_EQ(toHex(r.card->atr()), toHex(hex(c.atr))) << c.profile;
    }
}

TEST(SimCardFiles, SerialFileStartsWithTheLongCardNumber) {
    Reader qel3(freshProfile("qel3-default"), ReaderKind::contact);
    auto serial = qel3.readFile(hex("3F00D003"));
    ASSERT_TRUE(serial.has_value());
    auto tlv = parseTlv(*serial);
    ASSERT_TRUE(tlv.has_value());
    EXPECT_EQ(toHex((*tlv)[0].value), "80250000011234567890");

    // Fourth generation: the file table gives the bare identifier, selected from the MF.
    Reader qel4(freshProfile("qel4-default"), ReaderKind::contact);
    ASSERT_EQ(qel4.send(0xA4, 0x04, 0x04, hex("80250000 01FF0100"), 0).sw, 0x9000);
    auto serial4 = qel4.readFile(hex("D003"));
    ASSERT_TRUE(serial4.has_value());
    EXPECT_EQ(toHex(Bytes(serial4->begin() + 2, serial4->end())), "80250000012345678901");
}

TEST(SimCardFiles, ChipSerialReadWithClassZeroOnBothGenerations) {
    for (const char* name : {"qel3-default", "qel4-default"}) {
        Reader r(freshProfile(name), ReaderKind::contact);
        EXPECT_EQ(toHex(r.card->transmit(hex("00A4000C023F00"))), "9000") << name;
        EXPECT_EQ(toHex(r.card->transmit(hex("00A4000C02D003"))), "9000") << name;
        Bytes answer = r.card->transmit(hex("00B000000C"));
        ASSERT_EQ(answer.size(), 14u) << name;
        EXPECT_EQ(toHex(Bytes(answer.begin() + 7, answer.begin() + 12)), r.model->profile().cardNumber) << name;
    }
}

TEST(SimCardFiles, EveryFileOfTheClientTablesIsReadable) {
    struct Case {
        const char* profile;
        ReaderKind kind;
        std::vector<const char*> files;
    };
    const Case cases[] = {
        {"qel3-default",
         ReaderKind::contact,
         {"3F0000017002", "3F0000017005", "3F000001A001", "3F000001A002", "3F00D003", "3F003F00D010"}},
        {"qel3-default", ReaderKind::contactless, {"3F0000017102", "3F0000017105", "3F000001A003", "3F00D003"}},
        {"qel4-default",
         ReaderKind::contact,
         {"3F0000017002", "3F0000017005", "3F0000010101A010", "3F0000010102A020", "D003"}},
    };
    for (const Case& c : cases) {
        Reader r(freshProfile(c.profile), c.kind);
        for (const char* path : c.files) {
            auto content = r.readFile(hex(path));
            ASSERT_TRUE(content.has_value()) << c.profile << " " << path;
            EXPECT_FALSE(content->empty()) << path;
        }
        // The key folders as the clients select them (the contactless one through 3F00 3F00 0001).
        const char* keyFolder = c.kind == ReaderKind::contactless ? "3F003F000001" : "3F000001";
        EXPECT_EQ(r.selectPath(hex(keyFolder)).sw, 0x9000) << c.profile;
    }
}

// Walks a directory the way both narrow one-byte-length readers and BER readers see it.
void expectShortLengths(const Bytes& b) {
    auto tlv = parseTlv(b);
    ASSERT_TRUE(tlv.has_value());
    std::function<void(const std::vector<Tlv>&)> walk = [&](const std::vector<Tlv>& list) {
        for (const Tlv& t : list) {
            EXPECT_LT(t.value.size(), 0x80u) << "tag " << t.tag;
            walk(t.children);
        }
    };
    walk(*tlv);
}

TEST(SimCardFiles, DirectoriesLinkEachKeyToItsCertificate) {
    struct Case {
        const char* profile;
        ReaderKind kind;
        const char* prkd;
        const char* cd;
        std::vector<std::pair<const char*, int>> labelsAndRefs;
    };
    const Case cases[] = {
        {"qel3-default",
         ReaderKind::contact,
         "3F0000017002",
         "3F0000017005",
         {{"Certificat de Signature QEL", 1}, {"Certificat d'Authentification QEL", 2}}},
        {"qel3-default", ReaderKind::contactless, "3F0000017102", "3F0000017105", {{"Certificat Technique QEL", 3}}},
        {"qel4-default",
         ReaderKind::contact,
         "3F0000017002",
         "3F0000017005",
         {{"Certificat de Signature QEL", 2}, {"Certificat d'Authentification QEL", 3}}},
    };
    for (const Case& c : cases) {
        Reader r(freshProfile(c.profile), c.kind);
        auto prkd = r.readFile(hex(c.prkd));
        auto cd = r.readFile(hex(c.cd));
        ASSERT_TRUE(prkd && cd);
        expectShortLengths(*prkd);
        expectShortLengths(*cd);
        auto keys = *parseTlv(*prkd);
        auto certs = *parseTlv(*cd);
        ASSERT_EQ(keys.size(), c.labelsAndRefs.size());
        ASSERT_EQ(certs.size(), c.labelsAndRefs.size());
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const Tlv& key = keys[i];
            const Tlv& cert = certs[i];
            ASSERT_EQ(key.children.size(), 3u);
            ASSERT_EQ(cert.children.size(), 3u);
            const Bytes& keyId = key.children[1].find(0x04)->value;
            EXPECT_EQ(key.children[1].find(0x02)->value, Bytes{static_cast<std::uint8_t>(c.labelsAndRefs[i].second)});
            EXPECT_EQ(keyId.back(), c.labelsAndRefs[i].second);
            // modulus bits: A1 { 30 { 30 {path} 02 08 00 } }
            EXPECT_EQ(toHex(key.children[2].children[0].find(0x02)->value), "0800");
            // Usage: decipher (bit 1) only for the authentication and technical keys.
            const Bytes& usage = key.children[1].find(0x03)->value;
            const bool decipher = (usage[1] & 0x40) != 0;
            EXPECT_EQ(decipher, std::string(c.labelsAndRefs[i].first).find("Signature") == std::string::npos);

            const Bytes& labelBytes = cert.children[0].find(0x0C)->value;
            EXPECT_EQ(std::string(labelBytes.begin(), labelBytes.end()), c.labelsAndRefs[i].first);
            EXPECT_EQ(toHex(cert.children[1].find(0x04)->value), toHex(keyId));
            const Bytes& path = cert.children[2].children[0].children[0].find(0x04)->value;
            auto der = r.readFile(path);
            ASSERT_TRUE(der.has_value()) << toHex(path);
            EXPECT_NE(publicKeyOf(*der), nullptr);
        }
    }
}

TEST(SimCardFiles, HolderRecordsCarryTheProfile) {
    const std::string dir = freshProfile("qel3-default");
    Reader r(dir, ReaderKind::contact);
    auto id = r.readFile(hex("3F000003D001"));
    ASSERT_TRUE(id.has_value());
    const Tlv idCard = (*parseTlv(*id))[0];
    EXPECT_EQ(idCard.tag, 0xE3u);
    EXPECT_EQ(toHex(idCard.find(0x81)->value), "1234567890");
    EXPECT_EQ(toHex(idCard.find(0x82)->value), "80");
    std::string until = loadProfile(dir).validUntil;  // yyyy-MM-dd, BCD on the card
    until.erase(std::remove(until.begin(), until.end(), '-'), until.end());
    EXPECT_EQ(toHex(idCard.find(0x84)->value), until);
    auto name = r.readFile(hex("3F000003D002"));
    ASSERT_TRUE(name.has_value());
    EXPECT_EQ(toHex((*parseTlv(*name))[0].find(0x80)->value), "1F");  // civility 31

    // Card info: everything the stand-in library needs for the token label and serial.
    auto info = r.readFile(hex("3F000003D000"));
    ASSERT_TRUE(info.has_value());
    auto fields = *parseTlv(*info);
    auto text = [&](std::size_t i) { return std::string(fields[i].value.begin(), fields[i].value.end()); };
    EXPECT_EQ(text(0) + "-" + text(1) + text(3), "QEL3-1234567890Z");
    EXPECT_EQ(text(1) + text(2), "1234567890Z");
    EXPECT_EQ(toHex(fields[4].value), "01");
}

TEST(SimCardFiles, SituationFilesNeedThePin) {
    Reader r(freshProfile("qel3-default"), ReaderKind::contact);
    for (const char* path : {"3F000003D101", "3F000003D102", "3F000003D200"}) {
        ASSERT_EQ(r.selectPath(hex(path)).sw, 0x9000) << path;
        EXPECT_EQ(r.send(0xB0, 0, 0, {}, 16).sw, 0x6982) << path;
    }
    EXPECT_EQ(r.selectPath(hex("3F000003D103")).sw, 0x6A82);  // two situations only
    ASSERT_EQ(r.verifyPin("1234"), 0x9000);
    auto billing = r.readFile(hex("3F000003D200"));
    ASSERT_TRUE(billing.has_value());
    const Tlv facts = (*parseTlv(*billing))[0];
    ASSERT_EQ(facts.children.size(), 2u);
    EXPECT_EQ(toHex(facts.children[0].find(0x82)->value), "011401");
    EXPECT_EQ(toHex(facts.children[0].find(0x83)->value), "020304");

    Reader cl(freshProfile("qel3-default"), ReaderKind::contactless);
    EXPECT_EQ(cl.selectPath(hex("3F000003D001")).sw, 0x6A82);
    EXPECT_EQ(cl.selectPath(hex("3F000003D000")).sw, 0x9000);
}

TEST(SimCardFiles, ReadBinaryBoundaries) {
    Reader r(freshProfile("qel3-default"), ReaderKind::contact);
    EXPECT_EQ(r.send(0xB0, 0, 0, {}, 4).sw, 0x6986);  // no current file after power-on
    ASSERT_EQ(r.selectPath(hex("3F00D003")).sw, 0x9000);
    EXPECT_EQ(r.send(0xB0, 0x00, 0x0D, {}, 1).sw, 0x6B00);
    CardResponse tail = r.send(0xB0, 0x00, 0x08, {}, 10);
    EXPECT_EQ(tail.sw, 0x6282);
    EXPECT_EQ(tail.data.size(), 4u);
    CardResponse all = r.send(0xB0, 0x00, 0x00, {}, 0);  // Le 00: everything, up to 256
    EXPECT_EQ(all.sw, 0x9000);
    EXPECT_EQ(all.data.size(), 12u);
}

TEST(SimCardFiles, AnswersWithoutLeWaitForGetResponse) {
    Reader r(freshProfile("qel3-default"), ReaderKind::contact);
    Bytes first = r.card->transmit(hex("00A4090406 3F0000017002"));
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0], 0x61);
    Bytes fcp = r.card->transmit(Bytes{0x00, 0xC0, 0x00, 0x00, first[1]});
    ASSERT_EQ(fcp.size(), static_cast<std::size_t>(first[1]) + 2);
    EXPECT_EQ(toHex(Bytes(fcp.end() - 2, fcp.end())), "9000");
    EXPECT_EQ(fcp[2], 0x80);
    // Nothing left: a second GET RESPONSE is refused.
    EXPECT_EQ(toHex(r.card->transmit(hex("00C0000010"))), "6985");
}

TEST(SimCardFiles, ClassBytesAsEachGenerationTakesThem) {
    Reader qel4(freshProfile("qel4-default"), ReaderKind::contact);
    EXPECT_EQ(toHex(qel4.card->transmit(hex("00A4080004 3F00D003 00"))), "6E00");
    EXPECT_EQ(toHex(qel4.card->transmit(hex("002241B803830103"))), "6E00");
    EXPECT_EQ(toHex(qel4.card->transmit(hex("00CB3FFF0A4D087006BF810102A080E7"))), "6E00");
    EXPECT_EQ(toHex(qel4.card->transmit(hex("01A4040408 8025000001FF0100"))).substr(0, 2), "61");
    EXPECT_EQ(qel4.send(0xA4, 0x08, 0x00, hex("3F00D003"), 0).sw, 0x9000);

    Reader qel3(freshProfile("qel3-default"), ReaderKind::contact);
    EXPECT_EQ(toHex(qel3.card->transmit(hex("01A4000C023F00"))), "6E00");
    EXPECT_EQ(toHex(qel3.card->transmit(hex("00FF000000"))), "6D00");
}

TEST(SimCardFiles, UpdatesPersistAcrossPowerAndReload) {
    const std::string dir = freshProfile("qel3-default");
    {
        Reader r(dir, ReaderKind::contact);
        ASSERT_EQ(r.selectPath(hex("3F003F00D010")).sw, 0x9000);
        EXPECT_EQ(r.send(0xD6, 0, 0, hex("8002")).sw, 0x6982);
        ASSERT_EQ(r.verifyPin("1234"), 0x9000);
        EXPECT_EQ(r.send(0xD6, 0, 0, hex("8001 07")).sw, 0x9000);
        EXPECT_EQ(r.send(0xD6, 0, 30, hex("000000")).sw, 0x6700);  // files do not grow
        EXPECT_EQ(r.selectPath(hex("3F00D003")).sw, 0x9000);
        EXPECT_EQ(r.send(0xD6, 0, 0, hex("00")).sw, 0x6986);  // the serial is never written
    }
    Reader again(dir, ReaderKind::contactless);  // the same chip through the other interface
    auto content = again.readFile(hex("3F003F00D010"));
    ASSERT_TRUE(content.has_value());
    EXPECT_EQ(toHex(Bytes(content->begin(), content->begin() + 3)), "800107");
}

}  // namespace
}  // namespace qel::sim::test
