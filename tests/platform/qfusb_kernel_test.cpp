// The USB driver layer in kernel-driver mode, with a pseudo-terminal standing in for the
// driver's node.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "platform/qfusb_driver.h"

namespace {

// Reads exactly length bytes from fd, waiting at most 2 s in all.
std::string _readExactly(int fd, size_t length) {
  std::string got;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (got.size() < length && std::chrono::steady_clock::now() < deadline) {
    pollfd watch = {fd, POLLIN, 0};
    if (poll(&watch, 1, 100) <= 0) continue;
    char buffer[512];
    ssize_t n = read(fd, buffer, std::min(sizeof buffer, length - got.size()));
    if (n > 0) got.append(buffer, size_t(n));
  }
  return got;
}

}  // namespace

class KernelNode : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    char pattern[] = "/tmp/qfkernel.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
    node = folder + "/quillfern.12345678";
    ASSERT_EQ(symlink(ttyname(slave), node.c_str()), 0);
    ASSERT_EQ(qfusb_set_kernel_node_format((folder + "/quillfern.%08X").c_str()), aErrNone);
    handle = qfusb_create_usb(QFUSB_MODE_KERNEL);
  }
  void TearDown() override {
    qfusb_destroy(&handle);
    qfusb_set_kernel_node_format(nullptr);
    unlink(node.c_str());
    rmdir((folder + "/quillfern.0000ABCD").c_str());
    rmdir(folder.c_str());
    close(master);
    close(slave);
  }
  void fromModule(const std::string& bytes) {
    ASSERT_EQ(write(master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }

  int master = -1, slave = -1;
  std::string folder, node;
  qfusb_device* handle = nullptr;
};

TEST_F(KernelNode, TheNodeTellsWhetherTheDriverIsThere) {
  ASSERT_EQ(mkdir((folder + "/quillfern.0000ABCD").c_str(), 0700), 0);
  EXPECT_TRUE(qfusb_is_kernel_driver_installed(0x12345678));
  EXPECT_FALSE(qfusb_is_kernel_driver_installed(0x0000ABCD));  // a folder
  EXPECT_FALSE(qfusb_is_kernel_driver_installed(0x12345679));
  qfusb_set_kernel_node_format(nullptr);
  EXPECT_FALSE(qfusb_is_kernel_driver_installed(0x12345678));
}

TEST_F(KernelNode, BytesGoBothWays) {
  ASSERT_EQ(qfusb_open_quillfern_device(handle, "12345678"), aErrNone);
  std::string frame(300, '\0');
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = char(i);
  EXPECT_EQ(qfusb_write_to_device(handle, frame.data(), frame.size()), aErrNone);
  EXPECT_EQ(_readExactly(master, frame.size()), frame);

  fromModule(std::string("\x00\xFFz", 3));
  EXPECT_EQ(qfusb_wait_for_input(handle, 1000), aErrNone);
  std::string got;
  char byte = 0;
  while (got.size() < 3 && qfusb_get_from_device(handle, &byte) == aErrNone) got += byte;
  EXPECT_EQ(got, std::string("\x00\xFFz", 3));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(qfusb_get_from_device(handle, &byte), aErrNotReady);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST_F(KernelNode, WaitingForInputIsBounded) {
  ASSERT_EQ(qfusb_open_quillfern_device(handle, "12345678"), aErrNone);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(qfusb_wait_for_input(handle, 40), aErrTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
  fromModule("x");
  EXPECT_EQ(qfusb_wait_for_input(handle, 1000), aErrNone);
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
      {"/tmp/node.%08X", aErrNone},
      {"/tmp/%08X/node", aErrNone},
      {"/tmp/node", aErrParam},
      {"/tmp/node.%08X.%08X", aErrParam},
      {"/tmp/%s.%08X", aErrParam},
      {"/tmp/node.%08X%n", aErrParam},
      {"/tmp/node.%X", aErrParam},
  };
  for (const Case& c : cases) EXPECT_EQ(qfusb_set_kernel_node_format(c.format), c.result) << c.format;
  EXPECT_EQ(qfusb_set_kernel_node_format(nullptr), aErrNone);
}
