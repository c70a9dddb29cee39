#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <set>

#include "card/qel_card.h"
#include "card/sec_params.h"
#include "common/format.h"
#include "fake_card.h"
#include "tests/support/token_code.h"

// Freed memory is searched for a marker while a test watches: plain text must be wiped before its
// buffer goes back to the allocator.
namespace {
std::atomic<bool> g_watching{false};
std::atomic<int> g_leftInFreedMemory{0};
const std::uint8_t kPlainMarker[] = {'P', 'L', 'A', 'I', 'N', '-', 'T', 'E', 'X', 'T', '-', 'M', 'A', 'R', 'K', '!'};

void inspectFreed(void* p) {
    if (p == nullptr || !g_watching) return;
    const auto* bytes = static_cast<const std::uint8_t*>(p);
    const std::size_t size = malloc_usable_size(p);
    if (std::search(bytes, bytes + size, std::begin(kPlainMarker), std::end(kPlainMarker)) != bytes + size)
        ++g_leftInFreedMemory;
}
}  // namespace

void* operator new(std::size_t size) {
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    inspectFreed(p);
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    inspectFreed(p);
    std::free(p);
}

namespace qel {
namespace {

using A = AsymmetricAlgorithm;
using test::hex;
using test::ScriptedCard;

using test::tokenCode;

CardKey key(QELType type, KeyType role, std::uint8_t num) {
    return CardKey{role, num, Algos(type, role == KeyType::AUTH_KEY)};
}

const std::string kHash32 = "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F";
const std::string kHash20 = "000102030405060708090A0B0C0D0E0F10111213";
const std::string kSelectQel4App = "01 A4 04 04 08 8025000001FF0100 00";

// --- command sequences ------------------------------------------------------------------------

TEST(KeyOperations, ThirdGenerationSequences) {
    ScriptedCard sc(test::kAtrQel3);
    sc.expect("00 A4 09 04 04 3F000001 00", "9000")
        .expect("00 22 41 B6 06 80 01 42 84 01 01", "9000")
        .expect("00 2A 9E 9A 20" + kHash32 + "00", "5151 9000")
        .expect("00 A4 09 04 04 3F000001 00", "6A82")  // outcome not examined
        .expect("00 22 41 A4 06 80 01 02 84 01 02", "9000")
        .expect("00 88 00 00 23 3021300906052B0E03021A05000414" + kHash20 + "00", "5252 9000")
        .expect("00 A4 09 04 04 3F000001 00", "9000")
        .expect("00 22 41 B6 06 80 01 12 84 01 01", "9000")
        .expect("00 2A 9E 9A 14" + kHash20 + "00", "5353 9000");
    QELCard card(sc, sc.atr());
    EXPECT_EQ(toHex(card.signData(hex(kHash32), A::RSASignatureDigestPKCS1v15SHA256,
                                  key(QELType::QEL3, KeyType::SIGN_KEY, 1))),
              "5151");
    EXPECT_EQ(
        toHex(card.signData(hex(kHash20), A::RSASignatureDigestPKCS1v15SHA1, key(QELType::QEL3, KeyType::AUTH_KEY, 2))),
        "5252");
    EXPECT_EQ(
        toHex(card.signData(hex(kHash20), A::RSASignatureDigestPKCS1v15SHA1, key(QELType::QEL3, KeyType::SIGN_KEY, 1))),
        "5353");
    EXPECT_TRUE(sc.done());
}

TEST(KeyOperations, ThirdGenerationDecipherIsChainedAndKeepsTheBlock) {
    const std::string cryptogram = std::string(512, 'C');
    ScriptedCard sc(test::kAtrQel3);
    sc.expect("00 A4 09 04 04 3F000001 00", "9000")
        .expect("00 22 41 B8 06 80 01 1A 84 01 02", "9000")
        .expect("10 2A 80 86 FF 81" + cryptogram.substr(0, 508), "9000")
        .expect("00 2A 80 86 02" + cryptogram.substr(508) + "00", "0002 FFFF 00 41 9000");
    QELCard card(sc, sc.atr());
    const Bytes plain =
        card.decryptData(hex(cryptogram), A::RSAEncryptionPKCS1, key(QELType::QEL3, KeyType::AUTH_KEY, 2));
    EXPECT_EQ(toHex(plain), "0002FFFF0041");
    EXPECT_TRUE(sc.useCommandChaining());
    EXPECT_TRUE(sc.done());
}

TEST(KeyOperations, FourthGenerationSequencesGoOutWithClass01) {
    ScriptedCard sc(test::kAtrQel4);
    sc.expect(kSelectQel4App, "9000");
    QELCard card(sc, sc.atr());
    // The token session hands over its own card object, whatever its class byte.
    ScriptedCard session(test::kAtrQel4);
    session.setCla(0x00);
    session.expect("01 A4 08 00 06 3F0000010101 00", "9000")
        .expect("01 22 81 B6 04 91 02 2C 83", "9000")
        .expect("01 2A 9E 9A 20" + kHash32 + "00", "5454 9000")
        .expect("01 A4 08 00 06 3F0000010102 00", "9000")
        .expect("01 22 41 B8 03 83 01 03", "9000")
        .expect("01 2A 80 86 04 CAFE CAFE 00", "0002 0102030405060708 00 4142 9000");
    card.setSmartCard(session);
    EXPECT_EQ(
        toHex(card.signData(hex(kHash32), A::RSASignatureDigestPSSSHA256, key(QELType::QEL4, KeyType::SIGN_KEY, 3))),
        "5454");
    EXPECT_EQ(toHex(card.decryptData(hex("CAFECAFE"), A::RSAEncryptionPKCS1, key(QELType::QEL4, KeyType::AUTH_KEY, 3))),
              "4142");
    EXPECT_TRUE(session.done());
}

TEST(KeyOperations, RefusedAlgorithmsSendNothing) {
    test::LogCapture log;
    ScriptedCard sc(test::kAtrQel3);
    QELCard card(sc, sc.atr());
    const Bytes hash = hex(kHash32);
    EXPECT_EQ(tokenCode([&] {
                  card.signData(hash, A::RSASignatureDigestPKCS1v15SHA224, key(QELType::QEL3, KeyType::SIGN_KEY, 1));
              }),
              CardError::badParameter);
    EXPECT_TRUE(log.contains("Sign data operation - unsupported algorithm for QEL Sigilla.KeyType.SIGN_KEY key"));
    EXPECT_EQ(tokenCode([&] {
                  card.signData(hash, A::RSASignatureDigestPSSSHA256, key(QELType::QEL3, KeyType::AUTH_KEY, 2));
              }),
              CardError::badParameter);
    EXPECT_EQ(tokenCode([&] { card.signData(hash, KeyAlgorithm(), key(QELType::QEL3, KeyType::AUTH_KEY, 2)); }),
              CardError::badParameter);
    EXPECT_EQ(
        tokenCode([&] { card.decryptData(hash, A::RSAEncryptionPKCS1, key(QELType::QEL3, KeyType::SIGN_KEY, 1)); }),
        CardError::badParameter);
    EXPECT_TRUE(log.contains("Decrypt data operation - unsupported algorithm for QEL Sigilla.KeyType.SIGN_KEY key"));
    EXPECT_EQ(tokenCode([&] {
                  card.decryptData(hash, A::RSAEncryptionOAEPSHA256, key(QELType::QEL3, KeyType::AUTH_KEY, 2));
              }),
              CardError::badParameter);
    EXPECT_TRUE(sc.sent.empty());
    // Only decipher-capable keys of the third generation take SHA-224; QEL4 keys take PSS.
    EXPECT_TRUE(Algos(QELType::QEL3, true).acceptsSign(A::RSASignatureDigestPKCS1v15SHA224));
    EXPECT_TRUE(Algos(QELType::QEL4, false).acceptsSign(A::RSASignatureDigestPSSSHA1));
    EXPECT_FALSE(Algos(QELType::QEL4, false).acceptsSign(A::RSASignatureDigestPKCS1v15SHA224));
    EXPECT_FALSE(Algos(QELType::UNKNOWN, true).acceptsDecrypt(A::RSAEncryptionPKCS1));
}

TEST(KeyOperations, CardRefusalsMapToTokenErrors) {
    const CardKey k = key(QELType::QEL3, KeyType::SIGN_KEY, 1);
    const Bytes hash = hex(kHash32);
    struct Case {
        const char* mseAnswer;
        const char* psoAnswer;  // nullptr when the MSE fails
        int code;
    };
    const Case cases[] = {
        {"6982", nullptr, CardError::authenticationNeeded},
        {"6A80", nullptr, CardError::badParameter},
        {"9000", "6982", CardError::authenticationNeeded},
        {"9000", "6A88", 27272},
        {"9000", "6A80", 27264},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.psoAnswer ? c.psoAnswer : c.mseAnswer);
        ScriptedCard sc(test::kAtrQel3);
        sc.expect("00 A4 09 04 04 3F000001 00", "9000").expect("00 22 41 B6 06 80 01 42 84 01 01", c.mseAnswer);
        if (c.psoAnswer) sc.expect("00 2A 9E 9A 20" + kHash32 + "00", c.psoAnswer);
        QELCard card(sc, sc.atr());
        EXPECT_EQ(tokenCode([&] { card.signData(hash, A::RSASignatureDigestPKCS1v15SHA256, k); }), c.code);
        EXPECT_TRUE(sc.done());
    }
    // Transport failures of the key commands reach the caller unchanged.
    ScriptedCard gone(test::kAtrQel3);
    gone.expect("00 A4 09 04 04 3F000001 00", "9000")
        .expectThrow("00 22 41 B6 06 80 01 42 84 01 01", TransportError::Kind::cardRemoved);
    QELCard card(gone, gone.atr());
    EXPECT_THROW(card.signData(hash, A::RSASignatureDigestPKCS1v15SHA256, k), TransportError);
}

// --- tables -----------------------------------------------------------------------------------------

TEST(SecParams, EnvironmentPrefixAndReference) {
    SecParams p;
    p.keyId = 3;
    p.cardType = QELType::UNKNOWN;
    p.algorithm = A::RSASignatureDigestPSSSHA1;
    MseParameters m = p.mseParameters();
    EXPECT_EQ(format("%02X %02X %s", m.p1, m.p2, toHex(m.data).c_str()), "81 B6 91021583");
    p.algorithm = A::ECDSASignatureDigestX962SHA256;
    EXPECT_EQ(p.algorithmReference(), 0x0A);
    EXPECT_FALSE(p.digestInfoPrefix().has_value());
    // Each prefix ends with the OCTET STRING header of the digest that follows it.
    const std::tuple<A, std::size_t, int> prefixes[] = {{A::RSASignatureDigestPKCS1v15SHA1, 15, 20},
                                                        {A::RSASignatureDigestPKCS1v15SHA224, 19, 28},
                                                        {A::RSASignatureDigestPKCS1v15SHA256, 19, 32},
                                                        {A::RSASignatureDigestPKCS1v15SHA384, 19, 48},
                                                        {A::RSASignatureDigestPKCS1v15SHA512, 19, 64}};
    for (auto [alg, size, digest] : prefixes) {
        p.algorithm = alg;
        ASSERT_TRUE(p.digestInfoPrefix().has_value());
        EXPECT_EQ(p.digestInfoPrefix()->size(), size);
        EXPECT_EQ(p.digestInfoPrefix()->back(), digest);
        EXPECT_EQ((*p.digestInfoPrefix())[1] + 2u, size + digest);  // outer SEQUENCE length
    }
}

TEST(AlgorithmName, EveryConstantHasItsOwnLogName) {
    std::set<std::string> seen;
    for (A a : allKeyAlgorithms()) seen.insert(algorithmName(a));
    EXPECT_EQ(allKeyAlgorithms().size(), 76u);
    EXPECT_EQ(seen.size(), 76u);
    EXPECT_EQ(algorithmName(A::RSASignatureDigestPKCS1v15SHA256), "rsaSignatureDigestPKCS1v15SHA256");
    EXPECT_EQ(algorithmName(A::ECDHKeyExchangeStandard), "ecdhKeyExchangeStandard");
    EXPECT_EQ(algorithmName(A::ECDSASignatureRFC4754), "ecdsaSignatureRFC4754");
    EXPECT_EQ(algorithmName(A::ECIESEncryptionCofactorX963SHA1AESGCM), "eciesEncryptionCofactorX963SHA1AESGCM");
    EXPECT_EQ(algorithmName(KeyAlgorithm()), "unknown algorithm");
}

TEST(Pkcs1Padding, GoodBlocksGiveTheMessageAndEveryBadOneTheSameErrorAndLine) {
    test::LogCapture log;
    EXPECT_EQ(toHex(removePkcs1Padding(hex("0002 0102030405060708 00 4142"))), "4142");
    EXPECT_EQ(toHex(removePkcs1Padding(hex("02 0102030405060708 00 4142"))), "4142");
    EXPECT_EQ(toHex(removePkcs1Padding(hex("0002 0102030405060708 00"))), "");
    EXPECT_EQ(toHex(removePkcs1Padding(hex("0002 0102030405060708 090A 00 0000"))), "0000");
    EXPECT_FALSE(log.contains("Padding"));

    // A padding oracle tells one kind of bad block from another; here they all look alike.
    const char* bad[] = {
        "02 1122 00 4142",               // too little padding
        "0002 01020304050607 00 41",     // seven padding bytes
        "02 1122 3344",                  // no separator
        "0002 0102030405060708 090A0B",  // no separator in a long block
        "01 0102030405060708 00 41",     // another block type
        "0000 0102030405060708 00 41",   // type 00
        "0001 0102030405060708 00 41",   // signature padding
        "",
        "00",
        "0000 41",
        "00 02",
    };
    for (const char* block : bad) {
        SCOPED_TRACE(block);
        const std::size_t before = log.text().size();
        EXPECT_EQ(tokenCode([&] { (void)removePkcs1Padding(hex(block)); }), kBadPaddingStatus);
        const std::string written = log.text().substr(before);
        EXPECT_EQ(written.substr(written.find('[')), "[\u26D4\uFE0F]Deciphered data not a PKCS#1.2 Padding\n");
    }
}

// A fourth-generation card hands the whole deciphered block back, here in two pieces (61xx, then
// GET RESPONSE), as a long answer comes.
class DecipheringCard : public SmartCard {
public:
    explicit DecipheringCard(Bytes block) : block_(std::move(block)) {}
    Bytes atr() const override { return test::kAtrQel4; }
    void beginSession() override {}
    void endSession() override {}
    Bytes transmit(const Bytes& apdu) override {
        const std::size_t first = 40;
        Bytes answer;
        answer.reserve(block_.size() + 2);
        if (apdu[1] == 0x2A) {
            answer.assign(block_.begin(), block_.begin() + first);
            answer.insert(answer.end(), {0x61, static_cast<std::uint8_t>(block_.size() - first)});
        } else if (apdu[1] == 0xC0) {
            answer.assign(block_.begin() + first, block_.end());
            answer.insert(answer.end(), {0x90, 0x00});
        } else {
            answer = {0x90, 0x00};
        }
        return answer;
    }

private:
    Bytes block_;
};

TEST(Decipherment, LeavesNoPlainTextInFreedMemory) {
    Bytes block{0x00, 0x02};
    block.insert(block.end(), 45, 0x5A);
    block.push_back(0x00);
    block.insert(block.end(), std::begin(kPlainMarker), std::end(kPlainMarker));
    DecipheringCard smartCard(block);
    QELCard card(smartCard, smartCard.atr());
    g_leftInFreedMemory = 0;
    g_watching = true;
    const Bytes plain =
        card.decryptData(Bytes(64, 0x33), A::RSAEncryptionPKCS1, key(QELType::QEL4, KeyType::AUTH_KEY, 3));
    g_watching = false;
    EXPECT_EQ(plain, Bytes(std::begin(kPlainMarker), std::end(kPlainMarker)));
    EXPECT_EQ(g_leftInFreedMemory, 0);
}

// --- real keys ------------------------------------------------------------------------------------

using Pkey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

Pkey generateRsa() { return Pkey(EVP_RSA_gen(2048), &EVP_PKEY_free); }

// A card that holds one RSA key and answers the key commands the way the card does: INTERNAL
// AUTHENTICATE signs the DigestInfo it is given, PSO COMPUTE DIGITAL SIGNATURE signs the hash with the
// scheme the security environment chose, PSO DECIPHER returns the raw block.
class RsaCard : public SmartCard {
public:
    RsaCard(Bytes atr, EVP_PKEY* key) : atr_(std::move(atr)), key_(key) {}
    Bytes atr() const override { return atr_; }
    void beginSession() override {}
    void endSession() override {}

