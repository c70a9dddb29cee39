#include <gtest/gtest.h>

#include "issuerlib/qel_tlv.h"
#include "tests/support/card_records.h"

namespace qel {
namespace {

using test::bytesOf;
using test::concat;
using test::tlv;

TEST(QelTlvParser, ReadsNestedContainersAndFieldsInOrder) {
    Bytes data = concat({tlv(0xE3, concat({tlv(0x80, {0x01}), tlv(0x04, {0x09}), tlv(0x86, {0x02})})),
                         tlv(0x81, {0x03}), tlv(0xEE, {})});
    QELTLVSequence top = parseTLV(data);
    ASSERT_EQ(top.seqList.size(), 2u);
    ASSERT_EQ(top.objectList.size(), 1u);
    EXPECT_EQ(top.objectList[0].type, QELTLVTAG::TAG_QEL_81);
    const auto& first = top.seqList[0];
    ASSERT_EQ(first.objectList.size(), 2u);  // the 0x04 element is skipped
    EXPECT_EQ(first.objectList[0].type, QELTLVTAG::TAG_QEL_80);
    EXPECT_EQ(first.objectList[1].type, QELTLVTAG::TAG_QEL_86);
    EXPECT_EQ(*first.objectList[1].value, Bytes{0x02});
    EXPECT_TRUE(top.seqList[1].objectList.empty());
}

TEST(QelTlvParser, LongLengthForms) {
    Bytes value(300, 'A');
    Bytes data = concat({tlv(0xE4, concat({tlv(0x81, Bytes(200, 'B')), tlv(0x82, value)}))});
    ASSERT_EQ(data[1], 0x82);
    QELTLVSequence top = parseTLV(data);
    ASSERT_EQ(top.seqList.size(), 1u);
    ASSERT_EQ(top.seqList[0].objectList.size(), 2u);
    EXPECT_EQ(top.seqList[0].objectList[0].value->size(), 200u);
    EXPECT_EQ(top.seqList[0].objectList[1].value->size(), 300u);
}

struct HostileCase {
    const char* name;
    Bytes data;
    std::size_t containers;  // at top level
    std::size_t fields;      // at top level
};

class QelTlvHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(QelTlvHostile, KeepsWhatWasReadAndNeverReadsOutside) {
    const HostileCase& c = GetParam();
    // A copy of exactly the given size, so that ASan catches any read past its end.
    Bytes exact(c.data);
    QELTLVSequence top = parseTLV(exact);
    EXPECT_EQ(top.seqList.size(), c.containers) << c.name;
    EXPECT_EQ(top.objectList.size(), c.fields) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QelTlvHostile,
    ::testing::Values(HostileCase{"empty", {}, 0, 0}, HostileCase{"single byte", {0x80}, 0, 0},
                      HostileCase{"trailing single byte ignored", {0x80, 0x01, 0x41, 0x81}, 0, 1},
                      HostileCase{"length past the end", {0x80, 0x05, 0x41}, 0, 0},
                      HostileCase{"second element runs past the end", {0x80, 0x01, 0x41, 0x81, 0x09, 0x42}, 0, 1},
                      HostileCase{"indefinite 0x80 form refused", {0x80, 0x80, 0x02, 0x00, 0x10}, 0, 0},
                      HostileCase{"0x83 form refused", {0x80, 0x83, 0x00, 0x00, 0x01, 0x41}, 0, 0},
                      HostileCase{"0x81 without its length byte", {0x80, 0x81}, 0, 0},
                      HostileCase{"0x82 with one length byte", {0x80, 0x82, 0x00}, 0, 0},
                      HostileCase{"0x82 length past the end", {0x80, 0x82, 0xFF, 0xFF, 0x41}, 0, 0},
                      HostileCase{"container with truncated content keeps it", {0xE3, 0x03, 0x80, 0x05, 0x41}, 1, 0},
                      HostileCase{"zero-length fields", {0x80, 0x00, 0x81, 0x00}, 0, 2},
                      HostileCase{"unknown tags skipped", {0x30, 0x01, 0x00, 0x9F, 0x00, 0x85, 0x00}, 0, 1}),
    [](const auto& testInfo) {
        std::string name = testInfo.param.name;
        for (auto& ch : name)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

TEST(QelTlvParser, DeepNestingIsCutOff) {
    Bytes data = tlv(0x80, {0x01});
    for (int i = 0; i < 40; ++i) data = tlv(0xE3, data);
    QELTLVSequence level = parseTLV(data);
    int depth = 0;
    while (!level.seqList.empty()) {
        QELTLVSequence next = level.seqList[0];
        level = next;
        ++depth;
    }
    EXPECT_EQ(depth, kMaxTLVDepth);
    EXPECT_TRUE(level.objectList.empty());
}

TEST(QelTlvFields, DecodersByIndexWithFallbacks) {
    QELTLVSequence top = parseTLV(concat({tlv(0xE3, concat({tlv(0x80, {0x16, 0x05, 0xFF}), tlv(0x81, bytesOf("AB"))})),
                                          tlv(0xE4, tlv(0x82, {0x20, 0x24, 0x1F}))}));
    EXPECT_EQ(getHexString(top, QELTLVTAG::TAG_QEL_80, 1), "2205I5");  // 0xFF = 255 -> '0'+25, '5'
    EXPECT_EQ(getBcdString(top, QELTLVTAG::TAG_QEL_80, 1), "1605??");
    EXPECT_EQ(getString(top, QELTLVTAG::TAG_QEL_81, 1), "AB");
    EXPECT_EQ(getBcdString(top, QELTLVTAG::TAG_QEL_82, 2), "20241?");

    // Index 0, an index past the containers and a missing tag.
    for (std::size_t index : {0u, 3u}) {
        EXPECT_EQ(getString(top, QELTLVTAG::TAG_QEL_81, index), "Non défini");
        EXPECT_EQ(getHexString(top, QELTLVTAG::TAG_QEL_80, index), "");
        EXPECT_EQ(getBcdString(top, QELTLVTAG::TAG_QEL_80, index), "");
    }
    EXPECT_EQ(getString(top, QELTLVTAG::TAG_QEL_81, 2), "Non défini");
    EXPECT_EQ(getHexString(top, QELTLVTAG::TAG_QEL_86, 1), "");
}

TEST(QelTlvFields, TextKeepsBytesAboveAscii) {
    QELTLVSequence top = parseTLV(tlv(0xE4, tlv(0x81, {'H', 0xC9, 'L', 'O', 'I', 'S', 'E'})));
    EXPECT_EQ(getString(top, QELTLVTAG::TAG_QEL_81, 1), "HÉLOISE");
}

TEST(QelTlvFields, DisplayDates) {
    const std::pair<const char*, const char*> cases[] = {
        {"20241231", "31/12/2024"}, {"20240229", "29/02/2024"}, {"20000229", "29/02/2000"},
        {"20230229", ""},           {"19000229", ""},           {"20241301", ""},
        {"20240000", ""},           {"20240431", ""},           {"2024123", ""},
        {"202412311", ""},          {"2024123?", ""},           {"", ""},
        {"00001231", ""},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(toDisplayDate(input), expected) << input;
}

}  // namespace
}  // namespace qel
