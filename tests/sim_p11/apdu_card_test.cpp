// The command bytes the library sends for each card generation.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>

#include "common/hex.h"
#include "sim/p11/apdu_card.h"

namespace qel::simp11 {
namespace {

Bytes hex(const char* text) { return *qel::fromHex(text); }

/// Records every command and answers from a script (9000 when the script is empty).
class ScriptedCard : public SharedSmartCard {
public:
    Bytes atr() const override { return {}; }
    Bytes transmit(const Bytes& apdu) override {
        sent.push_back(apdu);
        if (answers.empty()) return {0x90, 0x00};
        Bytes a = answers.front();
        answers.pop_front();
        return a;
    }
    void beginSession() override {}
    void endSession() override {}
    bool takeResetNotice() override {
        bool r = reset;
        reset = false;
        return r;
    }
    std::vector<Bytes> sent;
    std::deque<Bytes> answers;
    bool reset = false;
};

struct Fixture {
    explicit Fixture(CardGeneration g) {
        auto owned = std::make_unique<ScriptedCard>();
        card = owned.get();
        apdu = std::make_unique<ApduCard>(std::move(owned), g);
    }
    std::vector<std::string> sentHex() const {
        std::vector<std::string> out;
        for (const Bytes& b : card->sent) out.push_back(qel::toHex(b));
        return out;
    }
    ScriptedCard* card;
    std::unique_ptr<ApduCard> apdu;
};

SecretBytes code(const char* digits) {
    return SecretBytes(reinterpret_cast<const std::uint8_t*>(digits), std::strlen(digits));
}

TEST(ApduCardTest, PinCommandsPerGeneration) {
    Fixture qel3(CardGeneration::QEL3);
    qel3.apdu->beginExchange();
    EXPECT_EQ(qel3.apdu->verifyPin(code("1234")), 0x9000);
    qel3.card->answers.push_back(hex("63C1"));
    EXPECT_EQ(qel3.apdu->changePin(code("1234"), code("5678")), 0x63C1);
    EXPECT_EQ(qel3.apdu->resetRetryCounter(code("12345678"), code("4321")), 0x9000);
    EXPECT_EQ(qel3.apdu->verifyPuk(code("12345678")), 0x9000);
    EXPECT_EQ(qel3.sentHex(), (std::vector<std::string>{
                                  "002000010831323334FFFFFFFF",
                                  "0024000110"
                                  "31323334FFFFFFFF"
                                  "35363738FFFFFFFF",
                                  "002C000110"
                                  "3132333435363738"
                                  "34333231FFFFFFFF",
                                  "00200002083132333435363738",
                              }));

    Fixture qel4(CardGeneration::QEL4);
    qel4.apdu->beginExchange();
    qel4.apdu->verifyPin(code("1234"));
    qel4.apdu->changePin(code("1234"), code("5678"));
    qel4.card->reset = true;
    qel4.apdu->beginExchange();
    EXPECT_EQ(qel4.sentHex(), (std::vector<std::string>{
                                  "01A404040880250000"
                                  "01FF010000",
                                  "012000010431323334",
                                  "012400010831323334"
                                  "35363738",
                                  "01A404040880250000"
                                  "01FF010000",
                              }))
        << "the application is selected again after a reset";
}

TEST(ApduCardTest, SignatureCommandsPerGenerationAndRole) {
    Bytes hash(32, 0xAB);
    struct Case {
        CardGeneration generation;
        KeyRole role;
        std::uint8_t reference;
        HashAlg alg;
        std::vector<std::string> commands;
    };
    const std::string hashHex = qel::toHex(hash);
    const Case cases[] = {
        {CardGeneration::QEL3,
         KeyRole::sign,
         1,
         HashAlg::sha256,
         {"00A40904043F00000100", "002241B606800142840101", "002A9E9A20" + hashHex + "00"}},
        {CardGeneration::QEL3,
         KeyRole::auth,
         2,
         HashAlg::sha256,
         {"00A40904043F00000100", "002241A406800102840102",
          "0088000033"
          "3031300D060960864801650304020105000420" +
              hashHex + "00"}},
        {CardGeneration::QEL4,
         KeyRole::sign,
         3,
         HashAlg::sha256,
         {"01A40404088025000001FF010000", "01A40800063F000001010100", "012281B60491022883",
          "012A9E9A20" + hashHex + "00"}},
    };
    for (const Case& c : cases) {
        Fixture f(c.generation);
        f.card->answers = {hex("9000"), hex("9000"), hex("01029000")};
        if (c.generation == CardGeneration::QEL4) f.card->answers.push_front(hex("9000"));
        f.apdu->beginExchange();
        Bytes signature = f.apdu->sign(SignRequest{c.role, c.reference, c.alg, hash});
        EXPECT_EQ(f.sentHex(), c.commands);
        EXPECT_EQ(signature, hex("0102"));
    }

    Fixture refused(CardGeneration::QEL3);
    refused.card->answers = {hex("9000"), hex("6982")};
    try {
        refused.apdu->sign(SignRequest{KeyRole::sign, 1, HashAlg::sha1, Bytes(20, 0)});
        FAIL() << "a refused security environment must not sign";
    } catch (const CardStatusError& e) {
        EXPECT_EQ(e.sw(), 0x6982);
    }
    EXPECT_THROW(refused.apdu->sign(SignRequest{KeyRole::sign, 1, HashAlg::sha512, Bytes(64, 0)}),
                 std::invalid_argument);
}

TEST(ApduCardTest, FilesAreReadInChunksUntilTheAnnouncedSize) {
    Fixture f(CardGeneration::QEL3);
    Bytes first(231, 0x11), second(231, 0x22), last(38, 0x33);
    auto ok = [](Bytes b) {
        b.push_back(0x90);
        b.push_back(0x00);
        return b;
    };
    f.card->answers = {hex("6204800201F4 9000"), ok(first), ok(second), ok(last)};
    auto content = f.apdu->readFile(hex("3F000001A001"));
    ASSERT_TRUE(content);
    EXPECT_EQ(content->size(), 500u);
    EXPECT_EQ(f.sentHex(),
              (std::vector<std::string>{"00A40904063F000001A00100", "00B00000E7", "00B000E7E7", "00B001CE26"}));

    Fixture missing(CardGeneration::QEL3);
    missing.card->answers = {hex("6A82")};
    EXPECT_FALSE(missing.apdu->readFile(hex("3F000003D001")));

    Fixture locked(CardGeneration::QEL3);
    locked.card->answers = {hex("6203800110 9000"), hex("6982")};
    EXPECT_THROW(locked.apdu->readFile(hex("3F000003D200")), CardStatusError);

    // Without a size the file is read until the card has no more; an empty answer ends it.
    Fixture unsized(CardGeneration::QEL4);
    unsized.card->answers = {hex("9000"), hex("6200 9000"), ok(Bytes(255, 1)), ok(Bytes(10, 2))};
    unsized.apdu->beginExchange();
    auto unsizedContent = unsized.apdu->readFile(hex("3F000003D002"));
    ASSERT_TRUE(unsizedContent);
    EXPECT_EQ(unsizedContent->size(), 265u);

    Fixture stuck(CardGeneration::QEL3);
    stuck.card->answers = {hex("62038001FF 9000"), hex("9000")};
    auto stuckContent = stuck.apdu->readFile(hex("3F00D003"));
    ASSERT_TRUE(stuckContent);
    EXPECT_TRUE(stuckContent->empty());
    EXPECT_EQ(stuck.card->sent.size(), 2u) << "a card that answers nothing is not asked forever";
}

TEST(ApduCardTest, PinCountersFallBackToVerifyWithoutData) {
    Fixture f(CardGeneration::QEL4);
    f.card->answers = {hex("9000"), hex("6A88"), hex("63C2")};
    f.apdu->beginExchange();
    PinCounters c = f.apdu->pinCounters();
    EXPECT_EQ(c.pinTries, 2);
    EXPECT_FALSE(c.pukTries);
    EXPECT_EQ(f.sentHex().at(1), "01CB3FFF0A4D087006BF810102A080E7");
    EXPECT_EQ(f.sentHex().at(2), "01200001");
}

}  // namespace
}  // namespace qel::simp11
