// Module discovery and listing against simulated Ethernet modules: each answers the discovery
// query and the entity requests over TCP on loopback. The query is multicast on the network
// interfaces, so every test runs in a private network namespace.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <memory>
#include <string>
#include <vector>

#include "common/aDefs.h"
#include "common/aVersion.h"
#include "sim/module/simEntities.h"
#include "sim/module/simEthernetDiscovery.h"
#include "support/entity_sim.h"
#include "support/ethernet_announce.h"
#include "support/loopback_tcp.h"
#include "support/private_network.h"
#include "support/recording_display.h"
#include "updater/Updater.h"

namespace {

using qfsim::SimOption;
using qftest::EntitySim;
using qftest::RecordingDisplay;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kSystem = 3;
constexpr uint8_t kVersionOption = 7;
constexpr uint8_t kRouterOption = 2;
constexpr uint8_t kRouteToMeOption = 20;
constexpr uint8_t kNameOption = 32;

Bytes _bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

constexpr auto _announce = qftest::AnnounceModules;
constexpr auto _reply = qftest::EthernetReply;

TEST(DiscoverDevices, ProbesEveryFindAndKeepsTheOnesThatFail) {
  QF_REQUIRE_PRIVATE_NETWORK();
  // Firmware 2.10.3 has no name to read.
  EntitySim old(qftest::SimIdentity(0x11110001, 2, 4));
  old.entities->define(kSystem, 0, kVersionOption, SimOption::u32(aVersion_Pack(2, 10, 3)));
  // Firmware 2.10.4 has; this one also gives a build reply one byte short.
  EntitySim named(qftest::SimIdentity(0x11110002, 6, 13));
  named.entities->define(kSystem, 0, kVersionOption, SimOption::u32(aVersion_Pack(2, 10, 4)));
  named.entities->define(kSystem, 0, kNameOption, SimOption::bytes(_bytes("bench-left"), true));
  named.entities->define(kSystem, 0, kRouterOption, SimOption::u8(8, true));
  named.module.setHandler(qfsim::kSimCommandInfo, [](qfsim::SimContext& context, const qfsim::SimPacket& packet) {
    context.reply(qfsim::SimPacket{packet.address, {0x49, 0xFF, 0, 0, 1}});
  });
  ASSERT_TRUE(old.started && named.started);
  qftest::LoopbackListener gone;  // a module that went away after answering the query
  gone.close();
  auto responder = _announce({_reply(old), _reply(named), qfsim::simEthernetReply(4, gone.port(), 0x11110003, 4)});

  RecordingDisplay display;
  Updater updater("http://127.0.0.1:1/cgi/u", "/nowhere", display);
  for (linkType type : {TCPIP, UNSPECIFIED}) {
    SCOPED_TRACE(type);
    const std::vector<DeviceInfo> list = updater.Discover_Devices(type);
    ASSERT_EQ(list.size(), 3u);

    EXPECT_EQ(list[0].spec.serialNumber, 0x11110001u);
    EXPECT_EQ(list[0].spec.type, TCPIP);
    EXPECT_EQ(list[0].error, aErrNone);
    EXPECT_EQ(list[0].build, 100u);
    EXPECT_EQ((std::vector<unsigned>{list[0].versionMajor, list[0].versionMinor, list[0].versionPatch}),
              (std::vector<unsigned>{2, 10, 3}));
    EXPECT_EQ(list[0].deviceName, "");
    EXPECT_EQ(list[0].modelName, aDefs_GetModelName(4));
    EXPECT_EQ(list[0].spec.module, 2u);

    EXPECT_EQ(list[1].error, aErrNone);
    EXPECT_EQ(list[1].build, 0u) << "a build reply of 5 bytes is not read";
    EXPECT_EQ(list[1].deviceName, "bench-left");
    EXPECT_EQ(list[1].versionPatch, 4u);
    EXPECT_EQ(list[1].spec.module, 6u);
    EXPECT_EQ(list[1].spec.router, 8u);
    EXPECT_EQ(list[1].modelName, aDefs_GetModelName(13));

    EXPECT_EQ(list[2].spec.serialNumber, 0x11110003u);
    EXPECT_NE(list[2].error, aErrNone) << "nothing listens there";
    EXPECT_EQ(list[2].build, 0u);
    EXPECT_EQ(list[2].versionMajor, 0u);
    EXPECT_EQ(list[2].modelName, aDefs_GetModelName(4));
  }
  EXPECT_TRUE(display.all().empty());
}

// A router module with a module behind it at bus address 0x40, a bus device at 0x30 that is no
// module, and a bus device at the router's own address that must not be probed.
class RoutedModules : public ::testing::Test {
 protected:
  void SetUp() override {
    router.entities->define(kSystem, 0, kRouteToMeOption, SimOption::u8(0, true));
    router.entities->updateBus(0, [](qfsim::SimI2CBus& bus) {
      bus.devices[0x40 >> 1] = {};
      bus.devices[0x30 >> 1] = {};
      bus.devices[0x02 >> 1] = {};
    });
    behind->state.address = 0x40;
    behind->state.serialNumber = 0x33330001;
    behind->state.model = 7;
    qfsim::SimEntities::attach(routedEntities, behind->protocol);
    routedEntities->define(kSystem, 0, kRouterOption, SimOption::u8(2, true));
    router.module.addRoutedModule(behind);
  }
  SimOption routeToMe() const { return *router.entities->option(kSystem, 0, kRouteToMeOption); }

