// A USB handle used as a link uses it: one thread reads while another writes, against a fake
// module that echoes what it receives.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/Quillfern-C.h"
#include "platform/qfusb_driver.h"
#include "support/eventually.h"
#include "support/usb_fake.h"

using namespace qftest;

class UsbHandleThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UsbFake::available()) GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0";
    fake = std::make_unique<UsbFake>();
    dev = fake->addDevice({});
    fake->setEchoModel(dev);
    handle = qfusb_create_usb(QFUSB_MODE_LIBUSB);
    ASSERT_EQ(qfusb_open_quillfern_device(handle, "12345678"), aErrNone);
  }
  void TearDown() override {
    qfusb_destroy(&handle);
    Quillfern_libusb_exit();
    fake.reset();
  }

  // Reads as a link's reader does until `wanted` bytes came or the handle failed; at most 15 s
  // (sanitizers on a loaded machine are slow).
  aErr readUntil(size_t wanted, std::string* got) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (got->size() < wanted && std::chrono::steady_clock::now() < deadline) {
      char byte = 0;
      aErr e = qfusb_get_from_device(handle, &byte);
      if (e == aErrNone) {
        *got += byte;
      } else if (e == aErrNotReady) {
        e = qfusb_wait_for_input(handle, 20);
        if (e != aErrNone && e != aErrTimeout) return e;
      } else {
        return e;
      }
    }
    return got->size() == wanted ? aErrNone : aErrTimeout;
  }

  std::unique_ptr<UsbFake> fake;
  size_t dev = 0;
  qfusb_device* handle = nullptr;
};

TEST_F(UsbHandleThreads, ReaderAndWriterRunAtTheSameTime) {
  std::string sent;
  for (int frame = 0; frame < 40; ++frame) sent += std::string(1 + frame % 29, char('a' + frame % 26));
  std::string got;
  aErr readResult = aErrUnknown;
  std::thread reader([&] { readResult = readUntil(sent.size(), &got); });
  size_t at = 0;
  for (int frame = 0; frame < 40; ++frame) {
    size_t length = 1 + frame % 29;
    EXPECT_EQ(qfusb_write_to_device(handle, sent.data() + at, length), aErrNone);
    at += length;
  }
  reader.join();
  EXPECT_EQ(readResult, aErrNone) << got.size() << " of " << sent.size() << " bytes came back";
  EXPECT_EQ(got, sent);
}

TEST_F(UsbHandleThreads, UnplugWhileTheReaderWaits) {
  std::atomic<bool> started{false};
  std::string got;
  aErr readResult = aErrUnknown;
  std::thread reader([&] {
    started = true;
    readResult = readUntil(1, &got);
  });
  ASSERT_TRUE(qftest::Eventually([&] { return started.load(); })) << "the reader did not start";
  auto unplugged = std::chrono::steady_clock::now();
  fake->unplug(dev);
  reader.join();
  EXPECT_EQ(readResult, aErrIO);
  EXPECT_LT(std::chrono::steady_clock::now() - unplugged, std::chrono::milliseconds(1000));
  EXPECT_EQ(qfusb_write_to_device(handle, "ab", 2), aErrIO);
}
