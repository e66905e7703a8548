// Streams through a link sharing server: the simulated module on TCP is served by the server a
// Module with the default network settings makes, and two more Links, each a client of that
// server of its own, subscribe at once. The module's heartbeats flush the server's batches.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <memory>

#include "api/Link.h"
#include "api/Module.h"
#include "support/private_network.h"
#include "support/stream_sim.h"

using namespace Tarnwick::Quillfern;
using qfsim::SimTransport;
using qftest::CallbackLog;

// The tests hold fixed ports: the loopback discovery slots of link sharing servers.
QF_RUN_PROGRAM_IN_PRIVATE_NETWORK()

namespace {

constexpr uint8_t kAddress = 0x0C;
constexpr uint8_t kClass = 0x21;

// The simulated module streaming from sources 1 and 2, served through its owner's Module with
// the default settings; server() is the spec a client Link connects with.
class ServedStreamsTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.started);
    sim.addSource(kClass, 1, 0, 1, 0);
    sim.addSource(kClass, 2, 0, 2, 0);
    ASSERT_EQ(owner.connectFromSpec(sim.spec(SimTransport::tcp)), aErrNone);
    OrvaneConfig config;
    ASSERT_EQ(owner.getConfig(&config), aErrNone);
    ASSERT_NE(config.port, 0);
    spec.type = ORVANE;
    spec.ipAddress = htonl(INADDR_LOOPBACK);
    spec.port = config.port;
  }
  const linkSpec& server() const { return spec; }

  static qfsim::SimModuleOptions Options() {
    qfsim::SimModuleOptions options;
    options.address = kAddress;
    options.heartbeatIntervalMs = 20;
    return options;
  }
  qftest::StreamSim sim{Options()};
  Module owner{kAddress, false, 0};  // default settings: the device link is served
  linkSpec spec{};
};

TEST_F(ServedStreamsTest, TwoClientsOfOneServerEachGetTheirOwnStreams) {
  CallbackLog firstLog, secondLog;  // outlive the Links that call back into them
  Link first(server(), "first"), second(server(), "second");
  ASSERT_EQ(first.connect(), aErrNone);
  ASSERT_EQ(second.connect(), aErrNone);

  ASSERT_EQ(first.registerStreamCallback(kAddress, kClass, 1, 0, true, firstLog.callback(), nullptr), aErrNone);
  ASSERT_EQ(second.registerStreamCallback(kAddress, kClass, 2, 0, true, secondLog.callback(), nullptr), aErrNone);
  ASSERT_TRUE(firstLog.waitFor(5));
  ASSERT_TRUE(secondLog.waitFor(5));
  for (const auto& packet : firstLog.packets()) EXPECT_EQ(packet[1], 1);
  for (const auto& packet : secondLog.packets()) EXPECT_EQ(packet[1], 2);
  uint32_t value = 0;
  const aErr cached = second.getStreamValue(kAddress, kClass, 2, 0, 0, &value);
  EXPECT_TRUE(cached == aErrNone || cached == aErrStreamStale) << cached;
  EXPECT_EQ(first.getStreamValue(kAddress, kClass, 2, 0, 0, &value), aErrNotFound) << "not the first's subscription";

  ASSERT_EQ(second.registerStreamCallback(kAddress, kClass, 2, 0, false, {}, nullptr), aErrNone);
  const size_t before = firstLog.runs();
  EXPECT_TRUE(firstLog.waitFor(before + 5)) << "the other client's unsubscription leaves this one's stream";
}

// A client link's reset makes its stream to the server again: the server sees a new client and
// forgets the old one with its holds (the module's stream stops when nobody else holds it), and
// the new stream enables again what the old one held, so the stream keeps flowing to the Link.
TEST_F(ServedStreamsTest, AResetClientKeepsItsStreamsFlowing) {
  CallbackLog log;
  Link client(server(), "client");
  ASSERT_EQ(client.connect(), aErrNone);
  ASSERT_EQ(client.registerStreamCallback(kAddress, kClass, 1, 0, true, log.callback(), nullptr), aErrNone);
  ASSERT_TRUE(log.waitFor(5));

  for (int reset = 0; reset < 2; ++reset) {
    ASSERT_EQ(client.reset(), aErrNone);
    const size_t before = log.runs();
    EXPECT_TRUE(log.waitFor(before + 5)) << "reset " << reset + 1;
  }
  uint8_t address = 0;
  EXPECT_EQ(client.getModuleAddress(&address), aErrNone) << "the enables' acknowledgements are the stream's own";
  EXPECT_EQ(address, kAddress);
}

// A Link that goes and a new one made after it on the same thread, without a reset, is a client
// of its own: it holds none of the streams the one before held.
TEST_F(ServedStreamsTest, ANewClientLinkHoldsNoneOfTheStreamsOfTheOneBeforeIt) {
  {
    CallbackLog log;
    Link first(server(), "first");
    ASSERT_EQ(first.connect(), aErrNone);
    ASSERT_EQ(first.registerStreamCallback(kAddress, kClass, 1, 0, true, log.callback(), nullptr), aErrNone);
    ASSERT_TRUE(log.waitFor(5));
  }
  // Its server stops the stream nobody holds any more.
  ASSERT_TRUE(sim.module.waitUntil([&](const qfsim::SimRecord&) { return !sim.streams->record().stopped.empty(); },
                                   std::chrono::milliseconds(5000)));

  Link second(server(), "second");
  ASSERT_EQ(second.connect(), aErrNone);
  ASSERT_EQ(qftest::Settle(second), aErrNone);  // an enable sent before it has been taken by now
  EXPECT_EQ(sim.streams->record().started.size(), 1u) << "the new Link enabled the old one's stream again";
  EXPECT_TRUE(sim.streams->running().empty());
}

}  // namespace