  EntitySim router{qftest::SimIdentity(0x22220001, 2, 4)};
  std::shared_ptr<qfsim::SimRoutedModule> behind = std::make_shared<qfsim::SimRoutedModule>();
  std::shared_ptr<qfsim::SimEntities> routedEntities = std::make_shared<qfsim::SimEntities>();
  RecordingDisplay display;
  Updater updater{"http://127.0.0.1:1/cgi/u", "/nowhere", display};
};

TEST_F(RoutedModules, ListsTheModulesBehindTheRouterAndSwitchesRoutingOffAgain) {
  QF_REQUIRE_PRIVATE_NETWORK();
  ASSERT_TRUE(router.started);
  auto responder = _announce({_reply(router)});

  for (linkType type : {TCPIP, UNSPECIFIED}) {
    SCOPED_TRACE(type);
    const std::vector<DeviceInfo> list = updater.Discover_QFNetwork_Devices(0x22220001, type);
    ASSERT_EQ(list.size(), 1u);
    const DeviceInfo& found = list[0];
    EXPECT_EQ(found.networkAddress, 0x40);
    EXPECT_EQ(found.spec.type, TCPIP);
    EXPECT_EQ(found.spec.serialNumber, 0x33330001u);
    EXPECT_EQ(found.spec.routerSerialNumber, 0x22220001u);
    EXPECT_EQ(found.spec.module, 0x40u);
    EXPECT_EQ(found.spec.router, 2u);
    EXPECT_EQ(found.spec.model, 7u);
    EXPECT_EQ(found.modelName, aDefs_GetModelName(7));
    EXPECT_EQ(found.spec.ipAddress, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(found.spec.port, router.module.port());
    EXPECT_EQ(found.build, 100u);
    EXPECT_EQ(found.versionMajor, 2u);
    EXPECT_EQ(found.error, aErrNone);
    EXPECT_EQ(routeToMe().value, Bytes{0}) << "routing must be off again";
  }
  EXPECT_EQ(routeToMe().writes, 4u);
  const qfsim::SimI2CBus bus = router.entities->bus(0);
  EXPECT_EQ(bus.devices.at(0x40 >> 1).written, (Bytes{0, 0}));
  EXPECT_TRUE(bus.devices.at(0x02 >> 1).written.empty()) << "the router's own address is skipped";
  EXPECT_EQ(bus.lastSpeed, 3);
  EXPECT_TRUE(display.all().empty());
}

TEST_F(RoutedModules, UnknownRouterOrRefusedRoutingGivesAnEmptyList) {
  QF_REQUIRE_PRIVATE_NETWORK();
  ASSERT_TRUE(router.started);
  auto responder = _announce({_reply(router)});

  EXPECT_TRUE(updater.Discover_QFNetwork_Devices(0x0BADBAD0, TCPIP).empty());
  EXPECT_TRUE(display.all().empty()) << "a router nobody has is no error";

  router.entities->update(kSystem, 0, kRouteToMeOption, [](SimOption& option) { option.error = 21; });
  EXPECT_TRUE(updater.Discover_QFNetwork_Devices(0x22220001, TCPIP).empty());
  EXPECT_EQ(display.errors(), std::vector<std::string>{"Error 21 on route to me"});
  EXPECT_TRUE(router.entities->bus(0).devices.at(0x40 >> 1).written.empty()) << "no scan without routing";
}

}  // namespace
