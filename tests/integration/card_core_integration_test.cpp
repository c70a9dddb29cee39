// The card access core on virtual cards of every generation, reached through pcscd, the virtual
// reader driver and the card daemon, exactly as Sigilla and Kartello reach a real card.
#include <algorithm>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "card/qel_card.h"
#include "common/hex.h"
#include "common/user_dirs.h"
#include "platform/pcsc/slot_manager.h"
#include "platform/pcsc/token_watcher.h"
#include "sim/card/profile.h"
#include "tests/support/testbed_client.h"
#include "tests/support/token_code.h"

namespace qel {
namespace {

using namespace std::chrono_literals;
using A = AsymmetricAlgorithm;

/// A private copy of one of the testbed's profiles with its state cleared (full PIN counters).
std::string freshProfile(const std::string& name) {
    static int counter = 0;
    std::string target = std::string(std::getenv("HOME")) + "/profiles/" + std::to_string(++counter) + "-" + name;
    std::filesystem::remove_all(target);
    std::filesystem::create_directories(target);
    std::filesystem::copy(testbed::runDir() + "/profiles/" + name, target, std::filesystem::copy_options::recursive);
    std::filesystem::remove(target + "/state.json");
    return target;
}

/// One virtual card put in a reader and opened through PC/SC inside a card session.
struct CardInReader {
    CardInReader(const std::string& profile, const std::string& reader) : readerLabel(reader) {
        testbed::control("swap " + reader + " " + profile);
        const std::string& name = reader == "contact" ? testbed::kContactReader : testbed::kContactlessReader;
        auto slot = slots.waitForCard(name, 3s);
        if (!slot || slot->state != pcsc::SlotState::cardPresent) throw std::runtime_error("no card in " + name);
        card = slots.cardInSlot(name);
        if (!card) throw std::runtime_error("cannot connect to " + name);
        session = std::make_unique<CardSession>(*card);
    }
    ~CardInReader() { session.reset(); }

    std::string readerLabel;
    pcsc::SlotManager slots;
    std::unique_ptr<pcsc::PcscCard> card;
    std::unique_ptr<CardSession> session;
};

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using CtxPtr = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

X509Ptr parseCertificate(const Bytes& der) {
    const unsigned char* p = der.data();
    return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

using test::tokenCode;

Bytes readProfileFile(const std::string& dir, const std::string& relative) {
    std::ifstream in(dir + "/" + relative, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CardCoreIntegrationTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { readers = std::make_unique<testbed::ReaderState>(); }
    static void TearDownTestSuite() { readers.reset(); }
    void SetUp() override {
        if (!testbed::daemonRuns()) GTEST_SKIP() << "no card daemon in the testbed";
        std::filesystem::remove_all(userdirs::cacheHome() + "/sigilla");
    }

    static std::unique_ptr<testbed::ReaderState> readers;
};
std::unique_ptr<testbed::ReaderState> CardCoreIntegrationTest::readers;

TEST_F(CardCoreIntegrationTest, RecognisesEachGenerationAndReadsItsSerialDirectoriesAndCertificates) {
    struct Case {
        const char* profile;
        const char* reader;
        QELType type;
    };
    for (const Case& c :
         {Case{"qel3-default", "contact", QELType::QEL3}, Case{"qel3-default", "contactless", QELType::QEL3CL},
          Case{"qel4-default", "contact", QELType::QEL4}}) {
        SCOPED_TRACE(std::string(c.profile) + " in " + c.reader);
        std::string dir = freshProfile(c.profile);
        sim::Profile profile = sim::loadProfile(dir);
        CardInReader in(dir, c.reader);
        QELCard card(*in.card, in.card->atr());
        EXPECT_EQ(card.type(), c.type);
        EXPECT_EQ(card.readSerial(), profile.cardSerial());

        auto keys = card.readKeyAttributes();
        auto certificates = card.readCertificates();
        ASSERT_FALSE(keys.empty());
        ASSERT_FALSE(certificates.empty());
        for (const QELCertificate& entry : certificates) {
            SCOPED_TRACE(entry.certLabel);
            // Every certificate pairs with a key of the directory.
            EXPECT_TRUE(std::any_of(keys.begin(), keys.end(), [&](const auto& k) { return k.KeyID == entry.KeyID; }));
            std::optional<Bytes> der = card.readCertificateData(entry.certPath);
            ASSERT_TRUE(der);
            EXPECT_TRUE(parseCertificate(*der));
            auto match = std::find_if(profile.keys.begin(), profile.keys.end(),
                                      [&](const sim::KeyProfile& k) { return k.keyId == entry.KeyID; });
            ASSERT_NE(match, profile.keys.end());
            EXPECT_EQ(toHex(*der), toHex(readProfileFile(dir, match->certificateFile)));
        }
    }
    // The fourth generation's contactless face is the DESFire application: not a card for this layer.
    std::string dir = freshProfile("qel4-default");
    CardInReader in(dir, "contactless");
    EXPECT_EQ(tokenCode([&] { QELCard card(*in.card, in.card->atr()); }), CardError::badParameter);
}

TEST_F(CardCoreIntegrationTest, CertificatesComeFromTheCacheOnceRead) {
    for (const char* name : {"qel3-default", "qel4-default"}) {
        SCOPED_TRACE(name);
        std::filesystem::remove_all(userdirs::cacheHome() + "/sigilla");
        CardInReader in(freshProfile(name), "contact");
        auto readAll = [&] {
            QELCard card(*in.card, in.card->atr());
            card.readSerial();
            card.readKeyAttributes();
            for (const QELCertificate& c : card.readCertificates()) EXPECT_TRUE(card.readCertificateData(c.certPath));
        };
        long before = testbed::apduCount("contact");
        readAll();
        long cold = testbed::apduCount("contact") - before;
        readAll();
        long warm = testbed::apduCount("contact") - before - cold;
        std::cout << name << ": serial, directories and certificates in " << cold << " APDUs cold, " << warm
                  << " warm\n";
        EXPECT_LT(warm, cold);
    }
}

/// Verifies a signature made by the card with the certificate's public key.
void expectVerifies(EVP_PKEY* key, AsymmetricAlgorithm algorithm, const Bytes& digest, const Bytes& signature) {
    const EVP_MD* md = nullptr;
    bool pss = false;
    switch (algorithm) {
        case A::RSASignatureDigestPKCS1v15SHA1:
            md = EVP_sha1();
            break;
        case A::RSASignatureDigestPKCS1v15SHA224:
            md = EVP_sha224();
            break;
        case A::RSASignatureDigestPKCS1v15SHA256:
            md = EVP_sha256();
            break;
        case A::RSASignatureDigestPSSSHA1:
            md = EVP_sha1();
            pss = true;
            break;
        case A::RSASignatureDigestPSSSHA256:
            md = EVP_sha256();
            pss = true;
            break;
        default:
            FAIL() << "no verification for " << constantName(algorithm);
    }
    CtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    ASSERT_EQ(EVP_PKEY_verify_init(ctx.get()), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), pss ? RSA_PKCS1_PSS_PADDING : RSA_PKCS1_PADDING), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_signature_md(ctx.get(), md), 1);
    if (pss) EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), RSA_PSS_SALTLEN_AUTO);
    EXPECT_EQ(EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest.data(), digest.size()), 1)
        << constantName(algorithm);
}

