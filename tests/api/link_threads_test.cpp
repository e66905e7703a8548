// Link and Module connection roads against the simulated module over TCP on loopback: refusals
// by settings and link type, what a connected link refuses, raw packets, the address query,
// shared device links, and modules reached through another module's link.
#include <gtest/gtest.h>

#include <chrono>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/Link.h"
#include "api/Module.h"
#include "api/SystemClass.h"
#include "common/internal/aLinkRegistry.h"
#include "support/sim_module_fixture.h"

using namespace Tarnwick::Quillfern;
using qfsim::SimTransport;
using qftest::DirectControl;
using qftest::EntitySim;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr uint8_t kAddress = 0x04;
constexpr uint32_t kSerial = 0x0BADF00D;

class LinkTest : public qftest::SimModuleFixture<> {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(StartSim(qftest::SimModuleWith(kAddress, 0, kSerial)));
    spec = sim->spec(SimTransport::tcp);
  }

  // A Link under direct control holding the specifier.
  static std::unique_ptr<Link> Direct(const linkSpec& target) { return qftest::DirectLink(target, "test"); }

  bool Registered() const { return sLookupEntryByIdentifier(kSerial, TCPIP) != nullptr; }

  linkSpec spec{};
};

TEST_F(LinkTest, ConnectIsRefusedBySettingsAndLinkType) {
  linkSpec network = spec;
  network.type = ORVANE;
  linkSpec unknown = spec;
  unknown.type = static_cast<linkType>(9);
  const struct {
    const char* what;
    std::unique_ptr<Link> link;
    aErr expected;
  } cases[] = {
      {"no specifier", std::make_unique<Link>("none"), aErrConfiguration},
      {"a networked type with networking off", Direct(network), aErrConfiguration},
      {"an unknown link type", Direct(unknown), aErrMode},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.link->connect(), c.expected) << c.what;
    EXPECT_FALSE(c.link->isConnected()) << c.what;
    EXPECT_EQ(c.link->getStatus(), UNKNOWN_ERROR) << c.what;
    EXPECT_FALSE(Registered()) << c.what;
  }
}

TEST_F(LinkTest, AConnectedLinkRefusesChanges) {
  auto link = Direct(spec);
  ASSERT_EQ(link->connect(), aErrNone);
  EXPECT_EQ(link->getStatus(), RUNNING);
  EXPECT_EQ(link->connect(), aErrConnection);
  OrvaneConfig changed;
  changed.enabled = 1;
  EXPECT_EQ(link->setConfig(changed), aErrMode);
  OrvaneConfig now;
  ASSERT_EQ(link->getConfig(&now), aErrNone);
  EXPECT_EQ(now.enabled, 0) << "the settings stay as they were";
  linkSpec other = spec;
  other.port = 1;
  EXPECT_EQ(link->setLinkSpecifier(other), aErrBusy);
  linkSpec held{};
  ASSERT_EQ(link->getLinkSpecifier(&held), aErrNone);
  EXPECT_EQ(held.port, spec.port);

  EXPECT_EQ(link->disconnect(), aErrNone);
  EXPECT_FALSE(Registered());
  EXPECT_EQ(link->connect(), aErrNone) << "connects again after a disconnect";
}

