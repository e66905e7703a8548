// Modules found by USB discovery on a fake bus (the real libusb over umockdev) and connected
// under direct control: by serial number, by model, and the search that finds nothing.
#include <gtest/gtest.h>

#include <memory>

#include "api/Module.h"
#include "api/SystemClass.h"
#include "platform/Quillfern-C.h"
#include "sim/module/simEntities.h"
#include "support/entity_sim.h"
#include "support/private_network.h"
#include "support/served_module.h"
#include "support/usb_sim_module.h"

using namespace Tarnwick::Quillfern;
using qftest::DirectControl;

// The fallback search asks the loopback discovery slots, which are fixed ports, and the server
// search the loopback group.
QF_RUN_PROGRAM_IN_PRIVATE_NETWORK()

namespace {

constexpr uint32_t kFirstSerial = 0xAAAA0001;
constexpr uint8_t kFirstModel = 0x0D;
constexpr uint32_t kSecondSerial = 0xBBBB0002;
constexpr uint8_t kSecondModel = 0x15;

class UsbModuleTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!qftest::UsbFake::available()) GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0";
    fake = std::make_unique<qftest::UsbFake>();
    for (auto [serial, model] : {std::pair{kFirstSerial, kFirstModel}, std::pair{kSecondSerial, kSecondModel}}) {
      qftest::UsbSimModuleOptions options;
      options.address = 0x04;
      options.model = model;
      options.serialNumber = serial;
      auto module = std::make_unique<qftest::UsbSimModule>(*fake, options);
      qfsim::SimEntities::attach(std::make_shared<qfsim::SimEntities>(), *module);
      modules.push_back(std::move(module));
    }
  }
  // Released in the order the fake bus needs: links, libusb context, modules, bus.
  void TearDown() override {
    for (auto& module : hosts) module.reset();
    Quillfern_libusb_exit();
    modules.clear();
    fake.reset();
  }

  Module& Host(uint8_t model) {
    hosts.push_back(std::make_unique<Module>(0x02, model));
    EXPECT_EQ(hosts.back()->setConfig(DirectControl()), aErrNone);
    return *hosts.back();
  }

  uint32_t SerialNumber(Module& module) {
    SystemClass system;
    system.init(&module, 0);
    uint32_t serial = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone);
    return serial;
  }

  std::unique_ptr<qftest::UsbFake> fake;
  std::vector<std::unique_ptr<qftest::UsbSimModule>> modules;
  std::vector<std::unique_ptr<Module>> hosts;
};

TEST_F(UsbModuleTest, DiscoveryPicksTheModuleBySerialNumberOrModel) {
  Module& bySerial = Host(0);
  ASSERT_EQ(bySerial.connect(USB, kSecondSerial), aErrNone);
  EXPECT_EQ(bySerial.getModuleAddress(), 0x04);
  EXPECT_EQ(SerialNumber(bySerial), kSecondSerial);
  bySerial.disconnect();

  Module& byModel = Host(kSecondModel);
  ASSERT_EQ(byModel.discoverAndConnect(USB, 0), aErrNone);
  EXPECT_EQ(SerialNumber(byModel), kSecondSerial) << "the module of the wanted model, not the first";
  linkSpec spec{};
  ASSERT_EQ(byModel.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.type, USB);
  EXPECT_EQ(spec.model, kSecondModel);
  byModel.disconnect();  // the fake bus cannot answer an enumeration while a link reads

  Module& anyModel = Host(0);
  ASSERT_EQ(anyModel.discoverAndConnect(USB, 0), aErrNone);
  EXPECT_NE(SerialNumber(anyModel), 0u);
}

TEST_F(UsbModuleTest, AModuleNotOnTheBusIsNotFound) {
  EXPECT_EQ(Host(0).connect(USB, 0x99999999), aErrNotFound);
  EXPECT_EQ(Host(0x7F).discoverAndConnect(USB, 0), aErrNotFound) << "no module of that model";
  // With fallback on, the search goes on among link sharing servers, of which there are none.
  Module& falling = Host(0);
  OrvaneConfig config = DirectControl();
  config.fallback = 1;
  ASSERT_EQ(falling.setConfig(config), aErrNone);
  EXPECT_EQ(falling.connect(USB, 0x99999999), aErrNotFound);
}

TEST_F(UsbModuleTest, AModuleNotOnTheBusIsReachedThroughALinkSharingServer) {
  QF_REQUIRE_PRIVATE_NETWORK();  // the server search asks on the loopback group
  constexpr uint32_t kServedSerial = 0xCCCC0003;
  const qfsim::SimModuleOptions options = qftest::SimModuleWith(0x06, 0, kServedSerial);
  qftest::ServerOptions serverOptions;
  serverOptions.model = kFirstModel;  // a server answers searches once it knows its module's model
  qftest::ServedModule served(options, serverOptions);
  qfsim::SimEntities::attach(std::make_shared<qfsim::SimEntities>(), served.module());
  std::string why;
  ASSERT_TRUE(served.start(&why)) << why;

  OrvaneConfig config;  // networking on: the networked link types need it
  config.fallback = 0;
  Module& strict = Host(0);
  ASSERT_EQ(strict.setConfig(config), aErrNone);
  EXPECT_EQ(strict.connect(USB, kServedSerial), aErrNotFound) << "without the fallback only USB is searched";

  config.fallback = 1;
  Module& falling = Host(0);
  ASSERT_EQ(falling.setConfig(config), aErrNone);
  ASSERT_EQ(falling.connect(USB, kServedSerial), aErrNone);
  EXPECT_EQ(SerialNumber(falling), kServedSerial);
  linkSpec spec{};
  ASSERT_EQ(falling.getLinkSpecifier(&spec), aErrNone);
  EXPECT_TRUE(isORVANE(static_cast<linkType>(spec.type))) << spec.type;
  EXPECT_EQ(spec.port, served.port());
}

}  // namespace
