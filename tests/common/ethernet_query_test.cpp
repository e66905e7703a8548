// The Ethernet-module query against simulated modules, in a private network namespace: the
// query goes out on every interface but loopback, which must never be a real network.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "common/discover.h"
#include "sim/module/simEthernetDiscovery.h"
#include "support/discovery_finds.h"
#include "support/private_network.h"
#include "support/program_process.h"

using qfsim::SimEthernetDiscovery;
using qfsim::SimEthernetDiscoveryOptions;
using qfsim::simEthernetReply;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using Finds = qftest::DiscoveryFinds;

namespace {

uint32_t _ip(const char* dotted) {
  in_addr address{};
  inet_pton(AF_INET, dotted, &address);
  return address.s_addr;
}

// A module on the host's private interface; the test fails when it cannot start.
struct Module {
  explicit Module(SimEthernetDiscoveryOptions options) : responder(std::move(options)) {
    std::string error;
    started = responder.start(&error);
    EXPECT_TRUE(started) << error;
  }
  SimEthernetDiscovery responder;
  bool started = false;
};

SimEthernetDiscoveryOptions _answering(std::vector<Bytes> replies, const char* from = "") {
  SimEthernetDiscoveryOptions options;
  options.interfaceAddress = qftest::kPrivateHostAddress;
  options.replyFrom = from;
  options.replies = std::move(replies);
  return options;
}

const uint32_t kHost = _ip(qftest::kPrivateHostAddress);

}  // namespace

TEST(EthernetQuery, ReportsEachReplyWithTheSenderAsAddress) {
  QF_REQUIRE_PRIVATE_NETWORK_WITH("ip addr add 10.7.0.5/24 dev v0");
  const Bytes reply = {0x00, 0x04, 0x50, 0x1F, 0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x00, 0x00, 0x0D, 0x00, 0x00, 0x00};
  Module module(_answering({reply}, "10.7.0.5"));
  ASSERT_TRUE(module.started);

  Finds finds;
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, Finds::collect, &finds, kHost), 1);
  ASSERT_EQ(finds.specs.size(), 1u);
  // The field mapping itself is the parser's (see discover_test); here: the reply's way in.
  const linkSpec& found = finds.specs[0];
  EXPECT_EQ(found.type, TCPIP);
  EXPECT_EQ(found.serialNumber, 0x12345678u);
  EXPECT_EQ(found.port, 8016u);
  EXPECT_EQ(found.ipAddress, _ip("10.7.0.5")) << "the address is the reply's sender";
  EXPECT_EQ(module.responder.requests(), 1u);
}

TEST(EthernetQuery, ShortAndOversizedRepliesAreIgnoredAndLeaveNothingBehind) {
  QF_REQUIRE_PRIVATE_NETWORK();
  const Bytes full = simEthernetReply(6, 5000, 0xAAAA0001, 13);
  const Bytes fragment(5, 0x77);
  Bytes noModel = simEthernetReply(8, 6000, 0xBBBB0002, 99);
  noModel.resize(10);
  const Bytes oversized(20, 0x66);
  Module module(_answering({full, fragment, noModel, oversized}));
  ASSERT_TRUE(module.started);

  Finds finds;
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, Finds::collect, &finds, kHost), 2);
  ASSERT_EQ(finds.specs.size(), 2u);
  EXPECT_EQ(finds.specs[0].serialNumber, 0xAAAA0001u);
  EXPECT_EQ(finds.specs[0].model, 13u);
  EXPECT_EQ(finds.specs[1].serialNumber, 0xBBBB0002u);
  EXPECT_EQ(finds.specs[1].module, 8u);
  EXPECT_EQ(finds.specs[1].port, 6000u);
  EXPECT_EQ(finds.specs[1].model, 0xFFu) << "a reply without its model byte has model 0xFF";
}

TEST(EthernetQuery, WithoutAnInterfaceAsksThroughEveryAddressButLoopback) {
  QF_REQUIRE_PRIVATE_NETWORK();
  Module network(_answering({simEthernetReply(2, 5000, 0x1111, 4)}));
  SimEthernetDiscoveryOptions onLoopback = _answering({simEthernetReply(2, 5000, 0x2222, 4)});
  onLoopback.interfaceAddress = "127.0.0.1";
  Module loopback(std::move(onLoopback));
  ASSERT_TRUE(network.started && loopback.started);

  for (uint32_t networkInterface : {0u, _ip("127.0.0.1")}) {
    Finds finds;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, Finds::collect, &finds, networkInterface), 1);
    ASSERT_EQ(finds.specs.size(), 1u);
    EXPECT_EQ(finds.specs[0].serialNumber, 0x1111u);
  }
  EXPECT_EQ(network.responder.requests(), 2u);
  EXPECT_EQ(loopback.responder.requests(), 0u) << "the query must skip the loopback interface";
}

