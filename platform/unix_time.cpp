#include "common/aTime.h"

#include <sys/time.h>
#include <unistd.h>

#include <ctime>

namespace {

// The system's microsecond sleep takes less than a second per call.
constexpr uint64_t sLongestStepUs = 999999;

void osMSSleep(uint32_t milliseconds) {
  for (uint64_t left = uint64_t{milliseconds} * 1000; left > 0;) {
    const uint64_t step = left < sLongestStepUs ? left : sLongestStepUs;
    usleep(static_cast<useconds_t>(step));
    left -= step;
  }
}

}  // namespace

uint64_t aTime_GetMSTicks() {
  struct timeval now;
  if (gettimeofday(&now, nullptr) != 0) return 0;
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

uint64_t aTime_GetMonotonicMSTicks() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

aErr aTime_MSSleep(uint32_t milliseconds) {
  osMSSleep(milliseconds);
  return aErrNone;
}
