// Served device links and client links end to end over real ZeroMQ: a TCP/IP device link to the
// simulated module, a link sharing server in front of it, and client links that reach the
// module through the server.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "common/aLink.h"
#include "common/discover.h"
#include "common/internal/aLinkRegistry.h"
#include "server/aServer_ZeroMQ.h"
#include "sim/module/simModule.h"
#include "support/private_network.h"
#include "support/served_module.h"
#include "support/sim_module_start.h"
#include "support/test_packets.h"

// The tests hold fixed ports: the loopback discovery slots of link sharing servers.
QF_RUN_PROGRAM_IN_PRIVATE_NETWORK()

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using qfsim::SimRecord;

constexpr uint8_t kAddress = 0x06;
constexpr uint8_t kModel = 0x2C;
constexpr uint32_t kSerial = 0x5EA7C0DE;
constexpr uint8_t kEcho = 0x10;             // answered with the request's own data
constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order
constexpr uint64_t kReplyMs = 3000;

class ServedLink : public testing::Test {
 protected:
  void SetUp() override {
    aServer_RegisterWithLinkCore();
    module = std::make_unique<qfsim::SimModule>(qftest::SimModuleWith(kAddress, kModel, kSerial));
    module->setHandler(kEcho, qftest::EchoHandler());
    std::string why;
    ASSERT_TRUE(module->start(&why)) << why;
  }
  void TearDown() override {
    for (aLinkID& id : held)
      if (sLookupEntryByID(id)) aLink_Destroy(&id);
    module->stop();
  }

  aLinkID Keep(aLinkID id) {
    held.push_back(id);
    return id;
  }
  aLinkID DeviceLink() { return aLink_CreateTCPIP(kSerial, kLoopback, module->port()); }
  bool DeviceRegistered() const { return sLookupEntryByIdentifier(kSerial, TCPIP) != nullptr; }
  bool ModuleRoutedOff() const {
    return module->waitUntil([](const SimRecord& r) { return !r.routes.empty() && r.routes.back() == 0; }, 3s);
  }

  // The echo of a tag asked over the link, and nothing else within a short while.
  static void ExpectOwnEcho(aLinkID link, uint8_t tag) {
    const OwnedPacket request = MakePacket(kAddress, {kEcho, tag});
    ASSERT_EQ(aLink_PutPacket(link, request.get()), aErrNone);
    const OwnedPacket reply(aLink_AwaitPacket(link, kReplyMs));
    ASSERT_TRUE(reply) << "no reply for tag " << int(tag);
    EXPECT_EQ(reply->address, kAddress);
    EXPECT_EQ(PacketData(reply.get()), (Bytes{kEcho, tag}));
    EXPECT_FALSE(OwnedPacket(aLink_AwaitPacket(link, 200))) << "another client's reply came too";
  }

  std::unique_ptr<qfsim::SimModule> module;
  std::vector<aLinkID> held;
};

TEST_F(ServedLink, ClientsShareTheModuleAndTheOwnersLastUseEndsEverything) {
  const aLinkID device = DeviceLink();
  ASSERT_NE(device, 0u);
  uint16_t port = 0;
  uint32_t served = 0;
  const aLinkID owner = Keep(aLink_CreateServer(device, &port, &served, 1));
  ASSERT_NE(owner, 0u);
  EXPECT_NE(port, 0u);
  EXPECT_EQ(served, kLoopback);
  EXPECT_EQ(aLink_GetStatus(owner), RUNNING);
  EXPECT_EQ(aLink_CreateTCPIP(kSerial, kLoopback, module->port()), 0u) << "a served device is refused";

  aLinkID other = Keep(aLink_CreateClient(served, port, 0));
  ASSERT_NE(other, 0u);
  EXPECT_NE(other, owner);
  EXPECT_EQ(aLink_CreateClient(served, port, other), other) << "a reference takes one more use";
  EXPECT_EQ(aLink_CreateClient(served, port, 0xFFFFFF21), 0u);
  for (uint8_t round = 0; round < 3; ++round) {
    ExpectOwnEcho(owner, static_cast<uint8_t>(0x40 + round));
    ExpectOwnEcho(other, static_cast<uint8_t>(0x80 + round));
  }

  // The device link behind the server still answers the module's heartbeats.
  module->sendHeartbeat(qfsim::HeartbeatKind::up);
  EXPECT_TRUE(module->waitUntil(
      [](const SimRecord& r) { return !r.heartbeatAnswers.empty() && r.heartbeatAnswers.back().ok; }, 3s));

  // Another client's uses end without touching the device link.
  ASSERT_EQ(aLink_Destroy(&other), aErrNone);
  aLinkID last = held[1];
  ASSERT_EQ(aLink_Destroy(&last), aErrNone);
  EXPECT_EQ(sLookupEntryByID(held[1]), nullptr);
  ExpectOwnEcho(owner, 0x4F);
  EXPECT_TRUE(DeviceRegistered());

  // The owner's last use: the device link stops (its route-off reaches the module) and its
  // server goes with it, so the device can be opened directly again.
  module->clearRecord();
  aLinkID ownerId = owner;
  ASSERT_EQ(aLink_Destroy(&ownerId), aErrNone);
  EXPECT_TRUE(ModuleRoutedOff());
  EXPECT_FALSE(DeviceRegistered());
  EXPECT_NE(Keep(DeviceLink()), 0u);
}

