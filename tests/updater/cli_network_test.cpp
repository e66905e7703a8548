// The updater program's discovery over TCP/IP and behind a router module, run as a child
// process against simulated Ethernet modules on loopback. The discovery query is multicast on
// the network interfaces, so every test runs in a private network namespace.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/module/simEntities.h"
#include "sim/module/simEthernetDiscovery.h"
#include "support/entity_sim.h"
#include "support/ethernet_announce.h"
#include "support/loopback_tcp.h"
#include "support/private_network.h"
#include "support/temp_folder.h"
#include "support/updater_program.h"

namespace {

using qfsim::SimOption;
using qftest::EntitySim;
using qftest::UpdaterResult;
using Args = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kSystem = 3;
constexpr uint8_t kRouterOption = 2;
constexpr uint8_t kRouteToMeOption = 20;
constexpr uint8_t kNameOption = 32;

qfsim::SimModuleOptions _identity(uint32_t serial, uint8_t address) {
  qfsim::SimModuleOptions options;
  options.serialNumber = serial;
  options.address = address;
  options.model = 4;
  return options;
}

bool _has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

constexpr auto _announce = qftest::AnnounceModules;
constexpr auto _reply = qftest::EthernetReply;

UpdaterResult _run(Args args, const qftest::TempFolder& store) {
  args.insert(args.end(), {"-i", store.path()});
  return qftest::RunUpdater(args);
}

const char* const kNetworkHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       Device Name\n";

// A module that answers and one that went away after answering the query: the second row says
// that its probe failed instead of showing zeros as a version.
TEST(NetworkDiscovery, ListsEthernetModulesAndTheOnesWhoseProbeFailed) {
  QF_REQUIRE_PRIVATE_NETWORK();
  EntitySim named(_identity(0x11110002, 6));
  named.entities->define(kSystem, 0, kNameOption, SimOption::bytes({'b', 'e', 'n', 'c', 'h'}, true));
  ASSERT_TRUE(named.started);
  qftest::LoopbackListener gone;
  gone.close();
  auto responder = _announce({_reply(named), qfsim::simEthernetReply(4, gone.port(), 0x11110003, 4)});

  qftest::TempFolder store;
  for (const char* transport : {"TCPIP", "TCP"}) {
    SCOPED_TRACE(transport);
    const UpdaterResult result = _run({"-D", "-t", transport}, store);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(_has(result.out, std::string("Searching for Quillfern devices\nDiscovered Devices: (TCPIP)\n") +
                                     kNetworkHeader +
                                     "    11110002  06       00      QF-Core        2.12.5 (       100)        "
                                     "[127.0.0.1]        bench\n"
                                     "    11110003  [Error ("))
        << result.out;
    EXPECT_TRUE(_has(result.out, "): Is someone else connected to this device?]\n")) << result.out;
  }
}

TEST(NetworkDiscovery, ListsTheModulesBehindARouter) {
  QF_REQUIRE_PRIVATE_NETWORK();
  EntitySim router(_identity(0x22220001, 2));
  router.entities->define(kSystem, 0, kRouteToMeOption, SimOption::u8(0, true));
  router.entities->updateBus(0, [](qfsim::SimI2CBus& bus) { bus.devices[0x40 >> 1] = {}; });
  auto behind = std::make_shared<qfsim::SimRoutedModule>();
  behind->state.address = 0x40;
  behind->state.serialNumber = 0x33330001;
  behind->state.model = 4;
  auto routedEntities = std::make_shared<qfsim::SimEntities>();
  qfsim::SimEntities::attach(routedEntities, behind->protocol);
  routedEntities->define(kSystem, 0, kRouterOption, SimOption::u8(2, true));
  router.module.addRoutedModule(behind);
  ASSERT_TRUE(router.started);
  auto responder = _announce({_reply(router)});

  struct Case {
    Args args;
    const char* heading;
  };
  qftest::TempFolder store;
  for (const Case& c :
       {Case{{"-D", "-r", "22220001"}, "Unknown"}, Case{{"-D", "-r", "22220001", "-t", "TCPIP"}, "TCPIP"}}) {
    SCOPED_TRACE(c.heading);
    const UpdaterResult result = _run(c.args, store);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(_has(result.out, std::string("Searching for Quillfern Network devices connected to 22220001\n"
                                             "Discovered Devices: (") +
                                     c.heading + ")\n" + kNetworkHeader +
                                     "    33330001  40       02      QF-Core        2.12.5 (       100)        "
                                     "[127.0.0.1]        \n"))
        << result.out << result.err;
  }
  const UpdaterResult unknown = _run({"-D", "-r", "0BADBAD0", "-t", "TCPIP"}, store);
  EXPECT_EQ(unknown.status, 0);
  EXPECT_TRUE(_has(unknown.out, "Discovered Devices: (TCPIP)\n    No devices found.\n")) << unknown.out;
}

}  // namespace
