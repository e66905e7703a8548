// Discovery over both transports: a simulated module on a fake USB bus behind the real libusb
// and a simulated Ethernet module over TCP on loopback. The Ethernet query is multicast on the
// network interfaces, so the test runs in a private network namespace.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Quillfern-C.h"
#include "sim/module/simEntities.h"
#include "sim/module/simEthernetDiscovery.h"
#include "support/entity_sim.h"
#include "support/private_network.h"
#include "support/recording_display.h"
#include "support/usb_fake.h"
#include "support/usb_sim_module.h"
#include "updater/Updater.h"

namespace {

constexpr uint32_t kUsbSerial = 0xAAAA0001;
constexpr uint32_t kEthernetSerial = 0xBBBB0002;

std::vector<uint32_t> _serials(const std::vector<DeviceInfo>& list) {
  std::vector<uint32_t> serials;
  for (const DeviceInfo& info : list) serials.push_back(info.spec.serialNumber);
  return serials;
}

TEST(DiscoverDevicesOnBothTransports, ListsUsbModulesBeforeEthernetModules) {
  QF_REQUIRE_PRIVATE_NETWORK();
  if (!qftest::UsbFake::available()) GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0";
  auto fake = std::make_unique<qftest::UsbFake>();
  qftest::UsbSimModuleOptions usbOptions;
  usbOptions.serialNumber = kUsbSerial;
  auto usb = std::make_unique<qftest::UsbSimModule>(*fake, usbOptions);
  qfsim::SimEntities::attach(std::make_shared<qfsim::SimEntities>(), *usb);

  qfsim::SimModuleOptions tcpOptions;
  tcpOptions.serialNumber = kEthernetSerial;
  qftest::EntitySim ethernet(tcpOptions);
  ASSERT_TRUE(ethernet.started);
  qfsim::SimEthernetDiscoveryOptions announce;
  announce.interfaceAddress = qftest::kPrivateHostAddress;
  announce.replyFrom = "127.0.0.1";
  announce.replies = {qfsim::simEthernetReply(2, ethernet.module.port(), kEthernetSerial, 4)};
  qfsim::SimEthernetDiscovery responder(announce);
  std::string error;
  ASSERT_TRUE(responder.start(&error)) << error;

  qftest::RecordingDisplay display;
  Updater updater("http://127.0.0.1:1/cgi/u", "/nowhere", display);
  const std::vector<DeviceInfo> both = updater.Discover_Devices(UNSPECIFIED);
  EXPECT_EQ(_serials(both), (std::vector<uint32_t>{kUsbSerial, kEthernetSerial}));
  for (const DeviceInfo& info : both) {
    EXPECT_EQ(info.error, aErrNone) << std::hex << info.spec.serialNumber;
    EXPECT_EQ(info.build, 100u);
  }
  ASSERT_FALSE(both.empty());
  EXPECT_EQ(both[0].spec.type, USB);
  EXPECT_EQ(_serials(updater.Discover_Devices(USB)), std::vector<uint32_t>{kUsbSerial});
  EXPECT_TRUE(display.all().empty());

  // The order the fake bus needs: libusb context, module, bus.
  Quillfern_libusb_exit();
  usb.reset();
  fake.reset();
}

}  // namespace