    Bytes transmit(const Bytes& apdu) override {
        const std::uint8_t ins = apdu[1];
        Bytes data = apdu.size() > 5 ? Bytes(apdu.begin() + 5, apdu.begin() + 5 + apdu[4]) : Bytes{};
        if ((apdu[0] & 0x10) != 0) {  // chained block
            pending_.insert(pending_.end(), data.begin(), data.end());
            return {0x90, 0x00};
        }
        data.insert(data.begin(), pending_.begin(), pending_.end());
        pending_.clear();
        if (ins == 0xA4) return {0x90, 0x00};
        if (ins == 0x22) {
            env_ = data;
            return {0x90, 0x00};
        }
        PkeyCtx ctx(EVP_PKEY_CTX_new(key_, nullptr), &EVP_PKEY_CTX_free);
        Bytes out(EVP_PKEY_get_size(key_));
        std::size_t len = out.size();
        if (ins == 0x2A && apdu[2] == 0x80) {
            if (data.size() == 257) data.erase(data.begin());  // padding indicator
            EVP_PKEY_decrypt_init(ctx.get());
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING);
            if (EVP_PKEY_decrypt(ctx.get(), out.data(), &len, data.data(), data.size()) != 1) return {0x6A, 0x80};
        } else {
            EVP_PKEY_sign_init(ctx.get());
            if (ins == 0x2A && env_.size() == 4 && env_[2] == 0x2C) {  // QEL4 PSS SHA-256
                EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING);
                EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256());
                EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), RSA_PSS_SALTLEN_DIGEST);
            } else {
                EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
            }
            if (EVP_PKEY_sign(ctx.get(), out.data(), &len, data.data(), data.size()) != 1) return {0x6A, 0x80};
        }
        out.resize(len);
        out.push_back(0x90);
        out.push_back(0x00);
        return out;
    }

