// The USB byte stream: made by serial number, over libusb against a fake module or over the
// kernel driver's node (a pseudo-terminal here).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/aStream.h"
#include "common/aTransports.h"
#include "platform/Quillfern-C.h"
#include "platform/qfusb_driver.h"
#include "support/pty.h"
#include "support/stream_io.h"
#include "support/temp_folder.h"
#include "support/usb_fake.h"

using namespace qftest;

class UsbStream : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UsbFake::available()) GTEST_SKIP() << "needs LD_PRELOAD=libumockdev-preload.so.0";
    fake = std::make_unique<UsbFake>();
    dev = fake->addDevice({.serial = "0012ABCD"});
    fake->setEchoModel(dev);
  }
  void TearDown() override {
    if (stream) aStream_Destroy(&stream);
    qfusb_set_kernel_node_format(nullptr);
    Quillfern_libusb_exit();
    fake.reset();
  }
  // What a link's reader gets within 2 s, at most length bytes.
  std::string readBytes(size_t length) {
    const Bytes got = ReadFromStream(stream, length, 2000).bytes;
    return std::string(got.begin(), got.end());
  }

  std::unique_ptr<UsbFake> fake;
  size_t dev = 0;
  aStream* stream = nullptr;
};

TEST_F(UsbStream, RefusedArgumentsAndMissingModules) {
  EXPECT_EQ(aStream_CreateUSB(0x0012ABCD, nullptr), aErrParam);
  EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
  aStream* earlier = aStream_Create(nullptr, nullptr, nullptr, nullptr, nullptr);
  stream = earlier;  // a failed creation leaves no stale handle behind
  EXPECT_EQ(aStream_CreateUSB(0x0012ABCE, &stream), aErrNotFound);
  EXPECT_EQ(stream, nullptr);
  aStream_Destroy(&earlier);
  EXPECT_FALSE(fake->claimed(dev));
}

TEST_F(UsbStream, CarriesBytesBothWaysOverLibusb) {
  ASSERT_EQ(aStream_CreateUSB(0x0012ABCD, &stream), aErrNone);
  EXPECT_TRUE(fake->claimed(dev));
  EXPECT_EQ(aStream_Write(stream, "\x04\x02\x00\x01", 4), aErrNone);
  EXPECT_EQ(readBytes(4), std::string("\x04\x02\x00\x01", 4));
  EXPECT_EQ(aStream_Write(stream, "\xAF", 1), aErrNone);  // one byte goes through put
  EXPECT_EQ(readBytes(1), "\xAF");
  EXPECT_EQ(aStream_WaitReadable(stream, 30), aErrTimeout);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(stream, nullptr);
  EXPECT_FALSE(fake->claimed(dev));
}

TEST_F(UsbStream, OpensAModuleWhoseSerialStringIsInLowerCase) {
  const size_t lower = fake->addDevice({.serial = "00ab12cd"});
  fake->setEchoModel(lower);
  ASSERT_EQ(aStream_CreateUSB(0x00AB12CD, &stream), aErrNone);
  EXPECT_TRUE(fake->claimed(lower));
  EXPECT_FALSE(fake->claimed(dev));
  EXPECT_EQ(aStream_Write(stream, "ab", 2), aErrNone);
  EXPECT_EQ(readBytes(2), "ab");
}

TEST_F(UsbStream, TheKernelNodeWinsOverLibusb) {
  TempFolder folder;
  TestPty node(TestPty::Line::Raw);
  ASSERT_TRUE(node.linkAs(folder.join("quillfern.0012ABCD")));
  ASSERT_EQ(qfusb_set_kernel_node_format(folder.join("quillfern.%08X").c_str()), aErrNone);
  ASSERT_EQ(aStream_CreateUSB(0x0012ABCD, &stream), aErrNone);
  EXPECT_EQ(aStream_Write(stream, "ping", 4), aErrNone);
  EXPECT_EQ(node.receive(4), (Bytes{'p', 'i', 'n', 'g'}));
  ASSERT_TRUE(node.send({'p', 'o', 'n', 'g'}));
  EXPECT_EQ(readBytes(4), "pong");
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(fake->requests(dev), 0u);  // the module on USB was never opened
}