TEST_F(LinkTest, RawPacketsKeepTheirLimits) {
  auto link = Direct(spec);
  ASSERT_EQ(link->connect(), aErrNone);
  const Bytes data(28, 0x5A);
  EXPECT_EQ(link->sendPacket(kAddress, 0x17, 27, data.data()), aErrNone);
  uint8_t reply[28] = {};
  uint8_t length = 0;  // the first inbound packet, whatever it is
  ASSERT_EQ(link->receivePacket(kAddress, nullptr, &length, reply), aErrNone);
  EXPECT_EQ(length, 28) << "27 data bytes after the command";
  EXPECT_EQ(link->sendPacket(kAddress, 0x17, 28, data.data()), aErrParam);
  EXPECT_EQ(link->sendPacket(0x00, 0x17, 1, data.data()), aErrPacket);
  EXPECT_EQ(link->sendPacket(0x03, 0x17, 1, data.data()), aErrPacket);

  // Match bytes past a packet's data count as 0: [17] matches 17 00.
  ASSERT_EQ(link->sendPacket(kAddress, 0x17, 0, nullptr), aErrNone);
  const uint8_t match[2] = {0x17, 0x00};
  length = 2;
  ASSERT_EQ(link->receivePacket(kAddress, match, &length, reply), aErrNone);
  EXPECT_EQ(length, 1);
  length = 29;
  EXPECT_EQ(link->receivePacket(kAddress, data.data(), &length, reply), aErrParam);
}

TEST_F(LinkTest, TheAddressQueryIsAnsweredOrEndsAfterASecond) {
  Link never("never");
  uint8_t address = 0xFF;
  EXPECT_EQ(never.getModuleAddress(&address), aErrNotReady);
  EXPECT_EQ(address, 0);
  EXPECT_EQ(never.disconnect(), aErrNone);
  EXPECT_EQ(never.reset(), aErrNone);

  auto link = Direct(spec);
  ASSERT_EQ(link->connect(), aErrNone);
  ASSERT_EQ(link->getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, kAddress);
  qfsim::SimFaults silent;
  silent.silent = true;
  sim->module.setFaults(silent);
  const auto start = Clock::now();
  EXPECT_EQ(link->getModuleAddress(&address), aErrNotReady);
  EXPECT_EQ(address, 0);
  EXPECT_GE(qftest::MillisecondsSince(start), milliseconds(900));
  EXPECT_LT(qftest::MillisecondsSince(start), milliseconds(2500));
}

TEST_F(LinkTest, LinksJoinedThroughOneAnotherShareOneDeviceLink) {
  auto first = Direct(spec);
  ASSERT_EQ(first->connect(), aErrNone);
  auto second = Direct(spec);
  ASSERT_EQ(second->connectThroughLinkModule(*first), aErrNone);
  EXPECT_EQ(sim->module.record().connections, 1u);
  first.reset();
  EXPECT_TRUE(second->isConnected()) << "the other use keeps the device link";
  uint8_t address = 0;
  EXPECT_EQ(second->getModuleAddress(&address), aErrNone);
  second.reset();
  EXPECT_FALSE(Registered());
}

TEST_F(LinkTest, AFailedJoinTakesNoUseOfTheOtherLink) {
  auto first = Direct(spec);
  Link unconnected("unconnected");
  EXPECT_EQ(first->connectThroughLinkModule(unconnected), aErrInitialization);
  ASSERT_EQ(first->connect(), aErrNone);
  {
    Link nothingStored("no specifier");
    EXPECT_EQ(nothingStored.connectThroughLinkModule(*first), aErrConfiguration);
    linkSpec network = spec;
    network.type = ORVANE;
    auto networked = Direct(network);
    EXPECT_EQ(networked->connectThroughLinkModule(*first), aErrConfiguration);
  }
  EXPECT_TRUE(first->isConnected()) << "the failed joins gave up a use they never took";

  // A link that holds a device link of its own keeps it.
  EntitySim otherModule;
  auto own = Direct(otherModule.spec(SimTransport::tcp));
  ASSERT_EQ(own->connect(), aErrNone);
  EXPECT_EQ(own->connectThroughLinkModule(*first), aErrConnection);
  own.reset();
  EXPECT_EQ(sLookupEntryByIdentifier(otherModule.module.serialNumber(), TCPIP), nullptr)
      << "its own link was not leaked";
  EXPECT_TRUE(first->isConnected());
}

