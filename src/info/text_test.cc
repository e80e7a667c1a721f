// The text helpers of d88info's account.

#include "info/text.h"

#include <gtest/gtest.h>

#include <string>

namespace info {
namespace {

TEST(EarlierTextsTest, FindsTheFirstEarlierTextAlikeWhileThereIsRoom) {
  EarlierTexts texts(10);
  EXPECT_EQ(texts.Find(0, "abc"), -1);
  EXPECT_EQ(texts.Find(1, "xyz"), -1);
  EXPECT_EQ(texts.Find(2, "abc"), 0);
  EXPECT_EQ(texts.Find(3, "xyz"), 1);
  // Only 4 of the 10 bytes are left: a text of 5 is not kept and so never
  // found again; one of 4 still is.
  EXPECT_EQ(texts.Find(4, "12345"), -1);
  EXPECT_EQ(texts.Find(5, "12345"), -1);
  EXPECT_EQ(texts.Find(6, "1234"), -1);
  EXPECT_EQ(texts.Find(7, "1234"), 6);
  EXPECT_EQ(texts.Find(8, ""), -1);
  EXPECT_EQ(texts.Find(9, ""), 8);
}

}  // namespace
}  // namespace info
