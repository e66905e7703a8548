// A simulated module behind a slow link, for tests: the links to try (a TCP path of 20 KB/s, a
// serial line at 115200 baud) and a ThrottledRelay of the link's rate in front of the module,
// with the module's link specification pointed at the relay instead of the module.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/entity_sim.h"
#include "support/throttled_relay.h"

namespace qftest {

struct SlowLink {
  const char* name;
  qfsim::SimTransport transport;
  std::size_t bytesPerSecond;
};

// The slow links a test runs on, as parameters, and their names for the test names.
inline auto SlowLinks() {
  return testing::ValuesIn(std::vector<SlowLink>{{"TcpAt20KBps", qfsim::SimTransport::tcp, 20000},
                                                 {"SerialAt115200", qfsim::SimTransport::serial, 11520}});
}
inline std::string SlowLinkName(const testing::TestParamInfo<SlowLink>& link) { return link.param.name; }

// A relay of the slow link's rate to the module; spec (the module's own, for slow.transport)
// is changed to reach the module through it. Check started() before use.
inline std::unique_ptr<ThrottledRelay> RelayInFront(const EntitySim& sim, const SlowLink& slow, linkSpec& spec) {
  std::unique_ptr<ThrottledRelay> relay;
  if (slow.transport == qfsim::SimTransport::tcp) {
    relay = ThrottledRelay::tcp(sim.module.port(), slow.bytesPerSecond);
    spec.port = relay->port();
  } else {
    relay = ThrottledRelay::terminal(sim.module.path(), slow.bytesPerSecond);
    std::memset(spec.serialPort, 0, sizeof spec.serialPort);
    std::strncpy(spec.serialPort, relay->slavePath().c_str(), sizeof spec.serialPort - 1);
  }
  return relay;
}

}  // namespace qftest