private:
    Bytes atr_;
    EVP_PKEY* key_;
    Bytes env_;
    Bytes pending_;
};

Bytes sha256(const Bytes& message) {
    Bytes h(32);
    SHA256(message.data(), message.size(), h.data());
    return h;
}

bool verify(EVP_PKEY* key, const Bytes& hash, const Bytes& signature, bool pss) {
    PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr), &EVP_PKEY_CTX_free);
    EVP_PKEY_verify_init(ctx.get());
    EVP_PKEY_CTX_set_rsa_padding(ctx.get(), pss ? RSA_PKCS1_PSS_PADDING : RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256());
    if (pss) EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), RSA_PSS_SALTLEN_DIGEST);
    return EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), hash.data(), hash.size()) == 1;
}

TEST(RealKeys, SignaturesVerifyAndCryptogramsComeBack) {
    Pkey rsa = generateRsa();
    ASSERT_TRUE(rsa);
    const Bytes hash = sha256(test::text("Kartello"));

    RsaCard qel3(test::kAtrQel3, rsa.get());
    QELCard card3(qel3, qel3.atr());
    const Bytes sig3 =
        card3.signData(hash, A::RSASignatureDigestPKCS1v15SHA256, key(QELType::QEL3, KeyType::AUTH_KEY, 2));
    EXPECT_TRUE(verify(rsa.get(), hash, sig3, false));

    RsaCard qel4(test::kAtrQel4, rsa.get());
    QELCard card4(qel4, qel4.atr());
    const Bytes sig4 = card4.signData(hash, A::RSASignatureDigestPSSSHA256, key(QELType::QEL4, KeyType::SIGN_KEY, 3));
    EXPECT_TRUE(verify(rsa.get(), hash, sig4, true));

    // A PKCS#1 v1.5 cryptogram made with the public key comes back as the message on a QEL4.
    PkeyCtx enc(EVP_PKEY_CTX_new(rsa.get(), nullptr), &EVP_PKEY_CTX_free);
    EVP_PKEY_encrypt_init(enc.get());
    EVP_PKEY_CTX_set_rsa_padding(enc.get(), RSA_PKCS1_PADDING);
    const Bytes secret = test::text("session key");
    Bytes cryptogram(256);
    std::size_t len = cryptogram.size();
    ASSERT_EQ(EVP_PKEY_encrypt(enc.get(), cryptogram.data(), &len, secret.data(), secret.size()), 1);
    EXPECT_EQ(card4.decryptData(cryptogram, A::RSAEncryptionPKCS1, key(QELType::QEL4, KeyType::AUTH_KEY, 3)), secret);
    // The third generation returns the block as it is (its 0x81 indicator asks for no stripping).
    const Bytes block3 = card3.decryptData(cryptogram, A::RSAEncryptionPKCS1, key(QELType::QEL3, KeyType::AUTH_KEY, 2));
    EXPECT_EQ(removePkcs1Padding(block3), secret);
}

}  // namespace
}  // namespace qel
