// The microsecond sleep of the system is replaced in this program, so that the steps a long
// sleep is made of can be seen without waiting for them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "common/aTime.h"

namespace {
std::vector<uint64_t> gSteps;
}

extern "C" int usleep(useconds_t microseconds) {
  gSteps.push_back(microseconds);
  return 0;
}

namespace {

TEST(SleepSteps, LongSleepsAreSplitBelowOneSecond) {
  const struct {
    uint32_t milliseconds;
    std::vector<uint64_t> steps;
  } cases[] = {
      {0, {}}, {1, {1000}}, {999, {999000}}, {1000, {999999, 1}}, {2500, {999999, 999999, 500002}},
  };
  for (const auto& c : cases) {
    gSteps.clear();
    EXPECT_EQ(aTime_MSSleep(c.milliseconds), aErrNone);
    EXPECT_EQ(gSteps, c.steps) << c.milliseconds;
  }
}

}  // namespace