Bytes digestOf(AsymmetricAlgorithm algorithm, const std::string& message) {
    bool sha1 = algorithm == A::RSASignatureDigestPKCS1v15SHA1 || algorithm == A::RSASignatureDigestPSSSHA1;
    const EVP_MD* md = sha1                                               ? EVP_sha1()
                       : algorithm == A::RSASignatureDigestPKCS1v15SHA224 ? EVP_sha224()
                                                                          : EVP_sha256();
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    EVP_Digest(message.data(), message.size(), digest.data(), &size, md, nullptr);
    digest.resize(size);
    return digest;
}

TEST_F(CardCoreIntegrationTest, SignsWithEveryAcceptedAlgorithmAndDeciphers) {
    for (const char* name : {"qel3-default", "qel4-default"}) {
        SCOPED_TRACE(name);
        CardInReader in(freshProfile(name), "contact");
        QELCard card(*in.card, in.card->atr());
        card.readSerial();
        auto certificates = card.readCertificates();
        card.checkPin();
        card.verifyPin("1234");
        int signatures = 0, deciphered = 0;
        for (const QELKeyAttribute& k : card.readKeyAttributes()) {
            SCOPED_TRACE(k.keyLabel);
            auto cert = std::find_if(certificates.begin(), certificates.end(),
                                     [&](const auto& c) { return c.KeyID == k.KeyID; });
            ASSERT_NE(cert, certificates.end());
            X509Ptr x509 = parseCertificate(*card.readCertificateData(cert->certPath));
            ASSERT_TRUE(x509);
            PkeyPtr publicKey(X509_get_pubkey(x509.get()));
            CardKey key{keyTypeForUsage(k.keyUsage), k.keyNum, Algos(card.type(), isDecipherCapable(k.keyUsage))};
            for (AsymmetricAlgorithm algorithm : key.algos.sign) {
                Bytes digest = digestOf(algorithm, "message signed by " + k.keyLabel);
                Bytes signature = card.signData(digest, algorithm, key);
                expectVerifies(publicKey.get(), algorithm, digest, signature);
                ++signatures;
            }
            if (!key.algos.acceptsDecrypt(A::RSAEncryptionPKCS1)) continue;
            Bytes secret(32);
            RAND_bytes(secret.data(), static_cast<int>(secret.size()));
            CtxPtr ctx(EVP_PKEY_CTX_new(publicKey.get(), nullptr));
            ASSERT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
            std::size_t size = 0;
            EVP_PKEY_encrypt(ctx.get(), nullptr, &size, secret.data(), secret.size());
            Bytes cryptogram(size);
            ASSERT_EQ(EVP_PKEY_encrypt(ctx.get(), cryptogram.data(), &size, secret.data(), secret.size()), 1);
            cryptogram.resize(size);
            Bytes plain = card.decryptData(cryptogram, A::RSAEncryptionPKCS1, key);
            // The fourth generation strips the padding; the third hands the block back as the card gave it.
            if (card.type() == QELType::QEL4) {
                EXPECT_EQ(toHex(plain), toHex(secret));
            } else {
                ASSERT_GE(plain.size(), secret.size());
                EXPECT_EQ(toHex(Bytes(plain.end() - static_cast<long>(secret.size()), plain.end())), toHex(secret));
            }
            ++deciphered;
        }
        EXPECT_GE(signatures, 4);
        EXPECT_GE(deciphered, 1);
        // An algorithm the key does not take is refused before the card sees anything.
        long before = testbed::apduCount("contact");
        CardKey signKey{KeyType::SIGN_KEY, 1, Algos(card.type(), false)};
        EXPECT_EQ(tokenCode([&] { card.signData(Bytes(48, 1), A::RSASignatureDigestPKCS1v15SHA384, signKey); }),
                  CardError::badParameter);
        EXPECT_EQ(testbed::apduCount("contact"), before);
    }
}

