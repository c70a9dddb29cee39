#include <gtest/gtest.h>

#include "common/hex.h"

namespace qel {

TEST(Hex, WritesUpperCaseTwoDigitsPerByte) {
    EXPECT_EQ(toHex(Bytes{0x3F, 0x00, 0x00, 0x01, 0x70, 0x02}), "3F0000017002");
    EXPECT_EQ(toHex(Bytes{}), "");
    EXPECT_EQ(toHex(Bytes{0x0a, 0xff}), "0AFF");
}

TEST(Hex, ParsesEitherCaseAndRejectsGarbage) {
    EXPECT_EQ(fromHex("3f00 A0"), (Bytes{0x3F, 0x00, 0xA0}));
    EXPECT_EQ(fromHex(""), Bytes{});
    EXPECT_FALSE(fromHex("ABC").has_value());
    EXPECT_FALSE(fromHex("0G").has_value());
}

}  // namespace qel
