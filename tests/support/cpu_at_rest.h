// The process's CPU use while it should be at rest, for tests that a thread sleeps instead of
// spinning. A spinning thread burns CPU in every window; a stall of the machine (another process,
// the virtual machine's host) lands in one. So the time is measured over several windows and the
// quietest counts: it is what the process itself costs at rest.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace qftest {

inline std::chrono::microseconds ProcessCpuUsed() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// The least CPU time the process used in any of `windows` windows of `window` each.
inline std::chrono::microseconds QuietestCpuUse(std::chrono::milliseconds window, int windows = 3) {
  auto quietest = std::chrono::microseconds::max();
  for (int i = 0; i < windows; ++i) {
    const auto before = ProcessCpuUsed();
    std::this_thread::sleep_for(window);  // the window measured, not a wait for anything
    quietest = std::min(quietest, ProcessCpuUsed() - before);
  }
  return quietest;
}

}  // namespace qftest
