// Modules with the default network settings against the simulated module over TCP on loopback:
// the device link is served by a link sharing server, and Modules reach it as its clients.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "common/internal/aLinkRegistry.h"
#include "support/private_network.h"
#include "support/sim_module_fixture.h"

using namespace Tarnwick::Quillfern;
using qfsim::SimTransport;
using namespace std::chrono_literals;

// The tests hold fixed ports: the loopback discovery slots of link sharing servers.
QF_RUN_PROGRAM_IN_PRIVATE_NETWORK()

namespace {

constexpr uint8_t kAddress = 0x08;
constexpr uint8_t kModel = 0x1D;
constexpr uint32_t kSerial = 0x0C11E47;

class ServedModuleTest : public qftest::SimModuleFixture<> {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(StartSim(qftest::SimModuleWith(kAddress, kModel, kSerial))); }

  // The module's identity as read over the Module's link.
  static void ExpectIdentity(Module& module) {
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    uint8_t model = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, kSerial);
    EXPECT_EQ(system.getModel(&model), aErrNone);
    EXPECT_EQ(model, kModel);
  }

  bool DeviceRegistered() const { return sLookupEntryByIdentifier(kSerial, TCPIP) != nullptr; }
};

TEST_F(ServedModuleTest, ModulesReachTheDeviceThroughItsServer) {
  Module owner(0x02, 0);  // default settings: networking on, local only
  ASSERT_EQ(owner.connectFromSpec(sim->spec(SimTransport::tcp)), aErrNone);
  EXPECT_EQ(owner.getModuleAddress(), kAddress);
  ExpectIdentity(owner);
  OrvaneConfig config;
  ASSERT_EQ(owner.getConfig(&config), aErrNone);
  ASSERT_NE(config.port, 0u) << "the server's port is written into the settings";
  EXPECT_EQ(config.networkInterface, htonl(INADDR_LOOPBACK));

  // Another Module in the same process, as a client of that server.
  linkSpec client{};
  client.type = ORVANE_TCPIP;
  client.serialNumber = kSerial;
  client.model = kModel;
  client.ipAddress = config.networkInterface;
  client.port = config.port;
  {
    Module other(0x02, 0);
    ASSERT_EQ(other.connectFromSpec(client), aErrNone);
    ExpectIdentity(other);
    ExpectIdentity(owner);
  }
  EXPECT_TRUE(DeviceRegistered()) << "another client's end leaves the device served";
  ExpectIdentity(owner);

  sim->module.clearRecord();
  ASSERT_EQ(owner.disconnect(), aErrNone);
  EXPECT_TRUE(
      sim->module.waitUntil([](const qfsim::SimRecord& r) { return !r.routes.empty() && r.routes.back() == 0; }, 3s))
      << "the device link's route-off reaches the module";
  EXPECT_FALSE(DeviceRegistered());
}

}  // namespace
