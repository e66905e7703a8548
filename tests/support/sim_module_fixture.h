// A test against the simulated module through the object layer: the fixture starts the module
// (an EntitySim, or a StreamSim with its streams) and connects Links and Modules to it under
// direct control, as the updater does. Header-only, like the simulators it starts.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "api/Link.h"
#include "api/Module.h"
#include "support/entity_sim.h"
#include "support/sim_module_start.h"

namespace qftest {

// A Link to the target under direct control, not yet connected.
inline std::unique_ptr<Tarnwick::Quillfern::Link> DirectLink(const linkSpec& target, const char* name) {
  auto link = std::make_unique<Tarnwick::Quillfern::Link>(target, name);
  EXPECT_EQ(link->setConfig(DirectControl()), aErrNone);
  return link;
}

// Connects the Module to the target under direct control; the connect's result.
inline aErr ConnectDirectly(Tarnwick::Quillfern::Module& module, const linkSpec& target) {
  const aErr configured = module.setConfig(DirectControl());
  return configured != aErrNone ? configured : module.connectFromSpec(target);
}

template <class Sim = EntitySim, class Base = testing::Test>
class SimModuleFixture : public Base {
 protected:
  // Starts the module; the extra arguments go to the simulator (a StreamSim's settings). Call
  // with ASSERT_NO_FATAL_FAILURE: a module that cannot start fails the test.
  template <class... SimSettings>
  void StartSim(const qfsim::SimModuleOptions& options, SimSettings&&... settings) {
    sim = std::make_unique<Sim>(options, std::forward<SimSettings>(settings)...);
    ASSERT_TRUE(sim->started);
  }

  // A Link to the module over TCP under direct control, connected.
  std::unique_ptr<Tarnwick::Quillfern::Link> ConnectedLink(const char* name) {
    auto link = DirectLink(sim->spec(qfsim::SimTransport::tcp), name);
    EXPECT_EQ(link->connect(), aErrNone);
    return link;
  }

  // The data of every packet the module received with this command byte.
  std::vector<std::vector<std::uint8_t>> Received(std::uint8_t command) const {
    std::vector<std::vector<std::uint8_t>> found;
    for (const qfsim::SimPacket& packet : sim->module.record().packets)
      if (!packet.data.empty() && packet.data[0] == command) found.push_back(packet.data);
    return found;
  }

  std::unique_ptr<Sim> sim;
};

}  // namespace qftest
