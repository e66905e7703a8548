// The one polling wait of the tests: for a condition that no event, FIFO or condition variable
// announces (a registry entry gone, a status changed by another thread). Bounded: it gives up
// after the timeout and answers with the condition's last value, so that a failing test fails
// instead of hanging.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace qftest {

// Long enough for what must happen, also under the sanitizers.
inline constexpr std::chrono::milliseconds kEventuallyLimit{3000};

inline bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kEventuallyLimit) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < until) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return condition();
}

}  // namespace qftest
