// USB enumeration through the real libusb against fake devices on a umockdev testbed.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/discover.h"
#include "platform/Quillfern-C.h"
#include "support/discovery_finds.h"
#include "support/usb_fake.h"

using qftest::UsbFake;
using qftest::UsbFakeDeviceSpec;
using Finds = qftest::DiscoveryFinds;

namespace {

UsbFakeDeviceSpec _device(const std::string& serial, uint16_t productId = 0x0015, uint16_t vendorId = QFUSB_VENDOR_ID) {
  UsbFakeDeviceSpec spec;
  spec.serial = serial;
  spec.productId = productId;
  spec.vendorId = vendorId;
  return spec;
}

std::vector<uint32_t> _serialNumbers(const Finds& finds) {
  std::vector<uint32_t> numbers;
  for (const linkSpec& spec : finds.specs) numbers.push_back(spec.serialNumber);
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

int _failingInit(libusb_context**) { return LIBUSB_ERROR_OTHER; }

class UsbDiscovery : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UsbFake::available()) GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0";
    fake = std::make_unique<UsbFake>();
  }
  void TearDown() override {
    Quillfern_libusb_set_init_proc(nullptr);
    Quillfern_libusb_exit();
    fake.reset();
  }
  std::unique_ptr<UsbFake> fake;
};

}  // namespace

TEST_F(UsbDiscovery, ReportsModulesWhoseSerialStringIsEightHexDigits) {
  const UsbFakeDeviceSpec devices[] = {
      _device("12345678", 0x0015),
      _device("abcdef01", 0x011B),
      _device("87654321", 0x8001),          // not a module's product id
      _device("11111111", 0x0015, 0x1234),  // another maker
      _device("1234567"),
      _device("123456789"),
      _device("GHIJKLMN"),
      _device("1234 678"),
      _device("+1234567"),
      _device("0x123456"),
      _device(std::string(40, '1')),
      _device(""),  // no serial-number string
  };
  for (const UsbFakeDeviceSpec& device : devices) fake->addDevice(device);

  Finds finds;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, Finds::collect, &finds, 0), 2);
  ASSERT_EQ(_serialNumbers(finds), (std::vector<uint32_t>{0x12345678, 0xABCDEF01}));
  for (const linkSpec& found : finds.specs) {
    EXPECT_EQ(found.type, USB);
    EXPECT_EQ(found.model, found.serialNumber == 0x12345678 ? 0x15u : 0x1Bu);
    EXPECT_EQ(found.ipAddress, found.serialNumber);
    EXPECT_EQ(found.module, 0u);
    EXPECT_EQ(found.router, 0u);
    EXPECT_EQ(found.port, 0u);
  }
}

TEST_F(UsbDiscovery, StopsWhenTheCallbackSaysSoAndFindsBySerialNumber) {
  fake->addDevice(_device("0000000A"));
  fake->addDevice(_device("0000000B"));
  Finds finds;
  finds.stopAfter = 1;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, Finds::collect, &finds, 0x0100007F), 1);
  EXPECT_EQ(finds.specs.size(), 1u);

  for (uint32_t serialNumber : {0x0Au, 0x0Bu}) {
    linkSpec* found = aDiscovery_FindModule(USB, serialNumber, 0);
    ASSERT_NE(found, nullptr) << serialNumber;
    EXPECT_EQ(found->serialNumber, serialNumber);
    EXPECT_EQ(found->model, 0x15u);
    aLinkSpec_Destroy(&found);
  }
  EXPECT_EQ(aDiscovery_FindModule(USB, 0x0C, 0), nullptr);
  linkSpec* first = aDiscovery_FindFirstModule(USB, 0);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->serialNumber == 0x0A || first->serialNumber == 0x0B);
  aLinkSpec_Destroy(&first);
}

TEST_F(UsbDiscovery, WithoutALibusbContextFindsNothing) {
  fake->addDevice(_device("12345678"));
  Quillfern_libusb_exit();
  Quillfern_libusb_set_init_proc(_failingInit);
  Finds finds;
  EXPECT_EQ(aDiscovery_EnumerateModules(USB, Finds::collect, &finds, 0), 0);
  EXPECT_TRUE(finds.specs.empty());
}
