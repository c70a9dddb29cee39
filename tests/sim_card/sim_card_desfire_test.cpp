#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "test_support.h"

namespace qel::sim::test {
namespace {

// The host side of the mutual authentication, written against OpenSSL directly.
Bytes cbc(bool aes, bool encrypt, Bytes key, const Bytes& iv, const Bytes& data) {
    if (!aes && key.size() == 8) key.insert(key.end(), key.begin(), key.end());
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    EVP_CipherInit_ex(ctx.get(), aes ? EVP_aes_128_cbc() : EVP_des_ede_cbc(), nullptr, key.data(), iv.data(), encrypt);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    Bytes out(data.size() + 16);
    int n = 0, t = 0;
    EVP_CipherUpdate(ctx.get(), out.data(), &n, data.data(), static_cast<int>(data.size()));
    EVP_CipherFinal_ex(ctx.get(), out.data() + n, &t);
    out.resize(static_cast<std::size_t>(n + t));
    return out;
}

Bytes rotl(const Bytes& b) {
    Bytes r(b.begin() + 1, b.end());
    r.push_back(b[0]);
    return r;
}

struct Exchange {
    Bytes data;
    std::uint16_t sw;
};

Exchange send(Reader& r, const Bytes& apdu) {
    Bytes answer = r.card->transmit(apdu);
    return {Bytes(answer.begin(), answer.end() - 2),
            static_cast<std::uint16_t>(answer[answer.size() - 2] << 8 | answer.back())};
}

Bytes wrap(std::uint8_t ins, const Bytes& data) {
    Bytes apdu{0x90, ins, 0x00, 0x00};
    if (!data.empty()) {
        apdu.push_back(static_cast<std::uint8_t>(data.size()));
        apdu.insert(apdu.end(), data.begin(), data.end());
    }
    apdu.push_back(0x00);
    return apdu;
}

// Runs the two authentication frames; returns the status word of the last one.
std::uint16_t authenticate(Reader& r, bool aes, const Bytes& key, bool* answerMatches = nullptr) {
    const std::size_t block = aes ? 16 : 8;
    Exchange first = send(r, wrap(aes ? 0xAA : 0x1A, Bytes{0x00}));
    if (first.sw != 0x91AF) return first.sw;
    Bytes rndB = cbc(aes, false, key, Bytes(block, 0), first.data);
    Bytes rndA(block);
    RAND_bytes(rndA.data(), static_cast<int>(block));
    Bytes token = cbc(aes, true, key, first.data, cat({rndA, rotl(rndB)}));
    Exchange second = send(r, wrap(0xAF, token));
    if (second.sw == 0x9100 && answerMatches) {
        Bytes iv(token.end() - static_cast<long>(block), token.end());
        *answerMatches = cbc(aes, false, key, iv, second.data) == rotl(rndA);
    }
    return second.sw;
}

const Bytes kIrv{0x56, 0x52, 0x49};

void selectCardLevel(Reader& r) {
    EXPECT_EQ(send(r, hex("00A4040005D276000085")).sw, 0x9000);
    EXPECT_EQ(send(r, hex("905A00000300000000")).sw, 0x9100);
}

TEST(SimCardDesfire, PresenceAndContactlessIdentity) {
    Reader r(freshProfile("qel4-default"), ReaderKind::contactless);
    selectCardLevel(r);
    ASSERT_EQ(send(r, wrap(0x5A, kIrv)).sw, 0x9100);
    Exchange sn = send(r, hex("00B0830000"));
    Exchange card = send(r, hex("00B0820000"));
    Exchange id = send(r, hex("00B0810000"));
    ASSERT_GE(sn.data.size(), 12u);
    ASSERT_GE(card.data.size(), 7u);
    EXPECT_EQ(toHex(Bytes(sn.data.begin() + 2, sn.data.begin() + 12)).substr(1), "8025000002345678901");
    EXPECT_EQ(toHex(Bytes(card.data.begin() + 2, card.data.begin() + 7)), "2345678901");
    EXPECT_EQ(std::string(id.data.begin() + 2, id.data.end()), "810009876543");
    EXPECT_EQ(id.data[1], id.data.size() - 2);
}

TEST(SimCardDesfire, LegacyAuthenticationWithTheDefaultKeyDeletesTheApplication) {
    const std::string dir = freshProfile("qel4-default");
    {
        Reader r(dir, ReaderKind::contactless);
        selectCardLevel(r);
        EXPECT_EQ(send(r, wrap(0xDA, kIrv)).sw, 0x91AE);         // not authenticated
        EXPECT_EQ(send(r, wrap(0xAA, Bytes{0x00})).sw, 0x91AE);  // the card key is no AES key
        bool matches = false;
        // The host hands 8 of the 16 zero bytes of its default key to the cipher.
        ASSERT_EQ(authenticate(r, false, Bytes(8, 0x00), &matches), 0x9100);
        EXPECT_TRUE(matches);
        EXPECT_EQ(send(r, wrap(0xDA, kIrv)).sw, 0x9100);
        EXPECT_EQ(send(r, wrap(0x5A, kIrv)).sw, 0x91A0);
    }
    Reader again(dir, ReaderKind::contactless);
    selectCardLevel(again);
    EXPECT_EQ(send(again, wrap(0x5A, kIrv)).sw, 0x91A0);
    EXPECT_EQ(send(again, wrap(0x6A, {})).data.size(), 0u);
}

TEST(SimCardDesfire, AesAuthenticationWithTheKeyReadThroughContact) {
    const std::string dir = freshProfile("qel4-secure-picc");
    Bytes key;
    {
        // The key search of the maintenance view, class byte 00 on the contact interface.
        Reader contact(dir, ReaderKind::contact);
        EXPECT_EQ(send(contact, hex("00A4000C023F0000")).sw, 0x9000);
        EXPECT_EQ(send(contact, hex("00A4010C02000200")).sw, 0x9000);
        EXPECT_EQ(send(contact, hex("00A4000C02C00100")).sw, 0x9000);
        EXPECT_EQ(send(contact, hex("00B0000010")).sw, 0x6982);
        EXPECT_EQ(send(contact, hex("002000010431323334 00")).sw, 0x9000);
        Exchange read = send(contact, hex("00B0000010"));
        ASSERT_EQ(read.sw, 0x9000);
        key = read.data;
        ASSERT_EQ(key.size(), 16u);
    }
    Reader r(dir, ReaderKind::contactless);
    selectCardLevel(r);
    // This card's master key is not the default one.
    EXPECT_EQ(authenticate(r, false, Bytes(8, 0x00)), 0x91AE);
    EXPECT_EQ(send(r, wrap(0xDA, kIrv)).sw, 0x91AE);
    ASSERT_EQ(send(r, wrap(0x5A, kIrv)).sw, 0x9100);
    EXPECT_EQ(send(r, wrap(0x1A, Bytes{0x00})).sw, 0x91AE);
    Bytes wrong = key;
    wrong[0] ^= 1;
    EXPECT_EQ(authenticate(r, true, wrong), 0x91AE);
    bool matches = false;
    ASSERT_EQ(authenticate(r, true, key, &matches), 0x9100);
    EXPECT_TRUE(matches);
    EXPECT_EQ(send(r, wrap(0xDA, kIrv)).sw, 0x9100);
    EXPECT_EQ(send(r, wrap(0x5A, kIrv)).sw, 0x91A0);
}

TEST(SimCardDesfire, MalformedNativeCommands) {
    Reader r(freshProfile("qel4-default"), ReaderKind::contactless);
    struct Case {
        const char* apdu;
        const char* sw;
    };
    const Case cases[] = {
        {"905A0000020000 00", "917E"},  // AID of two bytes
        {"901A000001 01 00", "9140"},   // no key 1
        {"901A000002 0000 00", "917E"},
        {"90AF000010 00000000000000000000000000000000 00", "911C"},  // no authentication under way
        {"905A000103000000 00", "6A86"},
        {"90C4000000", "911C"},
        {"80CA000000", "6E00"},
        {"00B0830000", "6A82"},  // no application selected
        {"00A4040007A0000000030000", "6A82"},
    };
    for (const Case& c : cases) {
        Bytes answer = r.card->transmit(hex(c.apdu));
        EXPECT_EQ(toHex(Bytes(answer.end() - 2, answer.end())), c.sw) << c.apdu;
    }
    // An authentication abandoned half-way leaves the card unauthenticated.
    selectCardLevel(r);
    EXPECT_EQ(send(r, wrap(0x1A, Bytes{0x00})).sw, 0x91AF);
    EXPECT_EQ(send(r, wrap(0xDA, kIrv)).sw, 0x91AE);
}

}  // namespace
}  // namespace qel::sim::test
