// The link sharing server's discovery answers: the library's own search finds local-only
// servers over the loopback multicast group, and network servers by beacons. Every test runs in
// a private network namespace of its own: beacons are broadcasts, which must not reach a real
// network, and the loopback slots of the host are shared with every other program on it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <czmq.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/aMulticast.h"
#include "common/discover.h"
#include "server/aServer_ZeroMQ.h"
#include "support/discovery_finds.h"
#include "support/private_network.h"
#include "support/served_module.h"
#include "support/zmq_wire_client.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using Finds = qftest::DiscoveryFinds;
using qftest::ServedModule;
using qftest::ServerOptions;

constexpr uint8_t kAddress = 0x08;
constexpr uint8_t kModel = 0x0D;
constexpr uint32_t kSerial = 0x00C0FFEE;

uint32_t Ip(const char* dotted) {
  in_addr address{};
  inet_pton(AF_INET, dotted, &address);
  return address.s_addr;
}

const uint32_t kLoopback = Ip("127.0.0.1");
const uint32_t kHost = Ip(qftest::kPrivateHostAddress);

qfsim::SimModuleOptions Module() { return qftest::SimModuleWith(kAddress, 0, kSerial); }

std::unique_ptr<ServedModule> Serve(ServerOptions options) {
  auto served = std::make_unique<ServedModule>(Module(), options);
  std::string why;
  EXPECT_TRUE(served->start(&why)) << why;
  return served;
}

void ExpectAdvertises(const linkSpec& found, const ServedModule& served, uint32_t ip) {
  EXPECT_EQ(found.type, ORVANE_TCPIP);
  EXPECT_EQ(found.serialNumber, kSerial);
  EXPECT_EQ(found.module, kAddress);
  EXPECT_EQ(found.router, 0u);
  EXPECT_EQ(found.routerSerialNumber, 0u);
  EXPECT_EQ(found.model, kModel);
  EXPECT_EQ(found.ipAddress, ip);
  EXPECT_EQ(found.port, served.port());
  const auto* bytes = reinterpret_cast<const uint8_t*>(&found);
  EXPECT_EQ(std::count(bytes + 32, bytes + sizeof found, 0), 96) << "bytes 32 to 127 are zero";
}

// What a search finds of the servers made here.
std::vector<linkSpec> Search(uint32_t networkInterface) {
  Finds finds;
  aDiscovery_Enumerate_OrvaneModules(Finds::collect, &finds, networkInterface);
  std::vector<linkSpec> ours;
  for (const linkSpec& found : finds.specs)
    if (found.serialNumber == kSerial) ours.push_back(found);
  return ours;
}

// The loopback slots some server holds: their request port cannot be bound.
std::vector<uint16_t> TakenSlots() {
  std::vector<uint16_t> taken;
  const uint32_t group = Ip(aDISCOVERY_LOOPBACK_GROUP);
  for (uint16_t k = 0; k < aDISCOVERY_LOOPBACK_SLOTS; ++k) {
    aMulticast* probe = aMulticast_Create(kLoopback, group, aDISCOVERY_LOOPBACK_REQUEST_PORT + k, 0);
    if (!probe) taken.push_back(k);
    aMulticast_Destroy(&probe);
  }
  return taken;
}

// The slot the server that `serve` starts takes: taken afterwards, free before.
template <typename Serve>
std::pair<std::unique_ptr<ServedModule>, uint16_t> ServeInSlot(Serve serve) {
  const std::vector<uint16_t> before = TakenSlots();
  std::unique_ptr<ServedModule> served = serve();
  for (uint16_t k : TakenSlots())
    if (std::find(before.begin(), before.end(), k) == before.end()) return {std::move(served), k};
  ADD_FAILURE() << "the server holds no loopback slot";
  return {std::move(served), 0};
}

