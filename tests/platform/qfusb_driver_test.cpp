// The USB driver layer in libusb mode, through the real libusb against fake devices.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <numeric>
#include <string>
#include <vector>

#include "platform/Quillfern-C.h"
#include "platform/qfusb_driver.h"
#include "support/usb_fake.h"

using namespace qftest;

namespace {

constexpr UsbFakeStep kInFail{UsbFakeEndpoint::In, UsbFakeOutcome::Fail};
constexpr UsbFakeStep kOutFail{UsbFakeEndpoint::Out, UsbFakeOutcome::Fail};

std::vector<UsbFakeStep> _repeat(UsbFakeStep step, size_t times) { return std::vector<UsbFakeStep>(times, step); }

std::string _pattern(size_t length) {
  std::string text(length, '\0');
  for (size_t i = 0; i < length; ++i) text[i] = char('A' + i % 26);
  return text;
}

std::vector<size_t> _sizes(const std::vector<std::vector<uint8_t>>& transfers) {
  std::vector<size_t> sizes;
  for (const auto& t : transfers) sizes.push_back(t.size());
  return sizes;
}

int _failingInit(libusb_context**) { return LIBUSB_ERROR_OTHER; }

}  // namespace

class UsbDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UsbFake::available()) GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0";
    fake = std::make_unique<UsbFake>();
  }
  void TearDown() override {
    qfusb_destroy(&handle);
    Quillfern_libusb_set_init_proc(nullptr);
    Quillfern_libusb_exit();
    fake.reset();
  }

  // One module whose device model records what it receives; the handle is opened on it.
  void openModule(UsbFakeDeviceSpec spec = {}) {
    dev = fake->addDevice(spec);
    fake->setModel(dev, [this](size_t, std::span<const uint8_t> bytes) {
      std::lock_guard<std::mutex> hold(receivedLock);
      received.append(bytes.begin(), bytes.end());
    });
    handle = qfusb_create_usb(QFUSB_MODE_LIBUSB);
    ASSERT_EQ(qfusb_open_quillfern_device(handle, spec.serial.c_str()), aErrNone);
  }
  // For tables of cases: each case gets devices of its own.
  void startCase() {
    TearDown();
    received.clear();
    fake = std::make_unique<UsbFake>();
  }
  std::string receivedBytes() {
    std::lock_guard<std::mutex> hold(receivedLock);
    return received;
  }
  void queue(const std::string& bytes) {
    fake->queueIn(dev, std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  }
  aErr read(char* byte) { return qfusb_get_from_device(handle, byte); }

  std::unique_ptr<UsbFake> fake;
  qfusb_device* handle = nullptr;
  size_t dev = 0;
  std::mutex receivedLock;
  std::string received;
};

