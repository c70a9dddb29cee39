#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "card/aes.h"
#include "card/card_cache.h"
#include "card/card_directory.h"
#include "card/qel_card.h"
#include "card/qel_card_file.h"
#include "common/user_dirs.h"
#include "fake_card.h"

namespace qel {
namespace {

namespace fs = std::filesystem;
using test::cat;
using test::FileCard;
using test::hex;
using test::text;
using test::tlv;

// --- directory contents ---------------------------------------------------------------------

Bytes keyObject(const std::string& label, const Bytes& id, const Bytes& usage, std::uint8_t ref, std::uint16_t bits) {
    return tlv(0x30, cat({tlv(0x30, cat({tlv(0x0C, text(label)), tlv(0x03, hex("0780"))})),
                          tlv(0x30, cat({tlv(0x04, id), tlv(0x03, usage), tlv(0x01, hex("FF")), tlv(0x02, {ref})})),
                          tlv(0xA1, tlv(0x30, cat({tlv(0x30, tlv(0x04, hex("3F000001"))),
                                                   tlv(0x02, {static_cast<std::uint8_t>(bits >> 8),
                                                              static_cast<std::uint8_t>(bits)})})))}));
}

Bytes certObject(const std::string& label, const Bytes& id, const Bytes& path) {
    return tlv(0x30, cat({tlv(0x30, tlv(0x0C, text(label))), tlv(0x30, tlv(0x04, id)),
                          tlv(0xA1, tlv(0x30, tlv(0x30, tlv(0x04, path))))}));
}

const Bytes kSerialFile = hex("04 0A 8025000001 1234567890 0000");
const std::string kSerial = "80250000011234567890";

Bytes keyDirectory() {
    return cat({keyObject("Signature", hex("4501"), hex("0640 40"), 1, 2048),        // decipher + non-repudiation
                keyObject("Authentification", hex("4502"), hex("0520"), 2, 2048)});  // sign
}
Bytes certDirectory() {
    return cat({certObject("Cert signature", hex("4501"), hex("3F000001A001")),
                certObject("Cert auth", hex("4502"), hex("A002"))});
}

TEST(CardDirectory, DecodesKeyAndCertificateEntries) {
    auto keys = decodeKeyDirectory(keyDirectory());
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].keyLabel, "Signature");
    EXPECT_EQ(toHex(keys[0].KeyID), "4501");
    EXPECT_EQ(keys[0].keyUsage, 0x0202);
    EXPECT_EQ(keys[0].keyNum, 1);
    EXPECT_EQ(keys[0].keyBitSize, 2048);
    EXPECT_EQ(keys[1].keyUsage, 0x0004);
    EXPECT_EQ(keys[1].keyNum, 2);

    auto certs = decodeCertificateDirectory(certDirectory());
    ASSERT_EQ(certs.size(), 2u);
    EXPECT_EQ(certs[1].certLabel, "Cert auth");
    EXPECT_EQ(toHex(certs[1].KeyID), "4502");
    EXPECT_EQ(toHex(certs[1].certPath), "A002");
}

TEST(CardDirectory, IncompleteEntriesAreSkippedOrLeftEmpty) {
    const Bytes noLabel = tlv(0x30, cat({tlv(0x30, tlv(0x03, hex("0780"))), tlv(0x30, tlv(0x04, hex("45")))}));
    const Bytes oneChild = tlv(0x30, tlv(0x30, tlv(0x0C, text("x"))));
    const Bytes keyTwoChildren = tlv(0x30, cat({tlv(0x30, tlv(0x0C, text("k"))), tlv(0x30, tlv(0x02, {1}))}));
    const Bytes keyBigRef =
        tlv(0x30, cat({tlv(0x30, tlv(0x0C, text("k"))), tlv(0x30, tlv(0x02, hex("012C"))), tlv(0xA1, {})}));
    const Bytes keyNoBits = tlv(0x30, cat({tlv(0x30, tlv(0x0C, text("k"))), tlv(0x30, {}), tlv(0xA1, {})}));

    auto keys = decodeKeyDirectory(cat({noLabel, oneChild, keyTwoChildren, keyBigRef, keyNoBits, hex("30 05 01")}));
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].keyLabel, "");
    EXPECT_TRUE(keys[0].KeyID.empty());
    EXPECT_EQ(keys[1].keyLabel, "k");
    EXPECT_EQ(keys[1].keyNum, 0);
    EXPECT_EQ(keys[1].keyBitSize, 0);

    const Bytes certNoPath =
        tlv(0x30, cat({tlv(0x30, tlv(0x0C, text("c"))), tlv(0x30, tlv(0x04, hex("45"))), tlv(0xA1, tlv(0x30, {}))}));
    auto certs = decodeCertificateDirectory(cat({noLabel, oneChild, certNoPath}));
    ASSERT_EQ(certs.size(), 2u);
    EXPECT_EQ(certs[0].certLabel, "");
    EXPECT_TRUE(certs[0].KeyID.empty());
    EXPECT_TRUE(certs[0].certPath.empty());
    EXPECT_EQ(certs[1].certLabel, "c");
    EXPECT_EQ(toHex(certs[1].KeyID), "45");
    EXPECT_TRUE(certs[1].certPath.empty());
}

