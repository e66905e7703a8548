#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "common/aTransports.h"
#include "support/pty.h"
#include "support/stream_io.h"

namespace {

using qftest::ReadFromStream;
using qftest::StreamHandle;
using qftest::StreamReading;
using qftest::TestPty;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

TEST(SerialStreamThreads, AWaitingReaderWakesWhenInputArrives) {
  TestPty pty;
  StreamHandle handle;
  ASSERT_EQ(aStream_CreateSerial(pty.slavePath().c_str(), 6, 0, 0, 0, &handle.stream), aErrNone);
  std::thread device([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the wait to be measured
    pty.send({0x7E});
  });
  const auto start = Clock::now();
  EXPECT_EQ(aStream_WaitReadable(handle.stream, 3000), aErrNone);
  const auto took = Clock::now() - start;
  device.join();
  EXPECT_GE(took, std::chrono::milliseconds(80));
  EXPECT_LT(took, std::chrono::milliseconds(2000));
}

// The link's two threads on one framed port, with a device that echoes every frame it gets.
TEST(SerialStreamThreads, AReaderAndAWriterShareAFramedPort) {
  TestPty pty;
  StreamHandle handle;
  ASSERT_EQ(aStream_CreateSerial_Packetized(pty.slavePath().c_str(), 6, 0, 0, 0, &handle.stream), aErrNone);
  Bytes packets;
  for (uint8_t size = 0; size <= 28; ++size) {
    for (int copy = 0; copy < 4; ++copy) {
      packets.insert(packets.end(), {static_cast<uint8_t>(2 + 2 * copy), size});
      for (uint8_t i = 0; i < size; ++i) packets.push_back(static_cast<uint8_t>(i * size));
    }
  }
  std::atomic<bool> done{false};
  std::thread echo([&] {
    for (auto deadline = Clock::now() + std::chrono::seconds(5); !done && Clock::now() < deadline;) {
      const Bytes frames = pty.receive(64, 20);
      if (!frames.empty()) pty.send(frames);
    }
  });
  std::thread writer([&] {
    for (size_t at = 0; at < packets.size(); at += packets[at + 1] + 2u) {
      EXPECT_EQ(aStream_Write(handle.stream, reinterpret_cast<const char*>(&packets[at]), packets[at + 1] + 2u),
                aErrNone);
    }
  });
  const StreamReading reading = ReadFromStream(handle.stream, packets.size(), 5000);
  done = true;
  writer.join();
  echo.join();
  EXPECT_EQ(reading.bytes, packets);
}

}  // namespace
