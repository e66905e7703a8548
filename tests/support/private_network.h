// Tests that send beyond the loopback interface (multicast on a network interface, broadcast
// beacons) must never do so in the machine's own network namespace, where the traffic would
// reach a real network. Such a test starts with QF_REQUIRE_PRIVATE_NETWORK(): the test
// re-executes itself (only itself) in a fresh network namespace made with `unshare -rn`, holding
//   lo    up
//   v0    10.7.0.1/24 with broadcast 10.7.0.255, one end of a veth pair
//   v1    the other end, up, without an address
// plus whatever extra setup commands the test names, and passes or fails with that run. Where
// no namespace can be made, the test is skipped with the reason.
//
// A test program whose tests hold fixed ports (the loopback discovery slots, a link sharing
// server's) names QF_RUN_PROGRAM_IN_PRIVATE_NETWORK() once at namespace scope instead: before
// any test runs, the whole program re-executes itself with the same arguments in such a
// namespace, so that two checkouts running their suites on one machine at once never meet on a
// port. Listing the tests stays in the machine's namespace. Where no namespace can be made, the
// program runs where it is, as such tests only ever use the loopback interface.
#pragma once

#include <string>

#include <gtest/gtest.h>

namespace qftest {

// The host's address in the private network (on v0).
inline constexpr const char* kPrivateHostAddress = "10.7.0.1";

enum class NetworkPlace {
  inside,       // this process runs in the private network: go on with the test
  ranInChild,   // the test ran in a child process inside one; its outcome is already reported
  unavailable,  // no namespace can be made here (why says what failed)
  unsafe,       // told it is inside but sees other interfaces: the test must not send anything
};

// extraSetup: shell commands run in the namespace after the standard setup (may be empty).
NetworkPlace RunInPrivateNetwork(const std::string& extraSetup, std::string* why);

// Runs the whole program in a private network namespace and ends this process with its exit
// status; returns (true) only in the namespace itself, or where none can be made.
bool RunProgramInPrivateNetwork();

}  // namespace qftest

#define QF_REQUIRE_PRIVATE_NETWORK_WITH(extraSetup)                      \
  do {                                                                   \
    std::string qfWhy_;                                                  \
    switch (qftest::RunInPrivateNetwork(extraSetup, &qfWhy_)) {          \
      case qftest::NetworkPlace::inside:                                 \
        break;                                                           \
      case qftest::NetworkPlace::ranInChild:                             \
        return;                                                          \
      case qftest::NetworkPlace::unavailable:                            \
        GTEST_SKIP() << "needs a private network namespace: " << qfWhy_; \
      case qftest::NetworkPlace::unsafe:                                 \
        FAIL() << qfWhy_;                                                \
    }                                                                    \
  } while (0)

#define QF_REQUIRE_PRIVATE_NETWORK() QF_REQUIRE_PRIVATE_NETWORK_WITH("")

// Evaluated during static initialisation: before the test framework, and before any library
// starts a thread that a re-execution would have to leave behind.
#define QF_RUN_PROGRAM_IN_PRIVATE_NETWORK()                                                      \
  namespace {                                                                                    \
  [[maybe_unused]] const bool qfProgramInPrivateNetwork_ = qftest::RunProgramInPrivateNetwork(); \
  }