TEST_F(CardCoreIntegrationTest, PinCountsDownBlocksAndIsUnblockedWithThePuk) {
    for (const char* name : {"qel3-default", "qel4-default"}) {
        SCOPED_TRACE(name);
        CardInReader in(freshProfile(name), "contact");
        QELCard card(*in.card, in.card->atr());
        card.checkPin();
        EXPECT_EQ(tokenCode([&] { card.verifyPin("9999"); }), CardError::communicationError);
        EXPECT_EQ(tokenCode([&] { card.checkPin(); }), 0);  // two tries left
        EXPECT_EQ(tokenCode([&] { card.verifyPin("9999"); }), CardError::communicationError);
        EXPECT_EQ(tokenCode([&] { card.verifyPin("9999"); }), CardError::communicationError);
        EXPECT_EQ(tokenCode([&] { card.checkPin(); }), CardError::communicationError);  // blocked
        EXPECT_EQ(tokenCode([&] { card.verifyPin("1234"); }), CardError::communicationError);

        // RESET RETRY COUNTER with the PUK alone: counter back, PIN kept.
        const std::string puk = "12345678";
        CardResponse r = in.card->send(0x2C, 0x01, 0x01, Bytes(puk.begin(), puk.end()), std::nullopt);
        EXPECT_EQ(r.sw, 0x9000);
        EXPECT_EQ(tokenCode([&] { card.checkPin(); }), 0);
        EXPECT_EQ(tokenCode([&] { card.verifyPin("1234"); }), 0);
    }
}

TEST_F(CardCoreIntegrationTest, WatcherNamesTokensAfterTheSerialTheCardCoreReads) {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> events;
    pcsc::TokenWatcher watcher(pcsc::systemPcscApi(), [](SmartCard& card) -> std::optional<std::string> {
        try {
            QELCard qel(card, card.atr());
            std::string serial = qel.readSerial();
            if (serial.empty()) return std::nullopt;
            return serial;
        } catch (const CardError&) {
            return std::nullopt;  // not a card of ours
        }
    });
    auto record = [&](const std::string& e) {
        std::lock_guard lock(mutex);
        events.push_back(e);
        cv.notify_all();
    };
    watcher.setInsertionHandler([&](const std::string& id) { record("+" + id); });
    watcher.setRemovalHandler([&](const std::string& id) { record("-" + id); });
    testbed::control("remove contactless");
    watcher.start();
    // The card an earlier test left in the contact reader is reported too, at start and when it is
    // swapped out: only the events naming this test's card count.
    std::vector<std::string> ours;
    auto waitFor = [&](const std::string& event) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 10s, [&] { return std::find(events.begin(), events.end(), event) != events.end(); });
    };

    std::string qel3 = freshProfile("qel3-default");
    const std::string token = "org.oberlane.qel.sigilla:" + sim::loadProfile(qel3).cardSerial();
    testbed::control("swap contact " + qel3);
    ASSERT_TRUE(waitFor("+" + token));
    // The fourth generation's contactless face has no serial file: no token.
    testbed::control("insert contactless " + freshProfile("qel4-default"));
    testbed::control("remove contact");
    ASSERT_TRUE(waitFor("-" + token));
    watcher.stop();
    for (const std::string& e : events)
        if (e.find(sim::loadProfile(qel3).cardSerial()) != std::string::npos) ours.push_back(e);
    EXPECT_EQ(ours, (std::vector<std::string>{"+" + token, "-" + token}));
    // Nothing arrived after the removal: the contactless card never became a token.
    EXPECT_EQ(events.back(), "-" + token);
}

}  // namespace
}  // namespace qel