TEST_F(UsbDriver, OpensTheModuleWithTheSerialString) {
  UsbFakeDeviceSpec other{.serial = "0000ABCD"};
  UsbFakeDeviceSpec wanted{.serial = "12345678"};
  UsbFakeDeviceSpec otherVendor{.vendorId = 0x1234, .serial = "12345678"};
  UsbFakeDeviceSpec highProduct{.productId = 0x8001, .serial = "12345678"};
  UsbFakeDeviceSpec wrongInterface{.serial = "12345678", .interfaceSubclass = 0x00};
  UsbFakeDeviceSpec noSerial{.serial = ""};
  // Discovery does not list it: the string is not the eight digits before its NUL.
  UsbFakeDeviceSpec serialWithNul{.serial = std::string("12345678\0", 9)};
  UsbFakeDeviceSpec noPacketSize{.serial = "12345678", .outPacketSize = 0};
  struct Case {
    const char* name;
    std::vector<UsbFakeDeviceSpec> devices;
    int claimError;
    aErr result;
    int claimedIndex;  // -1: none
  } cases[] = {
      {"second of two modules", {other, wanted}, 0, aErrNone, 1},
      {"serial nobody has", {other}, 0, aErrNotFound, -1},
      {"no serial string", {noSerial}, 0, aErrNotFound, -1},
      {"serial string holding a NUL", {serialWithNul}, 0, aErrNotFound, -1},
      {"another vendor", {otherVendor}, 0, aErrNotFound, -1},
      {"product id of no module", {highProduct}, 0, aErrNotFound, -1},
      {"no module interface", {wrongInterface}, 0, aErrConfiguration, -1},
      {"endpoint without packet size", {noPacketSize}, 0, aErrConfiguration, -1},
      {"claimed elsewhere", {wanted}, EBUSY, aErrBusy, -1},
      {"vanished while claiming", {wanted}, ENODEV, aErrBusy, -1},
      {"claim refused", {wanted}, EINVAL, aErrUnknown, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startCase();
    for (const auto& spec : c.devices) fake->setClaimError(fake->addDevice(spec), c.claimError);
    handle = qfusb_create_usb(QFUSB_MODE_LIBUSB);
    EXPECT_EQ(qfusb_open_quillfern_device(handle, "12345678"), c.result);
    EXPECT_EQ(qfusb_get_state(handle), c.result == aErrNone       ? QFUSB_STATE_OPEN
                                       : c.result == aErrNotFound ? QFUSB_STATE_CREATED
                                                                  : QFUSB_STATE_CLOSED);
    for (size_t i = 0; i < c.devices.size(); ++i) EXPECT_EQ(fake->claimed(i), int(i) == c.claimedIndex);
  }
}

TEST_F(UsbDriver, WithoutALibusbContextNothingIsFound) {
  fake->addDevice({});
  Quillfern_libusb_set_init_proc(_failingInit);
  handle = qfusb_create_usb(QFUSB_MODE_LIBUSB);
  EXPECT_EQ(Quillfern_libusb_context(), nullptr);
  EXPECT_EQ(qfusb_open_quillfern_device(handle, "12345678"), aErrNotFound);
  EXPECT_EQ(fake->requests(0), 0u);  // not even libusb's default context opened it
}

TEST_F(UsbDriver, ReleasedContextIsMadeAfresh) {
  openModule();
  qfusb_destroy(&handle);
  EXPECT_FALSE(fake->claimed(dev));
  Quillfern_libusb_exit();
  handle = qfusb_create_usb(QFUSB_MODE_LIBUSB);
  EXPECT_EQ(qfusb_open_quillfern_device(handle, "12345678"), aErrNone);
}

// A context with a device handle open in it (a router module held over USB) is kept; once the
// last handle closed it is released.
TEST_F(UsbDriver, AContextInUseIsKeptUntilItsLastHandleCloses) {
  openModule();
  libusb_context* inUse = Quillfern_libusb_context();
  EXPECT_FALSE(Quillfern_libusb_exit_when_unused());
  EXPECT_EQ(Quillfern_libusb_context(), inUse);
  char byte = 0;
  EXPECT_EQ(read(&byte), aErrNotReady) << "the handle still works";
  EXPECT_EQ(qfusb_close_quillfern_device(handle), aErrNone);
  EXPECT_TRUE(Quillfern_libusb_exit_when_unused());
  EXPECT_TRUE(Quillfern_libusb_exit_when_unused()) << "nothing left to release";
}

TEST_F(UsbDriver, WritesGoInChunksOfThePacketSize) {
  struct Case {
    uint16_t packetSize;
    size_t length;
    std::vector<size_t> chunks;
  } cases[] = {
      {512, 1030, {511, 511, 8}},
      {64, 64, {64}},
      {64, 130, {64, 64, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    startCase();
    openModule({.inPacketSize = c.packetSize, .outPacketSize = c.packetSize});
    std::string data = _pattern(c.length);
    EXPECT_EQ(qfusb_write_to_device(handle, data.data(), data.size()), aErrNone);
    EXPECT_EQ(_sizes(fake->outTransfers(dev)), c.chunks);
    EXPECT_EQ(receivedBytes(), data);
  }
}

TEST_F(UsbDriver, WritesRideOutFailedTransfers) {
  constexpr UsbFakeStep stall{UsbFakeEndpoint::Out, UsbFakeOutcome::Stall};
  constexpr UsbFakeStep timeoutAfter20{UsbFakeEndpoint::Out, UsbFakeOutcome::Timeout, 20};
  constexpr UsbFakeStep tookNothing{UsbFakeEndpoint::Out, UsbFakeOutcome::Short, 0};
  struct Case {
    const char* name;
    std::vector<UsbFakeStep> script;
    aErr result;
    size_t delivered;
    std::vector<uint8_t> halts;
  } cases[] = {
      {"stall cleared", {stall}, aErrNone, 100, {0x01}},
      {"time-out part-way", {timeoutAfter20}, aErrNone, 100, {}},
      {"nine failures", _repeat(kOutFail, 9), aErrNone, 100, {}},
      {"ten failures", _repeat(kOutFail, 10), aErrWrite, 0, {}},
      {"empty completions", _repeat(tookNothing, 10), aErrWrite, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startCase();
    openModule();
    fake->setScript(dev, c.script);
    std::string data = _pattern(100);
    EXPECT_EQ(qfusb_write_to_device(handle, data.data(), data.size()), c.result);
    EXPECT_EQ(receivedBytes(), data.substr(0, c.delivered));
    EXPECT_EQ(fake->clearedHalts(dev), c.halts);
  }
}

TEST_F(UsbDriver, OneTransferFeedsManyReads) {
  openModule();
  std::string burst = _pattern(20);
  queue(burst);
  std::string got;
  for (size_t i = 0; i < burst.size(); ++i) {
    char byte = 0;
    ASSERT_EQ(read(&byte), aErrNone);
    got += byte;
  }
  EXPECT_EQ(got, burst);
  EXPECT_EQ(fake->inTransfers(dev), 1u);
}

TEST_F(UsbDriver, ReadsWithoutDataReportNoByte) {
  constexpr UsbFakeStep stall{UsbFakeEndpoint::In, UsbFakeOutcome::Stall};
  constexpr UsbFakeStep timeoutAfter3{UsbFakeEndpoint::In, UsbFakeOutcome::Timeout, 3};
  openModule();
  fake->setScript(dev, {stall, timeoutAfter3});
  char byte = 0;
  EXPECT_EQ(read(&byte), aErrNotReady);
  EXPECT_EQ(fake->clearedHalts(dev), std::vector<uint8_t>{0x81});
  // Bytes that came before a time-out are delivered.
  queue("xyz");
  EXPECT_EQ(qfusb_wait_for_input(handle, 50), aErrNone);
  std::string got;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(read(&byte), aErrNone);
    got += byte;
  }
  EXPECT_EQ(got, "xyz");
  // Bytes that arrive just as the transfer times out.
  fake->setScript(dev, {{UsbFakeEndpoint::In, UsbFakeOutcome::LateDone, 2}});
  queue("uv");
  EXPECT_EQ(qfusb_wait_for_input(handle, 30), aErrNone);
  EXPECT_EQ(read(&byte), aErrNone);
  EXPECT_EQ(byte, 'u');
  EXPECT_EQ(read(&byte), aErrNone);
  EXPECT_EQ(byte, 'v');
  // Nothing at all within the read's own short look: a get never holds its caller up for long.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read(&byte), aErrNotReady);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(QFUSB_GET_TIMEOUT_MS));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(QFUSB_READ_TIMEOUT_MS / 2));
  EXPECT_EQ(fake->inTransfers(dev), 4u);
}

TEST_F(UsbDriver, TheFifthErrorInARowFailsTheHandle) {
  openModule();
  fake->setScript(dev, _repeat(kInFail, 5));
  char byte = 'q';
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(read(&byte), aErrNotReady) << i;  // hidden, and no byte delivered
  }
  EXPECT_EQ(read(&byte), aErrIO);
  EXPECT_EQ(byte, 'q');
  EXPECT_EQ(qfusb_get_state(handle), QFUSB_STATE_FAILED);
  queue("late");
  EXPECT_EQ(read(&byte), aErrIO);
  EXPECT_EQ(qfusb_write_to_device(handle, "ab", 2), aErrIO);
  EXPECT_EQ(fake->inTransfers(dev), 5u);
  EXPECT_TRUE(fake->outTransfers(dev).empty());
}

TEST_F(UsbDriver, ReadsAndWritesShareTheErrorCount) {
  constexpr UsbFakeStep stuckStall{UsbFakeEndpoint::Out, UsbFakeOutcome::Stall, 0, true};
  openModule();
  // Three failed reads, a write whose stall cannot be cleared, then a fourth failed read.
  fake->setScript(dev, {kInFail, kInFail, kInFail, stuckStall, kInFail});
  char byte = 0;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(read(&byte), aErrNotReady);
  EXPECT_EQ(qfusb_write_to_device(handle, "ab", 2), aErrNone);
  EXPECT_EQ(receivedBytes(), "ab");
  EXPECT_EQ(read(&byte), aErrIO);
}

TEST_F(UsbDriver, OtherResultsResetTheErrorCount) {
  openModule();
  std::vector<UsbFakeStep> script = _repeat(kInFail, 4);
  for (int i = 0; i < 10; ++i) script.push_back(kOutFail);  // one write giving aErrWrite
  for (int i = 0; i < 4; ++i) script.push_back(kInFail);
  fake->setScript(dev, script);
  char byte = 0;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(read(&byte), aErrNotReady);
  EXPECT_EQ(qfusb_write_to_device(handle, "ab", 2), aErrWrite);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(read(&byte), aErrNotReady);
  queue("k");
  EXPECT_EQ(read(&byte), aErrNone);
  EXPECT_EQ(byte, 'k');
}

TEST_F(UsbDriver, UnpluggedMidTransfer) {
  openModule();
  fake->setScript(dev, {{UsbFakeEndpoint::In, UsbFakeOutcome::Unplug}});
  char byte = 0;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(read(&byte), aErrNotReady) << i;
  EXPECT_EQ(read(&byte), aErrIO);
  EXPECT_EQ(qfusb_write_to_device(handle, "ab", 2), aErrIO);
  EXPECT_EQ(qfusb_close_quillfern_device(handle), aErrNone);
}

TEST_F(UsbDriver, WaitingForInput) {
  openModule();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(qfusb_wait_for_input(handle, 30), aErrTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  queue("w");
  EXPECT_EQ(qfusb_wait_for_input(handle, 500), aErrNone);
  char byte = 0;
  EXPECT_EQ(read(&byte), aErrNone);
  EXPECT_EQ(byte, 'w');
  fake->setScript(dev, _repeat(kInFail, 5));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(qfusb_wait_for_input(handle, 30), aErrNone) << i;
  EXPECT_EQ(qfusb_wait_for_input(handle, 30), aErrIO);
}

TEST_F(UsbDriver, StatesOtherThanOpen) {
  fake->addDevice({});
  handle = qfusb_create_usb(QFUSB_MODE_LIBUSB);
  char byte = 0;
  EXPECT_EQ(qfusb_get_from_device(handle, &byte), aErrNotReady);
  EXPECT_EQ(qfusb_write_to_device(handle, "ab", 2), aErrNotReady);
  EXPECT_EQ(qfusb_close_quillfern_device(handle), aErrMode);
  ASSERT_EQ(qfusb_open_quillfern_device(handle, "12345678"), aErrNone);
  EXPECT_EQ(qfusb_open_quillfern_device(handle, "12345678"), aErrBusy);
  EXPECT_EQ(qfusb_close_quillfern_device(handle), aErrNone);
  EXPECT_FALSE(fake->claimed(0));
  EXPECT_EQ(qfusb_get_from_device(handle, &byte), aErrConnection);
  EXPECT_EQ(qfusb_write_to_device(handle, "ab", 2), aErrConnection);
}

TEST(UsbDriverModes, VariantsRefuseTheOtherMode) {
  using Call = std::function<aErr(qfusb_device*)>;
  char byte = 0;
  struct Case {
    int32_t mode;
    Call call;
  } cases[] = {
      {QFUSB_MODE_KERNEL, [](qfusb_device* h) { return qfusb_open_quillfern_USBlib_device(h, "1"); }},
      {QFUSB_MODE_KERNEL, [](qfusb_device* h) { return qfusb_write_to_USBlib_device(h, "ab", 2); }},
      {QFUSB_MODE_KERNEL, [&](qfusb_device* h) { return qfusb_get_from_USBlib_device(h, &byte); }},
      {QFUSB_MODE_KERNEL, [](qfusb_device* h) { return qfusb_close_quillfern_USBlib_device(h); }},
      {QFUSB_MODE_LIBUSB, [](qfusb_device* h) { return qfusb_open_quillfern_kernel_device(h, "1"); }},
      {QFUSB_MODE_LIBUSB, [](qfusb_device* h) { return qfusb_write_to_kernel_device(h, "ab", 2); }},
      {QFUSB_MODE_LIBUSB, [&](qfusb_device* h) { return qfusb_get_from_kernel_device(h, &byte); }},
      {QFUSB_MODE_LIBUSB, [](qfusb_device* h) { return qfusb_close_quillfern_kernel_device(h); }},
  };
  Quillfern_libusb_set_init_proc(_failingInit);  // no context is needed here
  for (const Case& c : cases) {
    qfusb_device* h = qfusb_create_usb(c.mode);
    EXPECT_EQ(c.call(h), aErrMode);
    EXPECT_EQ(qfusb_destroy(&h), aErrNone);
    EXPECT_EQ(h, nullptr);
  }
  Quillfern_libusb_set_init_proc(nullptr);
  qfusb_device* none = nullptr;
  EXPECT_EQ(qfusb_destroy(&none), aErrParam);
  EXPECT_EQ(qfusb_write_to_device(nullptr, "ab", 2), aErrParam);
}