// Asks loopback slot k with the datagram; the answer (up to 129 bytes) or nothing within 1 s.
std::optional<Bytes> AskSlot(uint16_t k, const Bytes& request) {
  const uint32_t group = Ip(aDISCOVERY_LOOPBACK_GROUP);
  aMulticast* receiver = aMulticast_Create(kLoopback, group, aDISCOVERY_LOOPBACK_REPLY_PORT + k, 0);
  aMulticast* sender = aMulticast_Create(kLoopback, group, aDISCOVERY_LOOPBACK_REQUEST_PORT + k, 1);
  std::optional<Bytes> answer;
  if (receiver && sender && aMulticast_Send(sender, request.data(), request.size()) == int(request.size())) {
    Bytes buffer(sizeof(linkSpec) + 1);
    const int length = aMulticast_Receive(receiver, buffer.data(), buffer.size());
    if (length >= 0) answer = Bytes(buffer.begin(), buffer.begin() + length);
  }
  aMulticast_Destroy(&sender);
  aMulticast_Destroy(&receiver);
  return answer;
}

const Bytes kRequest = {0xBA, 0xDC, 0xCD, 0xAB};

}  // namespace

TEST(LoopbackResponder, AnswersEveryRequestAtOnceAndTheSearchFindsItsRecord) {
  QF_REQUIRE_PRIVATE_NETWORK();
  auto [served, slot] = ServeInSlot([] { return Serve(ServerOptions{1, 0, kModel}); });
  for (int request = 0; request < 4; ++request) {
    SCOPED_TRACE(request);
    const auto start = Clock::now();
    EXPECT_TRUE(AskSlot(slot, kRequest).has_value());
    EXPECT_LT(Clock::now() - start, 300ms) << "the answer must not wait for the responder's other waits";
  }
  const std::vector<linkSpec> found = Search(0);
  ASSERT_EQ(found.size(), 1u);
  ExpectAdvertises(found[0], *served, kLoopback);
}

TEST(LoopbackResponder, AnswersOnlyTheRequestAndOnlyOnceTheModelIsKnown) {
  QF_REQUIRE_PRIVATE_NETWORK();
  auto [served, slot] = ServeInSlot([] { return Serve(ServerOptions{1, 0, 0}); });
  EXPECT_FALSE(AskSlot(slot, kRequest).has_value()) << "no answer before the model is set";
  ASSERT_EQ(aServer_SetModel(served->server(), kModel), aErrNone);
  struct Case {
    const char* name;
    Bytes request;
    bool answered;
  };
  const std::vector<Case> cases = {
      {"the request", kRequest, true},
      {"three bytes of it", {0xBA, 0xDC, 0xCD}, false},
      {"another value", {0xAB, 0xCD, 0xDC, 0xBA}, false},
      {"the request and more", {0xBA, 0xDC, 0xCD, 0xAB, 0x00, 0x01}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<Bytes> answer = AskSlot(slot, c.request);
    ASSERT_EQ(answer.has_value(), c.answered);
    if (!answer) continue;
    linkSpec found;
    ASSERT_TRUE(aDiscovery_ParseLinkSpec(answer->data(), answer->size(), &found)) << "128 bytes";
    ExpectAdvertises(found, *served, kLoopback);
  }
}

TEST(LoopbackResponder, ServersStartedInTurnHoldSlotsInTurn) {
  QF_REQUIRE_PRIVATE_NETWORK();
  auto [first, firstSlot] = ServeInSlot([] { return Serve(ServerOptions{1, 0, kModel}); });
  auto [second, secondSlot] = ServeInSlot([] { return Serve(ServerOptions{1, 0, kModel}); });
  EXPECT_GT(secondSlot, firstSlot);
  const std::optional<Bytes> answer = AskSlot(secondSlot, kRequest);
  ASSERT_TRUE(answer.has_value());
  linkSpec found;
  ASSERT_TRUE(aDiscovery_ParseLinkSpec(answer->data(), answer->size(), &found));
  EXPECT_EQ(found.port, second->port()) << "each server answers on its own slot's reply port";
  const std::vector<linkSpec> finds = Search(kLoopback);
  ASSERT_EQ(finds.size(), 2u);
  EXPECT_EQ(finds[0].port, first->port());
  EXPECT_EQ(finds[1].port, second->port());
}

TEST(LoopbackResponder, AdvertisesTheTypeOfTheServedLink) {
  QF_REQUIRE_PRIVATE_NETWORK();
  struct Case {
    linkType served;
    linkType advertised;
  };
  for (const Case& c : {Case{USB, ORVANE_USB}, Case{SERIAL, ORVANE_SERIAL}}) {
    SCOPED_TRACE(c.served);
    ServerOptions options{1, 0, kModel};
    options.registeredAs = c.served;
    auto served = Serve(options);
    const std::vector<linkSpec> found = Search(0);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].type, c.advertised);
  }
}