// A client link's reader does not wait out a read of its server stream: a stop is seen within
// one short wait (the bound leaves room for sanitizer builds on a loaded machine).
TEST_F(ServedLink, AClientLinkStopsPromptly) {
  const aLinkID device = DeviceLink();
  ASSERT_NE(device, 0u);
  uint16_t port = 0;
  uint32_t served = 0;
  ASSERT_NE(Keep(aLink_CreateServer(device, &port, &served, 1)), 0u);
  const aLinkID client = Keep(aLink_CreateClient(served, port, 0));
  ASSERT_NE(client, 0u);
  ExpectOwnEcho(client, 0x21);
  const auto start = Clock::now();
  EXPECT_EQ(aLink_Stop(aLink_Lookup(client)), aErrNone);
  EXPECT_LT(Clock::now() - start, 400ms);
}

TEST_F(ServedLink, AResetClientLinkReachesTheSameServerAgain) {
  const aLinkID device = DeviceLink();
  uint16_t port = 0;
  uint32_t served = 0;
  const aLinkID owner = Keep(aLink_CreateServer(device, &port, &served, 1));
  ASSERT_NE(owner, 0u);
  const uint32_t connections = module->record().connections;
  ASSERT_EQ(aLink_Reset(owner), aErrNone);
  EXPECT_EQ(aLink_GetStatus(owner), RUNNING);
  ExpectOwnEcho(owner, 0x55);
  EXPECT_EQ(module->record().connections, connections) << "the device link was not touched";
}

TEST_F(ServedLink, ServingIsRefusedWithoutEverythingItNeeds) {
  const aLinkID device = Keep(DeviceLink());
  ASSERT_NE(device, 0u);
  uint16_t port = 0;
  uint32_t networkInterface = 0;
  const struct {
    const char* what;
    aLinkID link;
    uint16_t* port;
    uint32_t* networkInterface;
  } cases[] = {
      {"no device link", 0, &port, &networkInterface},
      {"no port", device, nullptr, &networkInterface},
      {"no interface", device, &port, nullptr},
      {"an id that names no link", 0xFFFFFF31, &port, &networkInterface},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(aLink_CreateServer(c.link, c.port, c.networkInterface, 1), 0u) << c.what;
    EXPECT_EQ(sLookupEntryByID(device)->server, nullptr) << c.what;
  }
  // The core alone has no link sharing side until the server lends it one.
  aLink_SetServedProcs(nullptr);
  EXPECT_EQ(aLink_CreateServer(device, &port, &networkInterface, 1), 0u) << "no server registered";
  EXPECT_EQ(sLookupEntryByID(device)->server, nullptr);
  EXPECT_EQ(aLink_CreateClient(htonl(INADDR_LOOPBACK), 1, 0), 0u) << "no client stream registered";
  aServer_RegisterWithLinkCore();
  // A client link is no device link to serve.
  const aLinkID owner = Keep(aLink_CreateServer(device, &port, &networkInterface, 1));
  ASSERT_NE(owner, 0u);
  uint16_t secondPort = 0;
  uint32_t secondInterface = 0;
  EXPECT_EQ(aLink_CreateServer(owner, &secondPort, &secondInterface, 1), 0u);
  EXPECT_EQ(sLookupEntryByID(owner)->server, nullptr);
  EXPECT_EQ(aLink_CreateServer(device, &secondPort, &secondInterface, 1), 0u) << "served twice";
  held.erase(held.begin());  // the owner's link holds the device link's use now
}

TEST_F(ServedLink, AModuleThatNeverAnswersLeavesNothingBehind) {
  qfsim::SimFaults silent;
  silent.silent = true;
  module->setFaults(silent);
  const aLinkID device = DeviceLink();
  ASSERT_NE(device, 0u);
  uint16_t port = 0;
  uint32_t served = 0;
  const auto start = Clock::now();
  EXPECT_EQ(aLink_CreateServer(device, &port, &served, 1), 0u);
  EXPECT_GE(Clock::now() - start, 5s) << "five tries of a one-second query";
  EXPECT_LT(Clock::now() - start, 20s);
  EXPECT_EQ(sLookupEntryByID(device), nullptr);
  EXPECT_FALSE(DeviceRegistered());
  EXPECT_EQ(sLookupEntryByIdentifier(kLoopback, ORVANE), nullptr) << "the client link is gone";
}

}  // namespace
