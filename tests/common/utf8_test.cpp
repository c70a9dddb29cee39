#include "common/utf8.h"

#include <gtest/gtest.h>

namespace qel {
namespace {

TEST(Utf8, AcceptsWellFormedTextOnly) {
    for (std::string_view good : {"", "https://vestalink.oberlane.org/", "délai dépassé", "\xF0\x9F\x94\x91",
                                  "\xEF\xBF\xBF", "\xF4\x8F\xBF\xBF"})
        EXPECT_TRUE(isUtf8(good)) << good;
    for (std::string_view bad : {"\x80", "\xC0\x80", "\xC3", "\xE0\x80\x80", "\xED\xA0\x80", "\xF0\x80\x80\x80",
                                 "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "ab\xE9z", "\xE2\x82"})
        EXPECT_FALSE(isUtf8(bad)) << testing::PrintToString(std::string(bad));
}

TEST(Utf8, Latin1BytesBecomeValidUtf8) {
    const std::uint8_t bytes[] = {'H', 0xC9, 'L', 'O', 0xEF, 0xFF, 0x7F};
    const std::string text = latin1ToUtf8(bytes, sizeof bytes);
    EXPECT_EQ(text, "H\xC3\x89LO\xC3\xAF\xC3\xBF\x7F");
    EXPECT_TRUE(isUtf8(text));
    EXPECT_EQ(latin1ToUtf8(nullptr, 0), "");
}

}  // namespace
}  // namespace qel
