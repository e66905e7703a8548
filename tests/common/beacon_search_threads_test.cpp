// The link-server search by beacons, against link servers' beacon answers made here with the
// messaging library's beacon actor, in a private network namespace (beacons are broadcasts).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <czmq.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/discover.h"
#include "common/zBeaconInterface.h"
#include "support/discovery_finds.h"
#include "support/eventually.h"
#include "support/loopback_slot_server.h"
#include "support/private_network.h"

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using Finds = qftest::DiscoveryFinds;
using qftest::ServerRecord;

namespace {

uint32_t _ip(const char* dotted) {
  in_addr address{};
  inet_pton(AF_INET, dotted, &address);
  return address.s_addr;
}

const uint32_t kHost = _ip(qftest::kPrivateHostAddress);
const uint32_t kLoopback = _ip("127.0.0.1");
const std::string kService = "Quillfern2-Discovery";

// A link server's beacon side: on the first beacon that carries exactly the service name it
// starts publishing its record every 50 ms; with an empty record it only listens. Its actor
// lives on its own thread.
class BeaconServer {
 public:
  explicit BeaconServer(Bytes record) : _record(std::move(record)) {
    std::future<bool> ready = _configured.get_future();
    _thread = std::thread([this] { _run(); });
    _ready = ready.wait_for(std::chrono::seconds(5)) == std::future_status::ready && ready.get();
  }
  ~BeaconServer() {
    _stop = true;
    _thread.join();
  }
  bool ready() const { return _ready; }
  int servicesHeard() const { return _heard; }

 private:
  void _run() {
    // Configured on the first broadcast interface, under the lock as a server must.
    zBeaconInterface_setAndLock("");
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    char* host = nullptr;
    if (beacon) {
      zsock_send(beacon, "si", "CONFIGURE", 8585);
      host = zstr_recv(beacon);
    }
    zBeaconInterface_unlock();
    const bool ok = host && *host;
    zstr_free(&host);
    if (ok) {
      zsock_send(beacon, "sb", "SUBSCRIBE", kService.data(), kService.size());
      zsock_set_rcvtimeo(beacon, 50);
    }
    _configured.set_value(ok);
    while (ok && !_stop) {
      char* sender = zstr_recv(beacon);
      if (!sender) continue;
      zframe_t* content = zframe_recv(beacon);
      if (content && std::string(reinterpret_cast<char*>(zframe_data(content)), zframe_size(content)) == kService &&
          _heard++ == 0 && !_record.empty())
        zsock_send(beacon, "sbi", "PUBLISH", _record.data(), _record.size(), 50);
      zframe_destroy(&content);
      zstr_free(&sender);
    }
    if (beacon) zactor_destroy(&beacon);
  }

  Bytes _record;
  std::promise<bool> _configured;
  std::atomic<bool> _stop{false};
  std::atomic<int> _heard{0};
  bool _ready = false;
  std::thread _thread;
};

// Whether another thread can take the interface lock within the time.
bool _lockFreeWithin(std::chrono::milliseconds time) {
  auto taken = std::async(std::launch::async, [] {
    zBeaconInterface_getAndLock();
    zBeaconInterface_unlock();
  });
  return taken.wait_for(time) == std::future_status::ready;
}

}  // namespace

TEST(BeaconSearch, FindsEveryServerOnceAndRestoresTheInterface) {
  QF_REQUIRE_PRIVATE_NETWORK();
  Bytes serialRecord(128, 'A');  // a port text without a terminator
  std::memcpy(serialRecord.data(), ServerRecord(ORVANE_SERIAL, 0xB0B0, 4, 15, kHost, 0).data(), 28);
  BeaconServer usbServer(ServerRecord(ORVANE_USB, 0xA0A0, 2, 13, kHost, 40001));
  BeaconServer serialServer(serialRecord);
  ASSERT_TRUE(usbServer.ready() && serialServer.ready());
  zsys_set_interface("");

  Finds finds;
  const auto start = Clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(ORVANE, Finds::collect, &finds, kHost), 2);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(3000));
  ASSERT_EQ(finds.specs.size(), 2u) << "each server publishes many times but is reported once";
  const linkSpec& usb = finds.specs[0].type == ORVANE_USB ? finds.specs[0] : finds.specs[1];
  const linkSpec& serial = finds.specs[0].type == ORVANE_USB ? finds.specs[1] : finds.specs[0];
  EXPECT_EQ(usb.serialNumber, 0xA0A0u);
  EXPECT_EQ(usb.module, 2u);
  EXPECT_EQ(usb.model, 13u);
  EXPECT_EQ(usb.ipAddress, kHost);
  EXPECT_EQ(usb.port, 40001u);
  EXPECT_EQ(serial.type, ORVANE_SERIAL);
  EXPECT_LT(strnlen(serial.serialPort, sizeof serial.serialPort), sizeof serial.serialPort)
      << "the port text must be terminated";
  EXPECT_GT(usbServer.servicesHeard(), 0);
  EXPECT_STREQ(zBeaconInterface_get(), "");
  EXPECT_TRUE(_lockFreeWithin(std::chrono::seconds(1)));
}

