#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include "sim/card/x509_builder.h"
#include "test_support.h"

namespace qel::sim::test {
namespace {

using Pkey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

Pkey certificateKey(Reader& r, const char* certPath) {
    auto der = r.readFile(hex(certPath));
    if (!der) return Pkey(nullptr, EVP_PKEY_free);
    return publicKeyOf(*der);
}

Bytes sha(const char* md, const std::string& text) {
    Bytes out(static_cast<std::size_t>(EVP_MD_get_size(EVP_get_digestbyname(md))));
    unsigned int n = 0;
    EVP_Digest(text.data(), text.size(), out.data(), &n, EVP_get_digestbyname(md), nullptr);
    return out;
}

// Verifies a signature over a hash: PKCS#1 v1.5 (the DigestInfo rebuilt by OpenSSL) or PSS.
bool verifies(EVP_PKEY* key, const Bytes& hash, const Bytes& sig, const char* md, bool pss) {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY_verify_init(ctx.get());
    EVP_PKEY_CTX_set_rsa_padding(ctx.get(), pss ? RSA_PKCS1_PSS_PADDING : RSA_PKCS1_PADDING);
    EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_get_digestbyname(md));
    if (pss) EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), RSA_PSS_SALTLEN_AUTO);
    return EVP_PKEY_verify(ctx.get(), sig.data(), sig.size(), hash.data(), hash.size()) == 1;
}

Bytes encryptFor(EVP_PKEY* key, const Bytes& message) {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY_encrypt_init(ctx.get());
    EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
    std::size_t n = 0;
    EVP_PKEY_encrypt(ctx.get(), nullptr, &n, message.data(), message.size());
    Bytes out(n);
    EVP_PKEY_encrypt(ctx.get(), out.data(), &n, message.data(), message.size());
    out.resize(n);
    return out;
}

TEST(SimCardSecurity, Qel3SignatureKeySignsAHashOnceThePinIsVerified) {
    Reader r(freshProfile("qel3-default"), ReaderKind::contact);
    Pkey pub = certificateKey(r, "3F000001A001");
    ASSERT_NE(pub, nullptr);
    const Bytes hash = sha("SHA256", "document");
    ASSERT_EQ(r.selectPath(hex("3F000001")).sw, 0x9000);
    EXPECT_EQ(r.send(0x2A, 0x9E, 0x9A, hash, 256).sw, 0x6985);  // no environment yet
    ASSERT_EQ(r.send(0x22, 0x41, 0xB6, hex("800142840101")).sw, 0x9000);
    EXPECT_EQ(r.send(0x2A, 0x9E, 0x9A, hash, 256).sw, 0x6982);
    ASSERT_EQ(r.verifyPin("1234"), 0x9000);
    EXPECT_EQ(r.send(0x2A, 0x9E, 0x9A, Bytes(20, 1), 256).sw, 0x6700);  // SHA-256 wants 32 bytes
    CardResponse sig = r.send(0x2A, 0x9E, 0x9A, hash, 256);
    ASSERT_EQ(sig.sw, 0x9000);
    EXPECT_TRUE(verifies(pub.get(), hash, sig.data, "SHA256", false));

    // SHA-1 through algorithm reference 12.
    ASSERT_EQ(r.send(0x22, 0x41, 0xB6, hex("800112840101")).sw, 0x9000);
    const Bytes hash1 = sha("SHA1", "document");
    sig = r.send(0x2A, 0x9E, 0x9A, hash1, 256);
    ASSERT_EQ(sig.sw, 0x9000);
    EXPECT_TRUE(verifies(pub.get(), hash1, sig.data, "SHA1", false));
}

