#include <gtest/gtest.h>

#include <chrono>

#include "common/aTime.h"

namespace {

uint64_t WallMilliseconds() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

TEST(Time, TicksFollowTheWallClock) {
  const uint64_t before = WallMilliseconds();
  const uint64_t ticks = aTime_GetMSTicks();
  const uint64_t after = WallMilliseconds();
  EXPECT_GE(ticks, before);
  EXPECT_LE(ticks, after);
}

// Sleeps are checked against the monotonic clock with generous upper bounds: a loaded machine
// may oversleep, but never undersleep.
TEST(Time, SleepLastsAtLeastTheRequestedTime) {
  const struct {
    uint32_t milliseconds;
    uint64_t atMost;
  } cases[] = {{0, 100}, {30, 1000}, {1200, 4000}};  // 1200 ms takes two steps
  for (const auto& c : cases) {
    const uint64_t start = aTime_GetMonotonicMSTicks();
    EXPECT_EQ(aTime_MSSleep(c.milliseconds), aErrNone);
    const uint64_t slept = aTime_GetMonotonicMSTicks() - start;
    EXPECT_GE(slept, c.milliseconds);
    EXPECT_LE(slept, c.atMost) << c.milliseconds;
  }
}

}  // namespace