TEST(BeaconResponder, ANetworkServerServesAndAdvertisesTheHostsFirstInterface) {
  QF_REQUIRE_PRIVATE_NETWORK();
  for (uint32_t asked : {0u, kLoopback}) {
    SCOPED_TRACE(asked);
    auto served = Serve(ServerOptions{0, asked, 0});
    uint32_t served_on = 0;
    ASSERT_EQ(aServer_GetInterface(served->server(), &served_on), aErrNone);
    EXPECT_EQ(served_on, kHost);
    EXPECT_TRUE(Search(kHost).empty()) << "no answer before the model is set";
    ASSERT_EQ(aServer_SetModel(served->server(), kModel), aErrNone);
    const std::vector<linkSpec> found = Search(kHost);
    ASSERT_EQ(found.size(), 1u);
    ExpectAdvertises(found[0], *served, kHost);

    served->module().setHandler(0x10, qftest::EchoHandler());
    qftest::WireClient client(served->port(), qftest::kPrivateHostAddress);
    ASSERT_TRUE(client.send(kAddress, {0x10, 0x99}));
    EXPECT_EQ(client.receive(3000), (Bytes{kAddress, 2, 0x10, 0x99}));
  }
}

TEST(BeaconResponder, AnswersABeaconThatBeginsWithTheServiceNameForTwoToThreeSeconds) {
  QF_REQUIRE_PRIVATE_NETWORK();
  auto served = Serve(ServerOptions{0, 0, kModel});
  zsys_set_interface(qftest::kPrivateHostAddress);
  zactor_t* searcher = zactor_new(zbeacon, nullptr);
  ASSERT_NE(searcher, nullptr);
  zsock_send(searcher, "si", "CONFIGURE", 8585);
  char* host = zstr_recv(searcher);
  ASSERT_TRUE(host && *host);
  zstr_free(&host);
  zsock_send(searcher, "sb", "SUBSCRIBE", "", size_t{0});
  zsock_set_rcvtimeo(searcher, 100);

  // Records heard until `until`; the times at which they came, counted from `from`.
  const auto listen = [&](Clock::time_point from, Clock::time_point until) {
    std::vector<std::chrono::milliseconds> heard;
    while (Clock::now() < until) {
      char* sender = zstr_recv(searcher);
      if (!sender) continue;
      zframe_t* content = zframe_recv(searcher);
      linkSpec found;
      if (content && aDiscovery_ParseLinkSpec(zframe_data(content), zframe_size(content), &found)) {
        heard.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - from));
        EXPECT_EQ(found.port, served->port());
      }
      zframe_destroy(&content);
      zstr_free(&sender);
    }
    return heard;
  };

  const std::string longer = std::string(DISCOVERY_BEACON_FILTER) + "12345";  // 25 bytes
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    const auto start = Clock::now();
    zsock_send(searcher, "sbi", "PUBLISH", longer.data(), longer.size(), 100);
    std::vector<std::chrono::milliseconds> heard = listen(start, start + 400ms);
    zstr_sendx(searcher, "SILENCE", nullptr);
    const std::vector<std::chrono::milliseconds> later = listen(start, start + 4500ms);
    heard.insert(heard.end(), later.begin(), later.end());
    ASSERT_FALSE(heard.empty());
    EXPECT_LT(heard.front(), 500ms);
    EXPECT_GE(heard.back(), 1800ms) << "the answer lasts about two seconds after the beacon stopped";
    EXPECT_LT(heard.back(), 3300ms) << "and then ends";
  }
  zactor_destroy(&searcher);
}

TEST(BeaconResponder, AnInterfaceTheHostLacksFailsTheStart) {
  QF_REQUIRE_PRIVATE_NETWORK();
  ServedModule served(Module(), ServerOptions{0, Ip("10.9.9.9"), kModel});
  aErr result = aErrNone;
  EXPECT_FALSE(served.start(nullptr, &result));
  EXPECT_EQ(result, aErrResource);
}