// --- file table -------------------------------------------------------------------------------

TEST(QELFiles, MatchingDecidesWhichCertificateIsRead) {
    QELFiles f;
    f.configure(QELType::QEL3);
    EXPECT_TRUE(f.authCert.matches(hex("A002")));
    EXPECT_TRUE(f.authCert.matches(hex("3F000001A002")));
    EXPECT_FALSE(f.authCert.matches(hex("3F000001A001")));
    EXPECT_FALSE(f.authCert.matches(hex("0001A002")));
    f.configure(QELType::QEL3CL);
    EXPECT_TRUE(f.signCert.fullPath().empty());
    EXPECT_EQ(toHex(f.signEF.fullPath()), "3F003F000001");
}

// --- the card's files and the cache -------------------------------------------------------------

class CardFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = userdirs::cacheHome();
        ASSERT_NE(root_.find("test-home"), std::string::npos) << "tests must run with a private cache: " << root_;
        fs::remove_all(root_);
        card_.files = {{"3F00D003", kSerialFile},
                       {"3F0000017002", keyDirectory()},
                       {"3F0000017005", certDirectory()},
                       {"3F000001A001", hex("3082 0001")},
                       {"3F000001A002", hex("3082 0002")}};
    }
    std::string cacheFile(const std::string& name) const { return root_ + "/sigilla/OLMA/" + kSerial + "/" + name; }
    // A record as this user's programs write it; `sealed` false leaves out the tag that says so.
    void writeRecord(const std::string& name, const Bytes& plain, const std::string& serial = kSerial,
                     bool sealed = true) {
        const std::string key = cacheKey(serial);
        AES aes(Bytes(key.begin(), key.end()));
        fs::create_directories(fs::path(cacheFile(name)).parent_path());
        std::ofstream out(cacheFile(name), std::ios::binary | std::ios::trunc);
        const Bytes c = sealed ? cardcache::seal(serial, name, plain) : aes.aesEncrypt(plain);
        out.write(reinterpret_cast<const char*>(c.data()), static_cast<std::streamsize>(c.size()));
    }

    std::string root_;
    FileCard card_{test::kAtrQel3};
};

