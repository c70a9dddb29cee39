#include <gtest/gtest.h>

#include "card/tlv.h"
#include "fake_card.h"

namespace qel {
namespace {

using test::hex;

std::string describe(const TLVSequence& s) {
    // A compact rendering of what the decoder kept, so that each table row states its whole result.
    std::string out;
    for (const auto& o : s.objectList) {
        if (!out.empty()) out += " ";
        if (auto* i = dynamic_cast<const TLVInteger*>(o.get()))
            out += "int:" + std::to_string(i->value);
        else if (auto* t = dynamic_cast<const TLVUTF8String*>(o.get()))
            out += "utf8:" + t->value;
        else if (auto* b = dynamic_cast<const TLVBitString*>(o.get()))
            out += "bits:" + toHex(b->value);
        else if (auto* x = dynamic_cast<const TLVOctetString*>(o.get()))
            out += "oct:" + toHex(x->value.value_or(Bytes{}));
        else if (auto* f = dynamic_cast<const TLVBoolean*>(o.get()))
            out += f->value ? "bool:1" : "bool:0";
        else if (dynamic_cast<const TLVNull*>(o.get()))
            out += "null";
        else if (auto* e = dynamic_cast<const TLVEntry*>(o.get()))
            out += "oid:" + toHex(*e->entryData);
    }
    for (const auto& child : s.seqList) out += (out.empty() ? "" : " ") + std::string("[") + describe(child) + "]";
    return out;
}

struct Case {
    const char* input;
    const char* decoded;
};

TEST(TLVSequence, DecodesWellFormedBuffers) {
    const Case cases[] = {
        {"02 01 05 0C 03 414243", "int:5 utf8:ABC"},
        {"30 06 02 01 01 04 01 AA", "[int:1 oct:AA]"},
        {"80 02 1234 02 01 07", "int:7"},  // unknown tag skipped over its own length
        {"06 03 2A8648 05 00", "oid:2A8648 null"},
        {"02 02 0100 02 01 FF 02 00", "int:256 int:255 int:0"},
        {"02 09 01 0000000000000002", "int:2"},  // high bytes shifted out
        {"01 01 00 01 01 7F", "bool:0 bool:1"},
        {"03 02 07 80", "bits:01"},
        {"03 03 06 20 40", "bits:0402"},
        {"03 01 05", "bits:05"},
        {"A1 03 04 01 11 30 00", "[oct:11] []"},
        {"0C 02 C3A9", "utf8:\xC3\x83\xC2\xA9"},  // one character per byte, kept valid UTF-8
        {"30 80 01 03 02 01 09", "[int:9]"},      // extended length form: content after the length bytes
        {"30 80 00 02 01 09", "int:9 []"},        // zero count: empty content
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(describe(TLVSequence(hex(c.input))), c.decoded);
    }
}

TEST(TLVSequence, MalformedInputEndsTheWalkAndKeepsWhatCameBefore) {
    const Case cases[] = {
        {"", ""},
        {"02", ""},
        {"02 01 05 0C", "int:5"},
        {"02 01 05 0C 05 41", "int:5"},           // declared length past the end
        {"02 01 05 04 81 00", "int:5"},           // 0x81 is 129 bytes, not a long-form prefix
        {"30 80", ""},                            // extended form without its count
        {"30 80 02 01", ""},                      // count announces more bytes than there are
        {"30 80 01 FF 02 01 01", ""},             // extended length past the end
        {"30 80 08 FFFFFFFFFFFFFFFF 00", ""},     // huge length must not wrap around
        {"01 00", "bool:0"},                      // empty boolean
        {"03 00", "bits:"},                       // empty bit string
        {"30 04 02 01 05 0C", "[int:5]"},         // truncated inside a child
        {"30 03 02 05 01 02 01 07", "int:7 []"},  // child truncated, parent walk goes on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(describe(TLVSequence(hex(c.input))), c.decoded);
    }
}

TEST(TLVSequence, DeepNestingIsBoundedAndDoesNotExhaustTheStack) {
    // 100,000 levels of 30 80 04 <4-byte length>, each holding the next.
    constexpr std::uint32_t levels = 100000;
    Bytes deep;
    for (std::uint32_t i = 0; i < levels; ++i) {
        const std::uint32_t len = 7 * (levels - 1 - i);
        deep.insert(deep.end(),
                    {0x30, 0x80, 0x04, static_cast<std::uint8_t>(len >> 24), static_cast<std::uint8_t>(len >> 16),
                     static_cast<std::uint8_t>(len >> 8), static_cast<std::uint8_t>(len)});
    }
    TLVSequence s(deep);
    int depth = 0;
    const TLVSequence* p = &s;
    while (!p->seqList.empty()) {
        p = &p->seqList[0];
        ++depth;
    }
    EXPECT_LE(depth, TLVSequence::maxDepth);
}

TEST(TLVSequence, FindObjectMatchesByClassAndNeverReturnsRawEntries) {
    TLVSequence s(hex("06 01 2A 04 01 AA 02 01 03 02 01 07 03 02 07 80"));
    const auto* i = dynamic_cast<const TLVInteger*>(s.findObject(TLVTAG::TAG_INTEGER));
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(i->value, 3);
    EXPECT_EQ(s.findObject(TLVTAG::TAG_OID), nullptr);
    EXPECT_EQ(s.findObject(TLVTAG::TAG_SEQUENCE), nullptr);
    EXPECT_EQ(s.findObject(TLVTAG::TAG_UTF8_STRING), nullptr);
    const auto* bits = dynamic_cast<const TLVBitString*>(s.findObject(TLVTAG::TAG_BIT_STRING));
    ASSERT_NE(bits, nullptr);
    EXPECT_EQ(bits->flags(), 1);
}

TEST(TLVBitString, FlagsReadNamedBitsInOrder) {
    // usage flags decipher (1) + non-repudiation (9): named bits 1 and 9 set, 6 unused bits.
    EXPECT_EQ(TLVBitString(hex("06 40 40")).flags(), 0x0202);
    EXPECT_EQ(TLVBitString(hex("06 20 40")).flags(), 0x0204);
    EXPECT_EQ(TLVBitString(hex("07 FF")).flags(), 0x0001);   // unused bits dropped before reversal
    EXPECT_EQ(TLVBitString(hex("00 01 02 03")).flags(), 0);  // three bytes: no flags
    EXPECT_EQ(TLVBitString(Bytes{}).flags(), 0);
}

TEST(TLVEntry, DecodesOneElementOrNothing) {
    auto e = TLVEntry::decode(hex("04 03 01A2FF 9000"));
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->entryTag, TLVTAG::TAG_OCTET_STRING);
    EXPECT_EQ(e->entryLen, 5u);
    EXPECT_EQ(toHex(*e->entryData), "01A2FF");
    EXPECT_FALSE(TLVEntry::decode(hex("04 04 01A2FF")).has_value());
    EXPECT_FALSE(TLVEntry::decode(hex("04")).has_value());
    EXPECT_FALSE(TLVEntry::decode(nullptr, 0).has_value());
    EXPECT_EQ(TLVEntry::decode(hex("77 00"))->entryTag, TLVTAG::TAG_UNKNOWN);
    EXPECT_FALSE(tlvTagFromRaw(0x77).has_value());
    EXPECT_EQ(tlvTagFromRaw(0xA1), TLVTAG::TAG_PATH);
}

}  // namespace
}  // namespace qel
