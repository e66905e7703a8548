// Simulated Ethernet modules made known to discovery: a responder that answers the discovery
// query on the private network's interface (tests/support/private_network.h) with the given
// replies, sent from loopback, where the simulated modules listen. Header-only.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/module/simEthernetDiscovery.h"
#include "support/entity_sim.h"
#include "support/private_network.h"

namespace qftest {

// Started (a failure to start fails the test); stops when it goes.
inline std::unique_ptr<qfsim::SimEthernetDiscovery> AnnounceModules(std::vector<std::vector<std::uint8_t>> replies) {
  qfsim::SimEthernetDiscoveryOptions options;
  options.interfaceAddress = kPrivateHostAddress;
  options.replyFrom = "127.0.0.1";
  options.replies = std::move(replies);
  auto responder = std::make_unique<qfsim::SimEthernetDiscovery>(options);
  std::string error;
  EXPECT_TRUE(responder->start(&error)) << error;
  return responder;
}

// The discovery reply of a simulated module: its address, TCP port, serial number and model.
inline std::vector<std::uint8_t> EthernetReply(const EntitySim& sim) {
  return qfsim::simEthernetReply(sim.module.address(), sim.module.port(), sim.module.serialNumber(),
                                 sim.module.model());
}

}  // namespace qftest
