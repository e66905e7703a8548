// The link-server search on the loopback multicast group, against small servers that each hold
// one slot and answer with a record.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "common/discover.h"
#include "support/discovery_finds.h"
#include "support/loopback_slot_server.h"
#include "support/private_network.h"

// The servers here hold loopback discovery slots, which are fixed ports.
QF_RUN_PROGRAM_IN_PRIVATE_NETWORK()

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using qftest::LoopbackSlotServer;
using qftest::ServerRecord;
using Finds = qftest::DiscoveryFinds;

constexpr uint32_t kLoopbackNet = 0x0100007F;   // 127.0.0.1 in network byte order
constexpr uint32_t kOtherHostNet = 0x0302010A;  // 10.1.2.3

class LoopbackSearch : public ::testing::Test {
 protected:
  LoopbackSlotServer& serve(uint16_t slot, Bytes reply) {
    servers.push_back(std::make_unique<LoopbackSlotServer>(slot, std::move(reply)));
    EXPECT_TRUE(servers.back()->ready()) << "slot " << slot << " is taken on this host";
    return *servers.back();
  }
  std::vector<std::unique_ptr<LoopbackSlotServer>> servers;
};

}  // namespace

TEST_F(LoopbackSearch, FindsEachServerOnceInSlotOrderWithItsRecordIntact) {
  const Bytes tcpServer = ServerRecord(ORVANE_TCPIP, 0xA1A2A3A4, 6, 13, kLoopbackNet, 40001);
  Bytes serialServer(128, 'A');  // a port text without a terminator
  std::memcpy(serialServer.data(), ServerRecord(ORVANE_SERIAL, 0xB1B2B3B4, 2, 4, kLoopbackNet, 0).data(), 28);
  LoopbackSlotServer& tcp = serve(3, tcpServer);
  LoopbackSlotServer& serial = serve(0, serialServer);
  LoopbackSlotServer& twin = serve(5, tcpServer);  // the same server heard twice

  Finds finds;
  EXPECT_EQ(aDiscovery_EnumerateModules(ORVANE, Finds::collect, &finds, 0), 2);
  ASSERT_EQ(finds.specs.size(), 2u);
  EXPECT_EQ(finds.specs[0].type, ORVANE_SERIAL);
  EXPECT_EQ(finds.specs[0].serialNumber, 0xB1B2B3B4u);
  EXPECT_EQ(finds.specs[1].type, ORVANE_TCPIP);
  EXPECT_EQ(finds.specs[1].serialNumber, 0xA1A2A3A4u);
  EXPECT_EQ(finds.specs[1].module, 6u);
  EXPECT_EQ(finds.specs[1].model, 13u);
  EXPECT_EQ(finds.specs[1].ipAddress, kLoopbackNet);
  EXPECT_EQ(finds.specs[1].port, 40001u);
  EXPECT_LT(strnlen(finds.specs[0].serialPort, sizeof(linkSpec::serialPort)), sizeof(linkSpec::serialPort))
      << "the port text must be terminated";
  EXPECT_EQ(tcp.requests(), 1);
  EXPECT_EQ(serial.requests(), 1);
  EXPECT_EQ(twin.requests(), 1);
}

TEST_F(LoopbackSearch, IgnoresRemoteServersWrongSizesAndSilence) {
  Bytes longer = ServerRecord(ORVANE_USB, 0x33, 2, 4, kLoopbackNet, 40003);
  longer.push_back(0);
  serve(0, ServerRecord(ORVANE_USB, 0x11, 2, 4, kOtherHostNet, 40001));
  serve(1, Bytes(127, 0));
  serve(2, longer);
  serve(3, {});
  serve(4, ServerRecord(ORVANE_USB, 0x55, 2, 4, kLoopbackNet, 40005));

  Finds finds;
  const auto start = Clock::now();
  EXPECT_EQ(aDiscovery_Enumerate_OrvaneModules(Finds::collect, &finds, kLoopbackNet), 1);
  ASSERT_EQ(finds.specs.size(), 1u);
  EXPECT_EQ(finds.specs[0].serialNumber, 0x55u);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500)) << "only the silent slot waits";
}

TEST_F(LoopbackSearch, ACallbackThatSaysStopGetsOneCall) {
  serve(0, ServerRecord(ORVANE_USB, 0x11, 2, 4, kLoopbackNet, 40001));
  LoopbackSlotServer& later = serve(1, ServerRecord(ORVANE_USB, 0x22, 2, 4, kLoopbackNet, 40002));
  Finds finds;
  finds.stopAfter = 1;
  EXPECT_EQ(aDiscovery_EnumerateModules(ORVANE_USB, Finds::collect, &finds, 0), 1);
  EXPECT_EQ(finds.specs.size(), 1u);
  EXPECT_EQ(later.requests(), 0);
}

TEST_F(LoopbackSearch, FindModuleReturnsTheServedModuleOrNothing) {
  serve(7, ServerRecord(ORVANE_USB, 0x11, 2, 4, kLoopbackNet, 40001));
  serve(9, ServerRecord(ORVANE_TCPIP, 0x22, 8, 15, kLoopbackNet, 40002));

  linkSpec* found = aDiscovery_FindModule(ORVANE, 0x22, 0);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->type, ORVANE_TCPIP);
  EXPECT_EQ(found->module, 8u);
  EXPECT_EQ(found->port, 40002u);
  aLinkSpec_Destroy(&found);

  found = aDiscovery_FindFirstModule(ORVANE_SERIAL, kLoopbackNet);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->serialNumber, 0x11u);
  aLinkSpec_Destroy(&found);

  EXPECT_EQ(aDiscovery_FindModule(ORVANE, 0x99, 0), nullptr);
}

TEST_F(LoopbackSearch, WithoutServersEndsQuickly) {
  Finds finds;
  const auto start = Clock::now();
  EXPECT_EQ(aDiscovery_Enumerate_OrvaneModules(Finds::collect, &finds, 0), 0);
  EXPECT_TRUE(finds.specs.empty());
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}
