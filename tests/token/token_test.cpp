// The token driver classes over virtual cards in-process: what a token publishes, what its keys
// accept, the PIN operation and the key operations on each generation.
#include <gtest/gtest.h>

#include <iostream>

#include "card/card_error.h"
#include "common/hex.h"
#include "sim/card/profile.h"
#include "tests/token/virtual_cards.h"
#include "token/sigilla.h"
#include "token/sigilla_session.h"
#include "tests/support/token_code.h"

namespace qel {
namespace {

using sim::Generation;
using sim::ReaderKind;
using testing::loadCard;
using testing::RecordingCard;
using A = AsymmetricAlgorithm;

const Bytes kAid{0x80, 0x25, 0x00, 0x00, 0x01, 0xFF, 0x01, 0x00};

std::vector<const TokenKey*> keysOf(const Sigilla& token) {
    std::vector<const TokenKey*> keys;
    for (const auto& item : token.publishedObjects())
        if (const auto* key = std::get_if<TokenKey>(&item)) keys.push_back(key);
    return keys;
}

const TokenCertificate& certificateOf(const Sigilla& token, const TokenKey& key) {
    for (const auto& item : token.publishedObjects())
        if (const auto* c = std::get_if<TokenCertificate>(&item); c && c->objectID == key.keyID) return *c;
    throw std::runtime_error("no certificate for key");
}

using test::tokenCode;

struct Card {
    std::unique_ptr<RecordingCard> smartCard;
    std::unique_ptr<Sigilla> token;
    std::unique_ptr<SigillaSession> session;
};

Card openToken(Generation g, ReaderKind kind = ReaderKind::contact) {
    Card c;
    c.smartCard = loadCard(g, kind);
    TokenDriver driver;
    c.token = driver.createTokenForSmartCard(*c.smartCard, kAid);
    c.session = c.token->createSession(*c.smartCard);
    return c;
}

void login(Card& c, const char* pin = "1234") {
    auto auth = c.session->beginAuthForOperation(2, Constraint::pin);
    auth->setPIN(pin);
    std::exception_ptr error;
    ASSERT_TRUE(auth->finishWithError(error));
}

TEST(SigillaToken, PublishesEachCertificateFollowedByItsKeyUnderTheKeyIdLastByte) {
    for (Generation g : {Generation::QEL3, Generation::QEL4}) {
        Card c = openToken(g);
        const auto& items = c.token->publishedObjects();
        ASSERT_GE(items.size(), 4u) << sim::generationName(g);
        ASSERT_EQ(items.size() % 2, 0u);
        for (std::size_t i = 0; i < items.size(); i += 2) {
            const auto* cert = std::get_if<TokenCertificate>(&items[i]);
            const auto* key = std::get_if<TokenKey>(&items[i + 1]);
            ASSERT_NE(cert, nullptr);
            ASSERT_NE(key, nullptr);
            EXPECT_EQ(key->objectID, Bytes{cert->objectID.back()});
            EXPECT_EQ(key->keyID, cert->objectID);
            EXPECT_FALSE(cert->label.empty());
            EXPECT_FALSE(key->label.empty());
            EXPECT_EQ(key->publicKey.modulus.size() * 8, static_cast<std::size_t>(key->keySizeInBits));
        }
        EXPECT_EQ(c.token->tokenID(), "org.oberlane.qel.sigilla:" + c.token->instanceID());
        EXPECT_EQ(c.token->instanceID().rfind("8025000001", 0), 0u) << c.token->instanceID();
    }
}

// A hostile card, or a forged cache, whose two KeyIDs end in the same byte would let the handle of
// one key work the other: only the first key is published, both certificates are.
TEST(SigillaToken, KeysWhoseIdentifiersEndAlikeArePublishedOnce) {
    const std::string dir = testing::VirtualCards::instance().card(Generation::QEL4);
    sim::Profile profile = sim::loadProfile(dir);
    ASSERT_GE(profile.keys.size(), 2u);
    profile.keys[1].keyId.back() = profile.keys[0].keyId.back();
    sim::saveProfile(profile, dir);
    testing::forgetCachedFiles();
    RecordingCard smartCard(sim::loadQelCardModel(dir, ReaderKind::contact));
    TokenDriver driver;
    auto token = driver.createTokenForSmartCard(smartCard, kAid);
    const auto keys = keysOf(*token);
    ASSERT_EQ(keys.size(), profile.keys.size() - 1);
    for (const TokenKey* key : keys) EXPECT_NE(key->keyID, profile.keys[1].keyId);
    std::size_t certificates = 0;
    for (const auto& item : token->publishedObjects())
        certificates += std::holds_alternative<TokenCertificate>(item) ? 1 : 0;
    EXPECT_EQ(certificates, profile.keys.size());
    testing::forgetCachedFiles();
}

TEST(SigillaToken, KeyConstraintsFollowTheReaderAndTheKeyKind) {
    struct Case {
        Generation g;
        ReaderKind kind;
    };
    for (Case k : {Case{Generation::QEL3, ReaderKind::contact}, Case{Generation::QEL4, ReaderKind::contact},
                   Case{Generation::QEL3, ReaderKind::contactless}}) {
        Card c = openToken(k.g, k.kind);
        const bool contactless = k.kind == ReaderKind::contactless;
        int decipherKeys = 0;
        for (const TokenKey* key : keysOf(*c.token)) {
            EXPECT_EQ(key->bContactless, contactless);
            EXPECT_FALSE(key->canPerformKeyExchange);
            EXPECT_FALSE(key->suitableForLogin);
            EXPECT_EQ(key->constraint(TokenOperation::performKeyExchange), Constraint::never);
            if (key->type == KeyType::AUTH_KEY) ++decipherKeys;
            if (contactless) {
                EXPECT_EQ(key->constraint(TokenOperation::signData), Constraint::always);
                EXPECT_EQ(key->constraint(TokenOperation::decryptData), Constraint::never);
            } else {
                EXPECT_EQ(key->constraint(TokenOperation::signData), Constraint::pin);
                EXPECT_EQ(key->constraint(TokenOperation::decryptData),
                          key->canDecrypt ? Constraint::pin : Constraint::never);
            }
            EXPECT_EQ(key->canDecrypt, key->type == KeyType::AUTH_KEY);
            EXPECT_TRUE(key->canSign);
        }
        EXPECT_GE(decipherKeys, 1);
    }
}

TEST(SigillaSession, SupportsTheAlgorithmsOfEachGenerationAndKeyKind) {
    struct Case {
        Generation g;
        KeyType keyType;
        int operation;
        A algorithm;
        bool expected;
    };
    const Case cases[] = {
        {Generation::QEL3, KeyType::SIGN_KEY, 2, A::RSASignatureDigestPKCS1v15SHA256, true},
        {Generation::QEL3, KeyType::AUTH_KEY, 2, A::RSASignatureDigestPKCS1v15SHA256, true},
        {Generation::QEL3, KeyType::SIGN_KEY, 2, A::RSASignatureDigestPKCS1v15SHA224, false},
        {Generation::QEL3, KeyType::AUTH_KEY, 2, A::RSASignatureDigestPKCS1v15SHA224, true},
        {Generation::QEL3, KeyType::AUTH_KEY, 2, A::RSASignatureDigestPSSSHA256, false},
        {Generation::QEL4, KeyType::SIGN_KEY, 2, A::RSASignatureDigestPSSSHA256, true},
        {Generation::QEL4, KeyType::AUTH_KEY, 2, A::RSASignatureDigestPSSSHA1, true},
        {Generation::QEL4, KeyType::AUTH_KEY, 2, A::RSASignatureDigestPKCS1v15SHA224, false},
        {Generation::QEL3, KeyType::AUTH_KEY, 3, A::RSAEncryptionPKCS1, true},
        {Generation::QEL3, KeyType::SIGN_KEY, 3, A::RSAEncryptionPKCS1, false},
        {Generation::QEL4, KeyType::AUTH_KEY, 3, A::RSAEncryptionPKCS1, true},
        {Generation::QEL4, KeyType::AUTH_KEY, 3, A::RSAEncryptionOAEPSHA256, false},
        {Generation::QEL4, KeyType::AUTH_KEY, 4, A::ECDHKeyExchangeStandard, false},
        {Generation::QEL4, KeyType::AUTH_KEY, 1, A::RSAEncryptionPKCS1, false},
        {Generation::QEL4, KeyType::AUTH_KEY, 9, A::RSAEncryptionPKCS1, false},
    };
    Card qel3 = openToken(Generation::QEL3);
    Card qel4 = openToken(Generation::QEL4);
    for (const Case& k : cases) {
        Card& c = k.g == Generation::QEL3 ? qel3 : qel4;
        for (const TokenKey* key : keysOf(*c.token)) {
            if (key->type != k.keyType) continue;
            EXPECT_EQ(c.session->supportsOperation(k.operation, key->objectID, k.algorithm), k.expected)
                << sim::generationName(k.g) << " key " << int(key->keyNum) << " op " << k.operation << " "
                << constantName(k.algorithm);
        }
    }
    EXPECT_FALSE(qel3.session->supportsOperation(2, Bytes{0x7E}, A::RSASignatureDigestPKCS1v15SHA256));
}

TEST(SigillaSession, SignaturesOfEveryAcceptedAlgorithmVerifyWithTheCertificate) {
    const std::map<A, std::pair<const char*, bool>> hashes = {
        {A::RSASignatureDigestPKCS1v15SHA1, {"SHA1", false}},
        {A::RSASignatureDigestPKCS1v15SHA224, {"SHA224", false}},
        {A::RSASignatureDigestPKCS1v15SHA256, {"SHA256", false}},
        {A::RSASignatureDigestPSSSHA1, {"SHA1", true}},
        {A::RSASignatureDigestPSSSHA256, {"SHA256", true}},
    };
    for (Generation g : {Generation::QEL3, Generation::QEL4}) {
        Card c = openToken(g);
        login(c);
        for (const TokenKey* key : keysOf(*c.token)) {
            for (A algorithm : key->algos.sign) {
                const auto& [hashName, pss] = hashes.at(algorithm);
                const Bytes hash = testing::sha(hashName, Bytes{'q', 'e', 'l'});
                const Bytes signature = c.session->signData(hash, key->objectID, algorithm);
                EXPECT_TRUE(
                    testing::verifySignature(certificateOf(*c.token, *key).data, hash, signature, hashName, pss))
                    << sim::generationName(g) << " key " << int(key->keyNum) << " " << constantName(algorithm);
            }
        }
    }
}

TEST(SigillaSession, DeciphersWithTheDecipherKeyOnBothGenerations) {
    for (Generation g : {Generation::QEL3, Generation::QEL4}) {
        Card c = openToken(g);
        login(c);
        for (const TokenKey* key : keysOf(*c.token)) {
            if (!key->canDecrypt) continue;
            const Bytes secret{'s', 'e', 'c', 'r', 'e', 't'};
            const Bytes cryptogram = testing::encryptFor(certificateOf(*c.token, *key).data, secret);
            EXPECT_EQ(c.session->decryptData(cryptogram, key->objectID, A::RSAEncryptionPKCS1), secret)
                << sim::generationName(g);
        }
    }
}

TEST(SigillaSession, RefusedAlgorithmsAndUnknownKeysSendNothing) {
    Card c = openToken(Generation::QEL3);
    const TokenKey* key = keysOf(*c.token).front();
    c.smartCard->sent.clear();
    EXPECT_EQ(tokenCode([&] { c.session->signData(Bytes(32, 1), key->objectID, A::RSASignatureDigestPSSSHA256); }),
              CardError::badParameter);
    EXPECT_EQ(tokenCode([&] { c.session->signData(Bytes(32, 1), Bytes{0x7E}, A::RSASignatureDigestPKCS1v15SHA256); }),
              kObjectNotFound);
    EXPECT_TRUE(c.smartCard->sent.empty());
    EXPECT_EQ(
        tokenCode([&] { c.session->performKeyExchange(Bytes(65, 4), key->objectID, A::ECDHKeyExchangeStandard); }),
        CardError::notImplemented);
}

TEST(QELAuthOperation, AWrongPinIsRefusedAndABlockedCardIsRefusedBeforeAnyPin) {
    for (Generation g : {Generation::QEL3, Generation::QEL4}) {
        Card c = openToken(g);
        auto auth = c.session->beginAuthForOperation(2, Constraint::pin);
        EXPECT_EQ(auth->apduTemplate,
                  QELAuthOperation::templateFor(g == Generation::QEL3 ? QELType::QEL3 : QELType::QEL4));
        EXPECT_EQ(auth->pinByteOffset, 0);
        for (int attempt = 0; attempt < 3; ++attempt) {
            auth->setPIN("9999");
            std::exception_ptr error;
            EXPECT_FALSE(auth->finishWithError(error));
            EXPECT_EQ(auth->failedStep(), QELAuthOperation::Step::verify);
            EXPECT_EQ(tokenCode([&] { std::rethrow_exception(error); }), CardError::communicationError);
        }
        c.smartCard->sent.clear();
        EXPECT_EQ(tokenCode([&] { c.session->beginAuthForOperation(2, Constraint::pin); }),
                  CardError::communicationError)
            << sim::generationName(g);
        // The state check may ask VERIFY without data, never with a PIN.
        for (const Bytes& apdu : c.smartCard->sent) EXPECT_FALSE(apdu[1] == 0x20 && apdu.size() > 5);
    }
}

TEST(QELAuthOperation, TemplatesPerGeneration) {
    EXPECT_EQ(QELAuthOperation::templateFor(QELType::QEL3),
              (Bytes{0x00, 0x20, 0x00, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    for (QELType t : {QELType::QEL3CL, QELType::QEL4, QELType::UNKNOWN})
        EXPECT_EQ(QELAuthOperation::templateFor(t), (Bytes{0x01, 0x20, 0x00, 0x01, 0x04, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(SigillaSession, EveryCommandToAFourthGenerationCardCarriesClass01) {
    Card c = openToken(Generation::QEL4);
    // Whatever another user of the card object left in its class byte.
    c.smartCard->setCla(0x00);
    login(c);
    c.smartCard->setCla(0x00);
    for (const TokenKey* key : keysOf(*c.token)) {
        c.session->signData(Bytes(32, 7), key->objectID, A::RSASignatureDigestPKCS1v15SHA256);
        if (key->canDecrypt) {
            const Bytes cryptogram = testing::encryptFor(certificateOf(*c.token, *key).data, Bytes{1, 2, 3});
            c.smartCard->setCla(0x00);
            c.session->decryptData(cryptogram, key->objectID, A::RSAEncryptionPKCS1);
        }
    }
    ASSERT_FALSE(c.smartCard->sent.empty());
    for (const Bytes& apdu : c.smartCard->sent) EXPECT_EQ(apdu[0] & 0xEF, 0x01) << toHex(apdu);
}

TEST(SigillaToken, ContactlessThirdGenerationSignsWithoutPin) {
    Card c = openToken(Generation::QEL3, ReaderKind::contactless);
    for (const TokenKey* key : keysOf(*c.token)) {
        const Bytes hash = testing::sha("SHA256", Bytes{1});
        const Bytes signature = c.session->signData(hash, key->objectID, A::RSASignatureDigestPKCS1v15SHA256);
        EXPECT_TRUE(testing::verifySignature(certificateOf(*c.token, *key).data, hash, signature, "SHA256", false));
    }
}

TEST(SigillaToken, RefusesCardsItCannotServe) {
    TokenDriver driver;
    auto card = loadCard(Generation::QEL3);
    EXPECT_EQ(tokenCode([&] { driver.createTokenForSmartCard(*card, std::nullopt); }), CardError::badParameter);
    card->removeCard();  // no ATR any more
    EXPECT_EQ(tokenCode([&] { driver.createTokenForSmartCard(*card, kAid); }), CardError::badParameter);
    EXPECT_TRUE(card->sent.empty());

    // A certificate file that cannot be read abandons the whole token.
    testing::forgetCachedFiles();
    auto broken = loadCard(Generation::QEL3);
    sim::HostileRule rule;
    rule.ins = 0xB0;
    rule.path = "3F000001A001";
    rule.action = sim::HostileRule::Action::status;
    rule.sw = 0x6A82;
    broken->model().setHostileRules({rule});
    EXPECT_EQ(tokenCode([&] { driver.createTokenForSmartCard(*broken, kAid); }), CardError::corruptedData);

    // So does one whose bytes are no certificate.
    testing::forgetCachedFiles();
    auto garbled = loadCard(Generation::QEL4);
    rule = sim::HostileRule{};
    rule.path = "3F0000010102A020";
    rule.action = sim::HostileRule::Action::fileContent;
    rule.bytes = Bytes{0x30, 0x03, 0x02, 0x01, 0x01};
    garbled->model().setHostileRules({rule});
    EXPECT_EQ(tokenCode([&] { driver.createTokenForSmartCard(*garbled, kAid); }), CardError::corruptedData);
}

TEST(SigillaToken, TheSecondTokenOfACardReadsItsDirectoriesAndCertificatesFromTheCache) {
    for (Generation g : {Generation::QEL3, Generation::QEL4}) {
        const std::string profile = testing::VirtualCards::instance().card(g);
        auto countCommands = [&] {
            RecordingCard card(sim::loadQelCardModel(profile, ReaderKind::contact));
            TokenDriver driver;
            auto token = driver.createTokenForSmartCard(card, kAid);
            return std::make_pair(card.sent.size(), token->publishedObjects().size());
        };
        testing::forgetCachedFiles();
        const auto first = countCommands();
        const auto second = countCommands();
        EXPECT_EQ(second.second, first.second);
        // Warm: the serial (2 commands), the application on a QEL4 (1), and the start of each of the
        // two cached certificates compared with the card (2 each).
        EXPECT_LE(second.first, g == Generation::QEL3 ? 6u : 7u)
            << "first " << first.first << ", second " << second.first;
        EXPECT_LT(second.first, first.first);
        std::cout << "[ figure ] " << sim::generationName(g) << " token creation: " << first.first
                  << " APDUs the first time, " << second.first << " the second time\n";
    }
}

}  // namespace
}  // namespace qel
