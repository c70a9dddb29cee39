#include <gtest/gtest.h>

#include "sim/card/profile.h"
#include "test_support.h"

namespace qel::sim::test {
namespace {

TEST(SimCardHostile, RuleListsAreCheckedWhenRead) {
    const char* bad[] = {
        "{}",                   // not a list
        "[{\"ins\": \"B0\"}]",  // no action
        "[{\"action\": \"explode\"}]",
        "[{\"action\": \"status\", \"ins\": \"B0B0\"}]",
        "[{\"action\": \"status\", \"sw\": \"6F\"}]",
        "[{\"action\": \"truncateFile\", \"length\": 3}]",  // a file rule needs its path
        "[{\"action\": \"raw\", \"bytes\": \"XYZ\"}]",
        "[{\"action\": \"truncate\", \"length\": -4}]",
        "not json",
    };
    for (const char* text : bad) EXPECT_THROW(hostileRulesFromJson(text), std::runtime_error) << text;
    auto rules = hostileRulesFromJson(
        "[{\"action\":\"status\",\"ins\":\"2A\",\"sw\":\"6F00\",\"times\":1},"
        "{\"action\":\"truncateFile\",\"path\":\"3f0000017002\",\"length\":10}]");
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[1].path, "3F0000017002");
    EXPECT_EQ(hostileRulesFromJson(hostileRulesToJson(rules)).size(), 2u);
}

TEST(SimCardHostile, TruncatedDirectoryKeepsItsSizeConsistent) {
    Reader r(freshProfile("qel3-default"), ReaderKind::contact);
    auto whole = r.readFile(hex("3F0000017002"));
    ASSERT_TRUE(whole.has_value());
    r.model->setHostileRules(
        hostileRulesFromJson("[{\"action\":\"truncateFile\",\"path\":\"3F0000017002\",\"length\":40}]"));
    auto cut = r.readFile(hex("3F0000017002"));
    ASSERT_TRUE(cut.has_value());
    EXPECT_EQ(toHex(*cut), toHex(Bytes(whole->begin(), whole->begin() + 40)));
    EXPECT_FALSE(parseTlv(*cut).has_value());
}

TEST(SimCardHostile, SelectAnswerWithoutSizeTag) {
    Reader r(freshProfile("qel3-default"), ReaderKind::contact);
    r.model->setHostileRules(hostileRulesFromJson("[{\"action\":\"noSizeTag\",\"ins\":\"A4\",\"path\":\"3F00D003\"}]"));
    CardResponse sel = r.selectPath(hex("3F00D003"));
    ASSERT_EQ(sel.sw, 0x9000);
    EXPECT_EQ(toHex(sel.data).find("80"), std::string::npos);
    EXPECT_NE(r.selectPath(hex("3F0000017002")).data[2], 0x00);  // other files unchanged
}

TEST(SimCardHostile, EndlessGetResponseIsBoundedByTheTransport) {
    Reader r(freshProfile("qel3-default"), ReaderKind::contact);
    r.model->setHostileRules(hostileRulesFromJson("[{\"action\":\"loop61\",\"ins\":\"A4\"}]"));
    CardResponse c = r.selectPath(hex("3F00D003"));
    EXPECT_EQ(c.sw, 0x6110);
    EXPECT_GT(r.card->exchangeCount(), 200);
    // The next command ends the loop.
    EXPECT_EQ(r.send(0xB0, 0, 0, {}, 4).sw, 0x9000);
}

TEST(SimCardHostile, StatusWordsAndRawAnswers) {
    Reader r(freshProfile("qel3-default"), ReaderKind::contact);
    r.model->setHostileRules(
        hostileRulesFromJson("[{\"action\":\"status\",\"ins\":\"20\",\"sw\":\"6F00\",\"times\":1},"
                             "{\"action\":\"oversize\",\"ins\":\"B0\",\"length\":300,\"times\":1},"
                             "{\"action\":\"wrongLength\",\"ins\":\"CB\",\"length\":5,\"times\":1},"
                             "{\"action\":\"raw\",\"ins\":\"88\",\"bytes\":\"90\"}]"));
    EXPECT_EQ(r.verifyPin("1234"), 0x6F00);
    EXPECT_EQ(r.verifyPin("1234"), 0x9000);  // the rule fired once
    ASSERT_EQ(r.selectPath(hex("3F00D003")).sw, 0x9000);
    EXPECT_EQ(r.send(0xB0, 0, 0, {}, 12).data.size(), 312u);
    EXPECT_EQ(r.send(0xB0, 0, 0, {}, 12).data.size(), 12u);
    // 6C05: the transport asks again with Le 05, which the real answer then follows.
    CardResponse status = r.send(0xCB, 0x3F, 0xFF, hex("4D087006BF810102A080"), 231);
    EXPECT_EQ(status.sw, 0x9000);
    try {
        r.send(0x88, 0, 0, hex("0102"), 256);
        FAIL() << "a one-byte answer must not pass";
    } catch (const TransportError& e) {
        EXPECT_EQ(e.kind(), TransportError::Kind::communication);
    }
}

TEST(SimCardHostile, RulesFromTheProfileAndCardRemoval) {
    const std::string dir = freshProfile("qel4-default");
    Profile p = loadProfile(dir);
    p.hostile = hostileRulesFromJson("[{\"action\":\"status\",\"ins\":\"A4\",\"p1\":\"04\",\"sw\":\"6A82\"}]");
    saveProfile(p, dir);
    Reader r(dir, ReaderKind::contact);
    EXPECT_EQ(r.send(0xA4, 0x04, 0x04, hex("8025000001FF0100"), 0).sw, 0x6A82);
    r.model->setHostileRules({});
    EXPECT_EQ(r.send(0xA4, 0x04, 0x04, hex("8025000001FF0100"), 0).sw, 0x9000);

    r.card->removeCard(1);
    EXPECT_EQ(r.send(0xA4, 0x08, 0x00, hex("D003"), 0).sw, 0x9000);
    try {
        r.send(0xB0, 0, 0, {}, 4);
        FAIL() << "the card was pulled out";
    } catch (const TransportError& e) {
        EXPECT_TRUE(e.cardRemoved());
    }
    EXPECT_TRUE(r.card->atr().empty());
    r.card->insertCard();
    EXPECT_EQ(r.send(0xA4, 0x08, 0x00, hex("D003"), 0).sw, 0x9000);
}

TEST(SimCardHostile, MalformedCommandApdus) {
    Reader r(freshProfile("qel3-default"), ReaderKind::contact);
    const char* cases[] = {"", "00", "00A4", "00A404", "00A4090405 3F00", "00A4090400000000", "00A40904023F000000FF"};
    for (const char* c : cases) EXPECT_EQ(toHex(r.model->processApdu(hex(c))), "6700") << c;
}

}  // namespace
}  // namespace qel::sim::test