TEST_F(LinkTest, AModuleBehindARouterUsesTheRoutersLink) {
  Module router(0x02, 0);
  ASSERT_EQ(qftest::ConnectDirectly(router, spec), aErrNone);
  EXPECT_EQ(router.getModuleAddress(), kAddress);
  EXPECT_EQ(router.connectFromSpec(spec), aErrBusy);

  Module behind(0x0A, 0);
  Module unconnected(0x0C, 0);
  EXPECT_EQ(behind.connectThroughLinkModule(&unconnected), aErrNotFound) << "no specifier to share";
  ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
  EXPECT_TRUE(behind.isConnected());
  EXPECT_EQ(behind.getModuleAddress(), 0x0A) << "the address behind the router stays";
  EXPECT_EQ(behind.connectThroughLinkModule(&router), aErrNone) << "already connected";
  EXPECT_EQ(sim->module.record().connections, 1u);

  SystemClass system;
  system.init(&behind, 0);
  uint8_t led = 0;
  EXPECT_EQ(system.getLED(&led), aErrTimeout) << "nobody answers at 0x0A";
  const auto packets = sim->module.record().packets;
  ASSERT_FALSE(packets.empty());
  EXPECT_EQ(packets.back(), (qfsim::SimPacket{0x0A, {0x03, 0x44, 0x20}}));

  router.disconnect();
  EXPECT_TRUE(behind.isConnected());
  EXPECT_EQ(router.reconnect(), aErrNone);
  EXPECT_EQ(behind.disconnect(), aErrNone);
  EXPECT_TRUE(router.isConnected());
}

// Modules on several threads: their creations are serialised into one device link, and each
// thread's requests take their own replies.
TEST_F(LinkTest, ModulesOnSeveralThreadsShareTheDeviceLinkAndTakeTheirOwnReplies) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 25;
  for (int i = 0; i < kThreads; ++i)
    sim->entities->define(0x03, 0, static_cast<uint8_t>(50 + i), qfsim::SimOption::u32(0x1111u * (i + 1)));
  std::latch connected(kThreads);
  std::latch done(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      Module module(kAddress, false, 0);
      EXPECT_EQ(qftest::ConnectDirectly(module, spec), aErrNone);
      connected.arrive_and_wait();
      SystemClass system;
      system.init(&module, 0);
      for (int round = 0; round < kRounds; ++round) {
        uint32_t value = 0;
        EXPECT_EQ(system.getUEI32(static_cast<uint8_t>(50 + i), &value), aErrNone);
        EXPECT_EQ(value, 0x1111u * (i + 1)) << "thread " << i << " round " << round;
      }
      done.arrive_and_wait();  // nobody gives up its use before all are through
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(sim->module.record().connections, 1u);
  EXPECT_FALSE(Registered());
}

TEST_F(LinkTest, AModuleThatNeverAnswersTheAddressQueryStaysConnected) {
  qfsim::SimFaults silent;
  silent.silent = true;
  sim->module.setFaults(silent);
  Module module(0x02, 0);
  ASSERT_EQ(module.setConfig(DirectControl()), aErrNone);
  const auto start = Clock::now();
  EXPECT_EQ(module.connectFromSpec(spec), aErrNotReady);
  EXPECT_GE(qftest::MillisecondsSince(start), milliseconds(3900)) << "four tries of a second each";
  EXPECT_LT(qftest::MillisecondsSince(start), milliseconds(6000));
  EXPECT_TRUE(module.isConnected());
  EXPECT_EQ(module.getModuleAddress(), 0x02);
  EXPECT_EQ(module.connect(USB, 0), aErrParam);
}

TEST_F(LinkTest, AResetReportsWhetherTheLinkCameBack) {
  auto link = Direct(spec);
  ASSERT_EQ(link->connect(), aErrNone);
  EXPECT_EQ(link->reset(), aErrNone);
  EXPECT_TRUE(sim->module.waitUntil([](const qfsim::SimRecord& r) { return r.connections == 2; }, milliseconds(2000)));
  sim->module.stop();  // nothing listens on the port any more
  EXPECT_NE(link->reset(), aErrNone) << "a link that could not be made again is not reported as reset";
}

}  // namespace
