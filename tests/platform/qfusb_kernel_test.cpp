// The USB driver layer in kernel-driver mode, with a pseudo-terminal standing in for the
// driver's node.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <string>

#include "platform/qfusb_driver.h"
#include "support/pty.h"
#include "support/temp_folder.h"

using qftest::Bytes;

class KernelNode : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.linkAs(folder.join("quillfern.12345678")));
    ASSERT_EQ(qfusb_set_kernel_node_format(folder.join("quillfern.%08X").c_str()), aErrNone);
    handle = qfusb_create_usb(QFUSB_MODE_KERNEL);
  }
  void TearDown() override {
    qfusb_destroy(&handle);
    qfusb_set_kernel_node_format(nullptr);
  }

  qftest::TempFolder folder;
  qftest::TestPty pty{qftest::TestPty::Line::Raw};
  qfusb_device* handle = nullptr;
};

TEST_F(KernelNode, TheNodeTellsWhetherTheDriverIsThere) {
  ASSERT_EQ(mkdir(folder.join("quillfern.0000ABCD").c_str(), 0700), 0);
  EXPECT_TRUE(qfusb_is_kernel_driver_installed(0x12345678));
  EXPECT_FALSE(qfusb_is_kernel_driver_installed(0x0000ABCD));  // a folder
  EXPECT_FALSE(qfusb_is_kernel_driver_installed(0x12345679));
  qfusb_set_kernel_node_format(nullptr);
  EXPECT_FALSE(qfusb_is_kernel_driver_installed(0x12345678));
}

TEST_F(KernelNode, BytesGoBothWays) {
  ASSERT_EQ(qfusb_open_quillfern_device(handle, "12345678"), aErrNone);
  Bytes frame(300);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i);
  EXPECT_EQ(qfusb_write_to_device(handle, reinterpret_cast<const char*>(frame.data()), frame.size()), aErrNone);
  EXPECT_EQ(pty.receive(frame.size()), frame);

  ASSERT_TRUE(pty.send({0x00, 0xFF, 'z'}));
  EXPECT_EQ(qfusb_wait_for_input(handle, 1000), aErrNone);
  std::string got;
  char byte = 0;
  while (got.size() < 3 && qfusb_get_from_device(handle, &byte) == aErrNone) got += byte;
  EXPECT_EQ(got, std::string("\x00\xFFz", 3));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(qfusb_get_from_device(handle, &byte), aErrNotReady);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST_F(KernelNode, AWriteTheNodeNeverTakesGivesUp) {
  ASSERT_EQ(qfusb_open_quillfern_device(handle, "12345678"), aErrNone);
  std::string flood(1 << 20, 'f');  // far more than the pty holds while nobody reads
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(qfusb_write_to_device(handle, flood.data(), flood.size()), aErrIO);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(KernelNode, WaitingForInputIsBounded) {
  ASSERT_EQ(qfusb_open_quillfern_device(handle, "12345678"), aErrNone);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(qfusb_wait_for_input(handle, 40), aErrTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
  ASSERT_TRUE(pty.send({'x'}));
  EXPECT_EQ(qfusb_wait_for_input(handle, 1000), aErrNone);
}

// The node going away (the module re-enumerates) hangs up: the wait says so instead of calling
// the node readable, since every read would come back empty at once.
TEST_F(KernelNode, AHungUpNodeIsAnInputError) {
  ASSERT_EQ(qfusb_open_quillfern_device(handle, "12345678"), aErrNone);
  pty.hangUp();
  char byte = 0;
  EXPECT_EQ(qfusb_get_from_device(handle, &byte), aErrNotReady);
  EXPECT_EQ(qfusb_wait_for_input(handle, 1000), aErrIO);
}

TEST_F(KernelNode, OpeningAndClosing) {
  EXPECT_EQ(qfusb_open_quillfern_device(handle, "12345679"), aErrIO);  // no such node
  ASSERT_EQ(qfusb_open_quillfern_device(handle, "12345678"), aErrNone);
  EXPECT_EQ(qfusb_get_state(handle), QFUSB_STATE_CREATED);
  EXPECT_EQ(qfusb_close_quillfern_device(handle), aErrNone);
  EXPECT_EQ(qfusb_get_state(handle), QFUSB_STATE_CLOSED);
  EXPECT_EQ(qfusb_close_quillfern_device(handle), aErrNone);
  char byte = 0;
  EXPECT_EQ(qfusb_get_from_device(handle, &byte), aErrMode);
  EXPECT_EQ(qfusb_write_to_device(handle, "ab", 2), aErrMode);
}

TEST(KernelNodeFormat, MustHoldTheSerialPlaceholderOnce) {
  struct Case {
    const char* format;
    aErr result;
  } cases[] = {
      {"/tmp/node.%08X", aErrNone},       {"/tmp/%08X/node", aErrNone}, {"/tmp/node", aErrParam},
      {"/tmp/node.%08X.%08X", aErrParam}, {"/tmp/%s.%08X", aErrParam},  {"/tmp/node.%08X%n", aErrParam},
      {"/tmp/node.%X", aErrParam},
  };
  for (const Case& c : cases) EXPECT_EQ(qfusb_set_kernel_node_format(c.format), c.result) << c.format;
  EXPECT_EQ(qfusb_set_kernel_node_format(nullptr), aErrNone);
}