TEST(EthernetQuery, ACallbackThatSaysStopEndsTheQueryAtOnce) {
  QF_REQUIRE_PRIVATE_NETWORK();
  Module module(_answering({simEthernetReply(2, 5000, 0x1111, 4), simEthernetReply(4, 5001, 0x2222, 4)}));
  ASSERT_TRUE(module.started);
  Finds finds;
  finds.stopAfter = 1;
  const auto start = Clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, Finds::collect, &finds, kHost), 1);
  EXPECT_EQ(finds.specs.size(), 1u);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
}

TEST(EthernetQuery, EndsTwoSecondsAfterTheLastUsefulReplyWhateverElseArrives) {
  QF_REQUIRE_PRIVATE_NETWORK();
  SimEthernetDiscoveryOptions babbling = _answering({Bytes(3, 0x01), simEthernetReply(2, 5000, 0x1111, 4)});
  babbling.repeatEveryMs = 200;
  babbling.repeatTimes = 30;  // six seconds of junk
  Module module(std::move(babbling));
  ASSERT_TRUE(module.started);
  Finds finds;
  const auto start = Clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, Finds::collect, &finds, kHost), 1);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(1900));
  EXPECT_LT(took, std::chrono::milliseconds(3000));
}

TEST(EthernetQuery, TheCountHoldsAt255) {
  QF_REQUIRE_PRIVATE_NETWORK();
  SimEthernetDiscoveryOptions chatty = _answering({simEthernetReply(2, 5000, 0x1111, 4)});
  chatty.repeatEveryMs = 1;
  chatty.repeatTimes = 299;  // 300 replies, paced so that none is lost
  Module module(std::move(chatty));
  ASSERT_TRUE(module.started);
  Finds finds;
  EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, Finds::collect, &finds, kHost), 255);
  EXPECT_GT(finds.specs.size(), 255u) << "duplicate replies are all reported";
}

TEST(EthernetQuery, FindModuleTakesTheModuleWithTheSerialNumber) {
  QF_REQUIRE_PRIVATE_NETWORK();
  Module module(_answering({simEthernetReply(2, 5000, 0x1111, 4), simEthernetReply(6, 5002, 0x3333, 21)}));
  ASSERT_TRUE(module.started);
  linkSpec* found = aDiscovery_FindModule(TCPIP, 0x3333, kHost);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->module, 6u);
  EXPECT_EQ(found->port, 5002u);
  EXPECT_EQ(found->model, 21u);
  aLinkSpec_Destroy(&found);
  EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x9999, kHost), nullptr);
}

TEST(EthernetQuery, FindsTheSimulatedModuleProgramAtItsTcpPort) {
  QF_REQUIRE_PRIVATE_NETWORK();
  qftest::ProgramProcess module(
      QF_BINARY_DIR "/sim/simmodule",
      {"--serial", "5EED0001", "--model", "21", "--address", "6", "--ethernet-discovery", qftest::kPrivateHostAddress});
  ASSERT_TRUE(module.started());
  const std::optional<std::string> where = module.readLine(std::chrono::seconds(5));
  ASSERT_TRUE(where.has_value()) << module.errorOutput(std::chrono::seconds(1));
  linkSpec* found = aDiscovery_FindModule(TCPIP, 0x5EED0001, 0);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(std::to_string(found->port), qftest::wordValue(*where, "port"));
  EXPECT_EQ(found->module, 6u);
  EXPECT_EQ(found->model, 21u);
  EXPECT_EQ(found->ipAddress, kHost);
  aLinkSpec_Destroy(&found);
  module.signal(SIGTERM);
  EXPECT_EQ(module.waitExit(std::chrono::seconds(2)), 0);
}

TEST(InterfaceList, HoldsTheBroadcastInterfacesWithoutLoopback) {
  QF_REQUIRE_PRIVATE_NETWORK();
  uint32_t addresses[50] = {};
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(addresses, 50), 1u);
  EXPECT_EQ(addresses[0], kHost);
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(addresses, 0), 0u);
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 50), 0u);
}
