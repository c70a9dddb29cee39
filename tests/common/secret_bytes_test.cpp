#include <gtest/gtest.h>

#include <type_traits>
#include <utility>

#include "common/secret_bytes.h"

namespace qel {
namespace {

static_assert(!std::is_copy_constructible_v<SecretBytes> && !std::is_copy_assignable_v<SecretBytes>);
static_assert(std::is_nothrow_move_constructible_v<SecretBytes> && std::is_nothrow_move_assignable_v<SecretBytes>);

TEST(SecretBytes, GrowsMovesAndCopiesOnlyWhenAsked) {
    SecretBytes pin("1234");
    // Growing past the capacity moves the bytes to a new buffer; nothing is lost on the way.
    for (int i = 0; i < 40; ++i) pin.push_back(0xFF);
    pin.append(pin);  // from its own bytes, across a reallocation
    ASSERT_EQ(pin.size(), 88u);
    EXPECT_EQ(pin.view().substr(0, 4), "1234");
    EXPECT_EQ(pin.view().substr(44, 4), "1234");
    EXPECT_EQ(pin[87], 0xFF);

    SecretBytes copy = pin.copy();
    pin.assign("99");
    EXPECT_EQ(pin.view(), "99");
    EXPECT_EQ(copy.size(), 88u);

    SecretBytes moved = std::move(copy);
    EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): a moved-from secret is empty
    EXPECT_EQ(moved.size(), 88u);
    moved = std::move(pin);
    EXPECT_EQ(moved.view(), "99");
    moved.clear();
    EXPECT_TRUE(moved.empty());
    EXPECT_EQ(moved.mutableData(), nullptr);

    Bytes buffer{1, 2, 3};
    std::string text = "4321";
    wipe(buffer);
    wipe(text);
    EXPECT_TRUE(buffer.empty());
    EXPECT_TRUE(text.empty());
}

}  // namespace
}  // namespace qel