TEST(SimCardSecurity, Qel3AuthenticationKeySignsADigestInfo) {
    Reader r(freshProfile("qel3-default"), ReaderKind::contact);
    Pkey pub = certificateKey(r, "3F000001A002");
    ASSERT_NE(pub, nullptr);
    ASSERT_EQ(r.verifyPin("1234"), 0x9000);
    ASSERT_EQ(r.selectPath(hex("3F000001")).sw, 0x9000);
    ASSERT_EQ(r.send(0x22, 0x41, 0xA4, hex("800102840102")).sw, 0x9000);
    const Bytes hash = sha("SHA1", "challenge");
    Bytes digestInfo = cat({hex("3021300906052B0E03021A05000414"), hash});
    CardResponse sig = r.send(0x88, 0x00, 0x00, digestInfo, 256);
    ASSERT_EQ(sig.sw, 0x9000);
    EXPECT_TRUE(verifies(pub.get(), hash, sig.data, "SHA1", false));
}

TEST(SimCardSecurity, ContactlessTechnicalKeyAuthenticatesWithoutPin) {
    Reader r(freshProfile("qel3-default"), ReaderKind::contactless);
    Pkey pub = certificateKey(r, "3F000001A003");
    ASSERT_NE(pub, nullptr);
    ASSERT_EQ(r.selectPath(hex("3F003F000001")).sw, 0x9000);
    ASSERT_EQ(r.send(0x22, 0x41, 0xA4, hex("800102840103")).sw, 0x9000);
    const Bytes hash = sha("SHA256", "tls");
    CardResponse sig = r.send(0x88, 0, 0, cat({hex("3031300D060960864801650304020105000420"), hash}), 256);
    ASSERT_EQ(sig.sw, 0x9000);
    EXPECT_TRUE(verifies(pub.get(), hash, sig.data, "SHA256", false));
    // Decipherment still needs the PIN.
    ASSERT_EQ(r.send(0x22, 0x41, 0xB8, hex("80011A840103")).sw, 0x9000);
    EXPECT_EQ(r.send(0x2A, 0x80, 0x86, cat({hex("81"), Bytes(256, 1)}), 256).sw, 0x6982);
}

TEST(SimCardSecurity, Qel4SignsPkcs1AndPssFromTheKeyFolders) {
    Reader r(freshProfile("qel4-default"), ReaderKind::contact);
    Pkey signPub = certificateKey(r, "3F0000010101A010");
    Pkey authPub = certificateKey(r, "3F0000010102A020");
    ASSERT_TRUE(signPub && authPub);
    ASSERT_EQ(r.verifyPin("1234"), 0x9000);
    const Bytes hash = sha("SHA256", "message");

    ASSERT_EQ(r.selectPath(hex("3F0000010101")).sw, 0x9000);
    ASSERT_EQ(r.send(0x22, 0x81, 0xB6, hex("91022882")).sw, 0x9000);
    CardResponse sig = r.send(0x2A, 0x9E, 0x9A, hash, 256);
    ASSERT_EQ(sig.sw, 0x9000);
    EXPECT_TRUE(verifies(signPub.get(), hash, sig.data, "SHA256", false));
    // The authentication key lives in the other folder.
    EXPECT_EQ(r.send(0x22, 0x81, 0xB6, hex("91022C83")).sw, 0x6A88);

    ASSERT_EQ(r.selectPath(hex("3F0000010102")).sw, 0x9000);
    ASSERT_EQ(r.send(0x22, 0x81, 0xB6, hex("91022C83")).sw, 0x9000);
    sig = r.send(0x2A, 0x9E, 0x9A, hash, 256);
    ASSERT_EQ(sig.sw, 0x9000);
    EXPECT_TRUE(verifies(authPub.get(), hash, sig.data, "SHA256", true));
    EXPECT_FALSE(verifies(authPub.get(), hash, sig.data, "SHA256", false));
}

// INTERNAL AUTHENTICATE with the QEL3 authentication key (reference 02 of folder 0001) over SHA-256.
CardResponse authenticateWithKey02(Reader& r, const Bytes& hash) {
    r.selectPath(hex("3F000001"));
    if (CardResponse set = r.send(0x22, 0x41, 0xA4, hex("800102840102")); set.sw != 0x9000) return set;
    return r.send(0x88, 0x00, 0x00, cat({hex("3031300D060960864801650304020105000420"), hash}), 256);
}

