// The build-number text of the server's replies and of the command line.
#include <gtest/gtest.h>

#include <string>

#include "firmware/ServerReply.h"

namespace {

TEST(BuildNumberText, OnlyADecimalNumberInRangeWithBlanksAroundIt) {
  struct Case {
    std::string text;
    bool parsed;
    uint32_t build;  // the build after the call, which starts at 77
  };
  const Case cases[] = {
      {"12345", true, 12345},
      {" 12\r", true, 12},
      {"\t007\n", true, 7},
      {"0", true, 0},
      {"4294967295", true, 4294967295u},
      {"00000000004294967295", true, 4294967295u},
      {"4294967296", false, 77},
      {"99999999999999999999999", false, 77},
      {"12abc", false, 77},
      {"1 2", false, 77},
      {"-1", false, 77},
      {"+1", false, 77},
      {"", false, 77},
      {" \r\n", false, 77},
      {std::string("1\0"
                   "2",
                   3),
       false, 77},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint32_t build = 77;
    EXPECT_EQ(ServerReply::parse_build(c.text, &build), c.parsed);
    EXPECT_EQ(build, c.build);
  }
}

}  // namespace
