#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>

#include "common/aDefs.h"

namespace {

TEST(ModelNames, KnownCodesHaveDistinctPrintableNames) {
  std::set<std::string> names;
  for (uint32_t code : {4u, 5u, 13u, 14u, 15u, 16u, 17u, 18u, 19u, 20u, 21u, 22u, 23u, 24u, 25u, 26u, 27u}) {
    const std::string name = aDefs_GetModelName(code);
    EXPECT_NE(name, "Unknown") << code;
    EXPECT_FALSE(name.empty()) << code;
    for (char ch : name) EXPECT_TRUE(std::isprint(static_cast<unsigned char>(ch))) << code;
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 17u) << "every model has its own name";
}

TEST(ModelNames, OtherCodesAreUnknown) {
  for (uint32_t code : {0u, 1u, 3u, 6u, 12u, 28u, 255u, 0x104u, 0xFFFFFFFFu})
    EXPECT_STREQ(aDefs_GetModelName(code), "Unknown") << code;
}

}  // namespace
