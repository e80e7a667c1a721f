#include "d88/version.h"

#include <string>

#include "gtest/gtest.h"

namespace {

// The macros are the project's version (D88CUT_VERSION, from the build), and
// each of its forms says the same.
TEST(VersionTest, MacrosAgreeWithTheProjectVersion) {
  EXPECT_STREQ(D88_VERSION_STRING, D88CUT_VERSION);
  EXPECT_EQ(std::to_string(D88_VERSION_MAJOR) + "." +
                std::to_string(D88_VERSION_MINOR) + "." +
                std::to_string(D88_VERSION_PATCH),
            D88_VERSION_STRING);
  static_assert(D88_VERSION_MINOR < 100 && D88_VERSION_PATCH < 100,
                "D88_VERSION keeps two digits for each");
  static_assert(D88_VERSION > 10000, "a number for #if");
}

}  // namespace