// The issuer's renewal: a new key pair for a key reference, once the PIN is verified, its public key
// answered through GET RESPONSE (over 256 bytes); the key then signs in place of the profile's, across
// a power cycle and a reload, until the card is restored to its fresh state.
TEST(SimCardSecurity, GeneratedKeyPairReplacesTheKeyUntilTheFreshState) {
    const std::string dir = freshProfile("qel3-default");
    const Bytes hash = sha("SHA256", "renewal");
    PkeyPtr generated;
    Pkey original(nullptr, EVP_PKEY_free);
    {
        Reader r(dir, ReaderKind::contact);
        original = certificateKey(r, "3F000001A002");
        ASSERT_NE(original, nullptr);
        ASSERT_EQ(r.selectPath(hex("3F000001")).sw, 0x9000);
        const Bytes generate = hex("0047800005A403840102");
        EXPECT_EQ(toHex(r.card->transmit(generate)), "6982");
        ASSERT_EQ(r.verifyPin("1234"), 0x9000);
        EXPECT_EQ(toHex(r.card->transmit(hex("0047810005A403840102"))), "6A86");
        EXPECT_EQ(toHex(r.card->transmit(hex("0047800004A4028401"))), "6A80");
        EXPECT_EQ(toHex(r.card->transmit(hex("0047800005A603840102"))), "6A80");
        EXPECT_EQ(toHex(r.card->transmit(hex("0047800005A403840103"))), "6A88");  // not in this folder
        EXPECT_EQ(toHex(r.card->transmit(hex("0147800005A403840102"))), "6E00");

        ASSERT_EQ(toHex(r.card->transmit(generate)), "6100");
        Bytes first = r.card->transmit(hex("00C0000000"));
        ASSERT_EQ(first.size(), 258u);
        // 7F49 82 010A { 81 820100 <256 bytes>, 82 03 010001 }: 270 bytes, 14 after the first 256.
        ASSERT_EQ(toHex(Bytes(first.end() - 2, first.end())), "610E");
        Bytes rest = r.card->transmit(hex("00C000000E"));
        ASSERT_EQ(rest.size(), 16u);
        ASSERT_EQ(toHex(Bytes(rest.end() - 2, rest.end())), "9000");
        Bytes answer(first.begin(), first.end() - 2);
        answer.insert(answer.end(), rest.begin(), rest.end() - 2);
        auto tlv = parseTlv(answer);
        ASSERT_TRUE(tlv && tlv->size() == 1 && (*tlv)[0].tag == 0x7F49);
        const Tlv* modulus = (*tlv)[0].find(0x81);
        const Tlv* exponent = (*tlv)[0].find(0x82);
        ASSERT_TRUE(modulus && exponent);
        EXPECT_EQ(modulus->value.size(), 256u);
        EXPECT_EQ(toHex(exponent->value), "010001");
        generated = rsaPublicKey(modulus->value, exponent->value);
        EXPECT_NE(EVP_PKEY_eq(generated.get(), original.get()), 1);

        ASSERT_EQ(r.verifyPin("1234"), 0x9000);
        CardResponse sig = authenticateWithKey02(r, hash);
        ASSERT_EQ(sig.sw, 0x9000);
        EXPECT_TRUE(verifies(generated.get(), hash, sig.data, "SHA256", false));
        EXPECT_FALSE(verifies(original.get(), hash, sig.data, "SHA256", false));
        // The other keys stay as they were.
        EXPECT_EQ(r.model->state().generatedKeys.size(), 1u);
    }
    Reader reloaded(dir, ReaderKind::contact);
    ASSERT_EQ(reloaded.verifyPin("1234"), 0x9000);
    CardResponse sig = authenticateWithKey02(reloaded, hash);
    ASSERT_EQ(sig.sw, 0x9000);
    EXPECT_TRUE(verifies(generated.get(), hash, sig.data, "SHA256", false));

    reloaded.model->restoreFreshState();
    ASSERT_EQ(reloaded.verifyPin("1234"), 0x9000);
    sig = authenticateWithKey02(reloaded, hash);
    ASSERT_EQ(sig.sw, 0x9000);
    EXPECT_TRUE(verifies(original.get(), hash, sig.data, "SHA256", false));
}

