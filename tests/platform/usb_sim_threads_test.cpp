// The simulated module on a fake USB device, reached through the real USB byte stream and
// libusb: raw frames both ways, heartbeats from its own timer, and a module that leaves the bus.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/aStream.h"
#include "common/aTransports.h"
#include "platform/Quillfern-C.h"
#include "support/eventually.h"
#include "support/raw_peer.h"
#include "support/usb_sim_module.h"

using namespace qftest;
using namespace std::chrono_literals;
using qfsim::HeartbeatKind;
using qfsim::SimFaults;
using qfsim::SimRecord;

namespace {

constexpr auto _kReply = 5s;  // bounds every wait for what should come (sanitizers are slow)

class UsbSimModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UsbFake::available()) GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0";
  }
  void TearDown() override { release(); }

  // Ends what went before, in the order the fake needs: stream, libusb context, module, fake.
  void release() {
    if (stream) aStream_Destroy(&stream);
    Quillfern_libusb_exit();
    module.reset();
    fake.reset();
  }
  // A module of its own on a fresh bus, with a stream to it.
  void plugIn(UsbSimModuleOptions options) {
    release();
    fake = std::make_unique<UsbFake>();
    module = std::make_unique<UsbSimModule>(*fake, options);
    ASSERT_EQ(aStream_CreateUSB(options.serialNumber, &stream), aErrNone);
  }
  void send(const Bytes& bytes) {
    EXPECT_EQ(aStream_Write(stream, reinterpret_cast<const char*>(bytes.data()), bytes.size()), aErrNone);
  }
  // Reads as a link's reader does until `count` bytes came, the stream failed (its code goes to
  // *failure) or the time passed.
  Bytes receive(std::size_t count, aErr* failure = nullptr) {
    Bytes got;
    auto deadline = std::chrono::steady_clock::now() + _kReply;
    aErr e = aErrNone;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      char byte = 0;
      e = aStream_Read(stream, &byte, 1);
      if (e == aErrNone) got.push_back(static_cast<std::uint8_t>(byte));
      else if (e == aErrNotReady) e = aStream_WaitReadable(stream, 20);
      if (e != aErrNone && e != aErrNotReady && e != aErrTimeout) break;
    }
    if (failure) *failure = e;
    return got;
  }

  std::unique_ptr<UsbFake> fake;
  std::unique_ptr<UsbSimModule> module;
  aStream* stream = nullptr;
};

TEST_F(UsbSimModuleTest, RawFramesAreAnsweredOverBulkIn) {
  struct Case {
    const char* name;
    SimFaults faults;
    std::vector<Bytes> writes;  // one bulk OUT transfer each (short writes)
    Bytes reply;
    std::size_t packets;  // as the module saw them
  };
  const Bytes modelQuery{0x06, 0x03, 0x03, 0x48, 0x20};
  const Bytes modelAnswer{0x06, 0x04, 0x03, 0x08, 0x00, 0x09};
  const Case cases[] = {
      {"sync", {}, {{0xAD, 0x00}}, {0x06, 0x00}, 1},
      {"model query", {}, {modelQuery}, modelAnswer, 1},
      {"a frame over two transfers", {}, {{0x06, 0x03}, {0x03, 0x48, 0x20}}, modelAnswer, 1},
      {"three syncs in one transfer",
       {},
       {{0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00}},
       {0x06, 0x00, 0x06, 0x00, 0x06, 0x00},
       3},
      {"odd first byte", {.firstByte = qfsim::FirstByteFault::odd}, {{0xAD, 0x00}}, {0x07, 0x00}, 1},
  };
  UsbSimModuleOptions options;
  options.address = 0x06;
  options.model = 0x09;
  options.serialNumber = 0x0012ABCD;
  plugIn(options);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    module->setFaults(c.faults);
    module->clearRecord();
    for (const Bytes& write : c.writes) send(write);
    EXPECT_EQ(hex(receive(c.reply.size())), hex(c.reply));
    EXPECT_EQ(module->record().packets.size(), c.packets);
  }
}

TEST_F(UsbSimModuleTest, HeartbeatsGoOutAndTheirAnswersAreChecked) {
  plugIn({});
  module->sendHeartbeat(HeartbeatKind::down);
  EXPECT_EQ(hex(receive(4)), "02 02 00 01");
  send({0x02, 0x02, 0x00, 0x03});
  ASSERT_TRUE(module->waitUntil([](const SimRecord& r) { return !r.heartbeatAnswers.empty(); }, _kReply));
  EXPECT_TRUE(module->record().heartbeatAnswers[0].ok);

  module->setHeartbeatInterval(30);  // the module's own timer
  EXPECT_EQ(hex(receive(8)), "02 02 00 00 02 02 00 00");
  module->setHeartbeatInterval(0);
}

TEST_F(UsbSimModuleTest, LateRepliesComeByTheTimer) {
  plugIn({.faults = {.replyDelayMs = 200}});
  auto sent = std::chrono::steady_clock::now();
  send({0xAD, 0x00});
  EXPECT_EQ(hex(receive(2)), "02 00");
  EXPECT_GE(std::chrono::steady_clock::now() - sent, 190ms);
}

// A read waiting on the module when it leaves the bus fails, after whatever it was sent before.
TEST_F(UsbSimModuleTest, AModuleLeavingTheBusFailsTheRead) {
  struct Case {
    const char* name;
    bool unplugMidRead;  // else a handler answers, then the module restarts
    Bytes before;
  };
  const Case cases[] = {
      {"unplugged while the host reads", true, {}},
      {"restarts after answering", false, {0x02, 0x02, 0x5F, 0x12}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    plugIn({});
    module->setHandler(0x5F, [](qfsim::SimContext& context, const qfsim::SimPacket&) {
      context.reply({context.state().address, {0x5F, 0x12}});
      context.dropConnection();
    });
    aErr failure = aErrNone;
    Bytes got;
    std::atomic<bool> reading{false};
    std::thread reader([&] {
      reading = true;
      got = receive(c.before.size() + 1, &failure);
    });
    EXPECT_TRUE(qftest::Eventually([&] { return reading.load(); })) << "the reader did not start";
    if (c.unplugMidRead) module->unplug();
    else send({0x02, 0x01, 0x5F});
    reader.join();
    EXPECT_EQ(hex(got), hex(c.before));
    EXPECT_EQ(failure, aErrIO);
  }
}

}  // namespace