TEST(BeaconSearch, LoopbackSearchSendsNoBeaconAndBeaconSearchAsksNoSlot) {
  QF_REQUIRE_PRIVATE_NETWORK();
  BeaconServer networkServer(ServerRecord(ORVANE_TCPIP, 0x1111, 2, 13, kHost, 40001));
  qftest::LoopbackSlotServer localServer(0, ServerRecord(ORVANE_TCPIP, 0x2222, 2, 13, kLoopback, 40002));
  ASSERT_TRUE(networkServer.ready() && localServer.ready());

  Finds local;
  EXPECT_EQ(aDiscovery_Enumerate_OrvaneModules(Finds::collect, &local, kLoopback), 1);
  ASSERT_EQ(local.specs.size(), 1u);
  EXPECT_EQ(local.specs[0].serialNumber, 0x2222u);
  EXPECT_FALSE(qftest::Eventually([&] { return networkServer.servicesHeard() > 0; }, std::chrono::milliseconds(300)))
      << "the loopback search sent a beacon";

  Finds network;
  EXPECT_EQ(aDiscovery_Enumerate_OrvaneModules(Finds::collect, &network, kHost), 1);
  ASSERT_EQ(network.specs.size(), 1u);
  EXPECT_EQ(network.specs[0].serialNumber, 0x1111u);
  EXPECT_EQ(localServer.requests(), 1) << "only the loopback search may ask the slots";
}

TEST(BeaconSearch, AHostWithoutNetworkInterfacesSearchesTheLoopbackSlots) {
  QF_REQUIRE_PRIVATE_NETWORK_WITH("ip addr flush dev v0");
  qftest::LoopbackSlotServer localServer(2, ServerRecord(ORVANE_USB, 0x3333, 2, 13, kLoopback, 40003));
  ASSERT_TRUE(localServer.ready());
  Finds finds;
  EXPECT_EQ(aDiscovery_Enumerate_OrvaneModules(Finds::collect, &finds, kHost), 1);
  ASSERT_EQ(finds.specs.size(), 1u);
  EXPECT_EQ(finds.specs[0].serialNumber, 0x3333u);
}

TEST(BeaconSearch, HoldsTheInterfaceLockUntilItHasEnded) {
  QF_REQUIRE_PRIVATE_NETWORK();
  zsys_set_interface("");
  BeaconServer listener(Bytes{});  // hears the search's beacon, which goes out under the lock
  ASSERT_TRUE(listener.ready());
  const auto start = Clock::now();
  std::thread search([] {
    Finds finds;
    aDiscovery_Enumerate_OrvaneModules(Finds::collect, &finds, kHost);
  });
  EXPECT_TRUE(qftest::Eventually([&] { return listener.servicesHeard() > 0; })) << "the search sent no beacon";
  // With nobody answering, the search makes all its 22 waits of 100 ms.
  EXPECT_STREQ(zBeaconInterface_getAndLock(), "") << "the setting is restored before the lock is released";
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(2000)) << "the lock was free while the search ran";
  zBeaconInterface_unlock();
  search.join();
}

TEST(BeaconSearch, AnInterfaceWithoutBroadcastFindsNothingAndRestoresTheSetting) {
  QF_REQUIRE_PRIVATE_NETWORK();
  zsys_set_interface("*");
  Finds finds;
  const auto start = Clock::now();
  EXPECT_EQ(aDiscovery_Enumerate_OrvaneModules(Finds::collect, &finds, _ip("10.9.9.9")), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_STREQ(zBeaconInterface_get(), "*");
  EXPECT_TRUE(_lockFreeWithin(std::chrono::seconds(1)));
}