TEST(SimCardSecurity, DecipherOnEachGeneration) {
    const Bytes secret = hex("00112233445566778899AABBCCDDEEFF");
    {
        Reader r(freshProfile("qel3-default"), ReaderKind::contact);
        Pkey pub = certificateKey(r, "3F000001A002");
        ASSERT_EQ(r.verifyPin("1234"), 0x9000);
        ASSERT_EQ(r.selectPath(hex("3F000001")).sw, 0x9000);
        ASSERT_EQ(r.send(0x22, 0x41, 0xB8, hex("80011A840102")).sw, 0x9000);
        Bytes cryptogram = encryptFor(pub.get(), secret);
        // Padding indicator 81 in front: 257 bytes travel in two chained commands.
        CardResponse plain = r.send(0x2A, 0x80, 0x86, cat({hex("81"), cryptogram}), 256);
        ASSERT_EQ(plain.sw, 0x9000);
        EXPECT_EQ(toHex(plain.data), toHex(secret));
        EXPECT_EQ(r.send(0x2A, 0x80, 0x86, cryptogram, 256).sw, 0x6A80);  // indicator missing
    }
    {
        Reader r(freshProfile("qel4-default"), ReaderKind::contact);
        Pkey pub = certificateKey(r, "3F0000010102A020");
        ASSERT_EQ(r.verifyPin("1234"), 0x9000);
        ASSERT_EQ(r.selectPath(hex("3F0000010102")).sw, 0x9000);
        ASSERT_EQ(r.send(0x22, 0x41, 0xB8, hex("830103")).sw, 0x9000);
        CardResponse block = r.send(0x2A, 0x80, 0x86, encryptFor(pub.get(), secret), 256);
        ASSERT_EQ(block.sw, 0x9000);
        ASSERT_EQ(block.data.size(), 256u);
        EXPECT_EQ(toHex(Bytes(block.data.begin(), block.data.begin() + 2)), "0002");
        EXPECT_EQ(toHex(Bytes(block.data.end() - 17, block.data.end())), "00" + toHex(secret));
    }
}

TEST(SimCardSecurity, EnvironmentsThatDoNotFitTheCardAreRefused) {
    struct Case {
        const char* profile;
        const char* folder;
        std::uint8_t p1, p2;
        const char* data;
        std::uint16_t sw;
    };
    const Case cases[] = {
        {"qel3-default", "3F000001", 0x81, 0xB6, "800142840101", 0x6A86},  // P1 81 is the QEL4 signature form
        {"qel3-default", "3F000001", 0x41, 0xB6, "800142840102", 0x6A80},  // signature template, decipher key
        {"qel3-default", "3F000001", 0x41, 0xB8, "80011A840101", 0x6A80},  // decipher with the signature key
        {"qel3-default", "3F000001", 0x41, 0xA4, "800199840102", 0x6A80},  // unknown algorithm
        {"qel3-default", "3F000001", 0x41, 0xB6, "8001428401", 0x6A80},    // truncated TLV
        {"qel3-default", "3F000001", 0x41, 0xB6, "800142840109", 0x6A88},  // no such key
        {"qel3-default", "3F000001", 0x41, 0xB6, "800142", 0x6A80},        // no key reference
        {"qel4-default", "3F0000010101", 0x41, 0xB6, "91022882", 0x6A86},  // QEL4 signs with P1 81
        {"qel4-default", "3F0000010101", 0x81, 0xB6, "91020282", 0x6A80},  // PSS/PKCS#1 refs only
        {"qel4-default", "3F0000010102", 0x41, 0xA4, "800102840103", 0x6A86},
    };
    for (const Case& c : cases) {
        Reader r(freshProfile(c.profile), ReaderKind::contact);
        ASSERT_EQ(r.selectPath(hex(c.folder)).sw, 0x9000);
        EXPECT_EQ(r.send(0x22, c.p1, c.p2, hex(c.data)).sw, c.sw) << c.profile << " " << c.data;
    }
}

}  // namespace
}  // namespace qel::sim::test