TEST_F(CardFileTest, ReadsTheSerialAndFillsTheCacheOnce) {
    QELCard card(card_, card_.atr());
    EXPECT_EQ(card.readSerial(), kSerial);
    EXPECT_EQ(card.readKeyAttributes().size(), 2u);
    const int readsFromCard = card_.reads;
    EXPECT_GT(readsFromCard, 0);

    struct stat st {};
    ASSERT_EQ(::stat(cacheFile("3F0000017002").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((root_ + "/sigilla/OLMA/" + kSerial).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_FALSE(fs::exists(cacheFile("3F00D003")));  // the serial file is never cached

    // The same card again reads the directory from the cache, even when the card has lost the file.
    card_.files.erase("3F0000017002");
    QELCard again(card_, card_.atr());
    again.readSerial();
    auto keys = again.readKeyAttributes();
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[1].keyLabel, "Authentification");
    EXPECT_EQ(card_.reads, readsFromCard + 1);  // the serial only
    for (const auto& e : fs::directory_iterator(fs::path(cacheFile("x")).parent_path()))
        EXPECT_EQ(e.path().filename().string().find(".XXXX"), std::string::npos);  // no temporary left
}

TEST_F(CardFileTest, UnusableCacheFilesFallBackToTheCardAndAreReplaced) {
    test::LogCapture log;
    const Bytes longRecord = cat({hex("0000 00C8"), Bytes(200, 0x41)});
    struct Case {
        const char* name;
        std::function<void()> prepare;
        const char* logLine;
    };
    const Case cases[] = {
        {"short",
         [&] {
             fs::create_directories(fs::path(cacheFile("3F0000017002")).parent_path());
             std::ofstream(cacheFile("3F0000017002")) << "0123456789";
         },
         "QEL File : Reading cache file - An error occurred : "},
        {"corrupted",
         [&] {
             writeRecord("3F0000017002", longRecord);
             std::fstream f(cacheFile("3F0000017002"), std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(-5, std::ios::end);
             f.put('\x5A');
         },
         "QEL File : Reading cache file - An error occurred : "},
        {"foreign key", [&] { writeRecord("3F0000017002", longRecord, "1111"); }, "An error occurred"},
        // Enciphered with the right key, but not by this user's programs: anyone who knows the
        // serial can make such a file.
        {"no tag", [&] { writeRecord("3F0000017002", longRecord, kSerial, false); },
         "An error occurred : cache record not written by this user's programs"},
        {"another file's record",
         [&] {
             writeRecord("3F0000017005", longRecord);
             fs::copy_file(cacheFile("3F0000017005"), cacheFile("3F0000017002"));
         },
         "not written by this user's programs"},
        {"tag altered",
         [&] {
             writeRecord("3F0000017002", longRecord);
             std::fstream f(cacheFile("3F0000017002"), std::ios::in | std::ios::out | std::ios::binary);
             f.seekp(-1, std::ios::end);
             f.put('\x00');
             f.seekp(-2, std::ios::end);
             f.put('\x01');
         },
         "not written by this user's programs"},
        {"wrong header", [&] { writeRecord("3F0000017002", hex("0001 0003 414243")); }, nullptr},
        {"length mismatch", [&] { writeRecord("3F0000017002", hex("0000 0005 414243")); }, "An error occurred"},
        {"too short record", [&] { writeRecord("3F0000017002", hex("000000")); }, "An error occurred"},
        {"a folder", [&] { fs::create_directories(cacheFile("3F0000017002")); }, "An error occurred"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(root_);
        c.prepare();
        QELCard card(card_, card_.atr());
        card.readSerial();
        const int before = card_.reads;
        EXPECT_EQ(card.readKeyAttributes().size(), 2u);
        EXPECT_GT(card_.reads, before);
        if (c.logLine) {
            EXPECT_TRUE(log.contains(c.logLine));
        }
        if (std::string(c.name) != "a folder") {
            // Replaced by the read from the card: the next read comes from the cache.
            QELCard again(card_, card_.atr());
            again.readSerial();
            const int reads = card_.reads;
            EXPECT_EQ(again.readKeyAttributes().size(), 2u);
            EXPECT_EQ(card_.reads, reads);
        }
    }
}

TEST_F(CardFileTest, AValidRecordIsTheContent) {
    writeRecord("3F000001A002", hex("0000 0003 414243"));
    QELCard card(card_, card_.atr());
    card.readSerial();
    EXPECT_EQ(toHex(card.readCertificateData(hex("A002")).value()), "414243");
    // The first header byte is not examined.
    writeRecord("3F000001A002", hex("7F00 0002 4445"));
    const int reads = card_.reads;
    EXPECT_EQ(toHex(card.readCertificateData(hex("A002")).value()), "4445");
    EXPECT_EQ(card_.reads, reads);
    EXPECT_EQ(toHex(card.readCertificateData(hex("3F000001A001")).value()), "30820001");
}

// A card renewed or re-issued under the same serial: the first bytes of each cached certificate are
// compared with the card's, two commands each, and any difference drops the card's whole cache.
TEST_F(CardFileTest, TheCacheFollowsACertificateChangedOnTheCard) {
    card_.files["3F000001A001"] = cat({hex("3082 0040 3082 0030 A003 020102 0208 0102030405060708"), Bytes(60, 0x11)});
    auto readAll = [&] {
        QELCard card(card_, card_.atr());
        card.readSerial();
        const bool dropped = card.dropStaleCache();
        card.readKeyAttributes();
        card.readCertificates();
        const Bytes first = card.readCertificateData(hex("3F000001A001")).value();
        card.readCertificateData(hex("A002"));
        return std::pair{dropped, first};
    };
    EXPECT_FALSE(readAll().first);  // nothing cached yet
    const int commands = card_.reads + card_.selects;
    EXPECT_FALSE(readAll().first);
    // Warm: the serial (select, read) and two commands per certificate.
    EXPECT_EQ(card_.reads + card_.selects - commands, 2 + 2 * 2);

    test::LogCapture log;
    // The renewed certificate has a new serial number; everything after the compared bytes too.
    Bytes renewed = card_.files["3F000001A001"];
    renewed[20] ^= 0xFF;
    card_.files["3F000001A001"] = renewed;
    card_.files["3F0000017002"] = keyObject("Renouvelee", hex("4501"), hex("0640 40"), 1, 2048);
    const auto [dropped, first] = readAll();
    EXPECT_TRUE(dropped);
    EXPECT_EQ(first, renewed);
    EXPECT_TRUE(log.contains("QEL File : 3F000001A001 changed on the card, the card's cache is dropped"));
    QELCard card(card_, card_.atr());
    card.readSerial();
    EXPECT_EQ(card.readKeyAttributes().at(0).keyLabel, "Renouvelee");  // the directory was read anew too

    // A certificate the card no longer has drops the cache as well.
    card_.files.erase("3F000001A002");
    QELCard again(card_, card_.atr());
    again.readSerial();
    EXPECT_TRUE(again.dropStaleCache());
    EXPECT_FALSE(fs::exists(cacheFile("3F0000017002")));
}

// The key that authenticates records is the user's alone; a key file others can read or replace
// stops the cache rather than trusting it. Clearing removes one card's records or every card's.
TEST_F(CardFileTest, TheRecordKeyIsPrivateAndTheCacheCanBeCleared) {
    test::LogCapture log;
    const std::string keyFile = cardcache::keyFilePath();
    fs::remove(keyFile);
    writeRecord("3F0000017002", cat({hex("0000"), hex("00 03"), hex("414243")}));
    struct stat st {};
    ASSERT_EQ(::stat(keyFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 32);
    const SecretBytes key = cardcache::userKey();
    EXPECT_EQ(cardcache::userKey().view(), key.view());  // made once, then read

    ::chmod(keyFile.c_str(), 0644);
    EXPECT_THROW(cardcache::userKey(), std::runtime_error);
    QELCard card(card_, card_.atr());
    card.readSerial();
    EXPECT_EQ(card.readKeyAttributes().size(), 2u);  // from the card, not from the planted record
    EXPECT_TRUE(log.contains("key file refused"));
    ::chmod(keyFile.c_str(), 0600);

    fs::create_directories(root_ + "/sigilla/OLMA/0102");
    writeRecord("3F0000017002", hex("0000 0003 414243"));
    EXPECT_EQ(cardcache::clearCard("0102"), 1);
    EXPECT_EQ(cardcache::clearCard("0102"), 0);
    EXPECT_TRUE(fs::exists(cacheFile("3F0000017002")));
    EXPECT_THROW(cardcache::clearCard("../.."), std::runtime_error);
    fs::create_directories(root_ + "/sigilla/OLMA/0102");
    EXPECT_EQ(cardcache::clearAll(), 2);
    EXPECT_FALSE(fs::exists(cacheFile("3F0000017002")));
    EXPECT_EQ(cardcache::clearAll(), 0);
}

TEST_F(CardFileTest, AnUnusableCacheFolderNeverBlocksARead) {
    test::LogCapture log;
    fs::create_directories(root_ + "/sigilla");
    std::ofstream(root_ + "/sigilla/OLMA") << "not a folder";
    QELCard card(card_, card_.atr());
    card.readSerial();
    EXPECT_EQ(card.readCertificates().size(), 2u);
    EXPECT_TRUE(log.contains("QEL File : Writing cache file - An error occurred : "));
}

// A process with more rights than the cache's owner must neither read records another user planted
// nor write through that user's links.
TEST_F(CardFileTest, CacheFoldersOthersControlAreNeitherReadNorWritten) {
    test::LogCapture log;
    const std::string folder = root_ + "/sigilla/OLMA/" + kSerial;
    const std::string elsewhere = root_ + "/elsewhere";
    writeRecord("3F000001A002", hex("0000 0003 414243"));
    fs::rename(folder, elsewhere);
    fs::create_directory_symlink(elsewhere, folder);
    auto readAuthCert = [&] {
        QELCard card(card_, card_.atr());
        card.readSerial();
        return toHex(card.readCertificateData(hex("A002")).value());
    };
    EXPECT_EQ(readAuthCert(), "30820002");  // from the card
    EXPECT_TRUE(log.contains("QEL File : Reading cache file - An error occurred : cache folder refused: " + folder +
                             " is a symbolic link"));
    EXPECT_TRUE(log.contains("QEL File : Writing cache file - An error occurred : "));
    EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere), fs::directory_iterator()), 1);

    fs::remove(folder);
    fs::rename(elsewhere, folder);
    ::chmod((root_ + "/sigilla").c_str(), 0777);
    EXPECT_EQ(readAuthCert(), "30820002");
    EXPECT_TRUE(log.contains("/sigilla is writable by other users"));
    ::chmod((root_ + "/sigilla").c_str(), 0700);
    EXPECT_EQ(readAuthCert(), "414243");  // the record was left as it was

    fs::rename(cacheFile("3F000001A002"), root_ + "/record");
    fs::create_symlink(root_ + "/record", cacheFile("3F000001A002"));
    EXPECT_EQ(readAuthCert(), "30820002");
}

TEST_F(CardFileTest, CardsWithoutSerialAreReadFromTheCardEveryTime) {
    test::LogCapture log;
    card_.files.erase("3F00D003");
    QELCard card(card_, card_.atr());
    EXPECT_EQ(card.readSerial(), "");
    ASSERT_TRUE(card.cardSerial().has_value());
    EXPECT_EQ(card.readKeyAttributes().size(), 2u);
    const int reads = card_.reads;
    EXPECT_EQ(card.readKeyAttributes().size(), 2u);
    EXPECT_GT(card_.reads, reads);
    EXPECT_FALSE(fs::exists(root_ + "/sigilla/OLMA"));
    EXPECT_TRUE(log.contains("QEL File : Read cache file - Serial must be provided"));
    EXPECT_TRUE(log.contains("QEL File : Writing cache file - Serial must be provided"));
}

TEST_F(CardFileTest, ContentsTooLongForTheRecordAreNotCached) {
    card_.files["3F000001A001"] = Bytes(65536, 0x30);
    QELCard card(card_, card_.atr());
    card.readSerial();
    EXPECT_EQ(card.readCertificateData(hex("3F000001A001")).value().size(), 65536u);
    EXPECT_FALSE(fs::exists(cacheFile("3F000001A001")));
}

TEST_F(CardFileTest, SerialAndDirectoryFailures) {
    test::LogCapture log;
    card_.files["3F00D003"] = hex("04 05 0102");  // truncated element
    QELCard card(card_, card_.atr());
    EXPECT_EQ(card.readSerial(), "");
    card_.files["3F00D003"] = hex("04 03 01A2FF");
    EXPECT_EQ(card.readSerial(), "01A2FF");
    fs::remove_all(root_);
    card_.removed = true;
    EXPECT_TRUE(card.readKeyAttributes().empty());
    EXPECT_TRUE(log.contains("Faid to load private keys info"));
    EXPECT_TRUE(card.readCertificates().empty());
    EXPECT_TRUE(log.contains("Faid to load certs info"));
    EXPECT_FALSE(card.readCertificateData(hex("A002")).has_value());
    EXPECT_TRUE(log.contains("Faid to load cert data"));
    EXPECT_EQ(card.readSerial(), "");
    card_.removed = false;
    card_.files.erase("3F0000017005");
    EXPECT_TRUE(card.readCertificates().empty());
}

TEST(CacheKey, IsAlways32Characters) {
    EXPECT_EQ(cacheKey("0123456789ABCDEF"), "0123456789ABCDEF" + std::string(16, cacheKeyFiller));
    EXPECT_EQ(cacheKey(std::string(40, 'A')), std::string(32, 'A'));
    EXPECT_EQ(cacheKey(std::string(32, 'B')), std::string(32, 'B'));
    EXPECT_EQ(cacheKey(""), std::string(32, cacheKeyFiller));
    EXPECT_FALSE(cacheDirectory("").has_value());
    EXPECT_FALSE(cacheDirectory("../../etc").has_value());
    EXPECT_EQ(cacheDirectory("01A2FF").value(), userdirs::cacheHome() + "/sigilla/OLMA/01A2FF");
}

TEST(Aes, FreshVectorEachTimeAndOnly32ByteKeys) {
    AES aes(Bytes(32, 0x2A));
    const Bytes plain = hex("0000 0003 414243");
    const Bytes cipher = aes.aesEncrypt(plain);
    EXPECT_NE(toHex(cipher), toHex(aes.aesEncrypt(plain)));
    EXPECT_EQ(aes.aesDecrypt(cipher), plain);
    // AES-128 and AES-192 keys are refused like any other length, before any cipher call.
    for (std::size_t size : {0u, 16u, 24u, 31u, 33u}) {
        AES other(Bytes(size, 0x2A));
        for (bool encrypt : {true, false}) {
            try {
                if (encrypt)
                    other.aesEncrypt(plain);
                else
                    other.aesDecrypt(cipher);
                ADD_FAILURE() << size << "-byte key accepted";
            } catch (const AES::Failure& e) {
                EXPECT_EQ(static_cast<int>(e.error()), static_cast<int>(AES::Error::invalidKeySize)) << size;
            }
        }
    }
}

}  // namespace
}  // namespace qel
