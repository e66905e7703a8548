#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "common/aStreamsocket.h"
#include "support/eventually.h"
#include "support/loopback_tcp.h"
#include "support/stream_io.h"

namespace {

using qftest::LoopbackListener;
using qftest::RawPeer;
using qftest::ReadFromStream;
using qftest::StreamReading;
using qftest::WriteToStream;
using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

Bytes Frame(size_t index) {
  Bytes frame = {static_cast<uint8_t>(2 + 2 * (index % 100)), 8};
  for (uint8_t i = 0; i < 8; ++i) frame.push_back(static_cast<uint8_t>(index + i));
  return frame;
}

class SharedSocketStream : public ::testing::Test {
 protected:
  void Connect(LoopbackListener& listener) {
    ASSERT_EQ(aStream_CreateSocket(LoopbackListener::address(), listener.port(), &stream_), aErrNone);
    peer_ = listener.accept();
    ASSERT_TRUE(peer_.valid());
  }
  void TearDown() override { aStream_Destroy(&stream_); }

  RawPeer peer_;
  aStream* stream_ = nullptr;
};

// The link's two threads at once: the writer sends frames while the reader takes the replies.
TEST_F(SharedSocketStream, AReaderAndAWriterUseItTogether) {
  LoopbackListener listener;
  Connect(listener);
  constexpr size_t kFrames = 200;
  Bytes sent;
  for (size_t i = 0; i < kFrames; ++i) {
    const Bytes frame = Frame(i);
    sent.insert(sent.end(), frame.begin(), frame.end());
  }
  std::thread echo([&] { peer_.send(peer_.receive(sent.size(), milliseconds(5000))); });
  std::thread writer([&] {
    for (size_t i = 0; i < kFrames; ++i) EXPECT_EQ(WriteToStream(stream_, Frame(i)), aErrNone);
  });
  const StreamReading reading = ReadFromStream(stream_, sent.size(), 5000);
  writer.join();
  echo.join();
  EXPECT_EQ(reading.bytes, sent);
}

// When the connection is lost under both threads, they make one new connection between them.
TEST_F(SharedSocketStream, BothThreadsMeetingOneLossReconnectOnce) {
  LoopbackListener listener;
  Connect(listener);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (size_t i = 0; !stop; ++i) {
      WriteToStream(stream_, Frame(i));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the writer's pace
    }
  });
  std::atomic<bool> reading{false};
  std::thread reader([&] {
    reading = true;
    ReadFromStream(stream_, 1000000, 1500, 10);
  });
  EXPECT_FALSE(peer_.receive(1, milliseconds(5000)).empty()) << "the writer sent nothing";
  EXPECT_TRUE(qftest::Eventually([&] { return reading.load(); }));
  peer_.reset();
  RawPeer again = listener.accept();
  ASSERT_TRUE(again.valid());
  EXPECT_FALSE(listener.accept(milliseconds(500)).valid());
  EXPECT_FALSE(again.receive(10, milliseconds(2000)).empty());  // the frames go on over the new connection
  stop = true;
  writer.join();
  reader.join();
}

class StalledSharedSocketStream : public SharedSocketStream {};

// A write that loses its connection halfway starts again from its first byte on the new one.
TEST_F(StalledSharedSocketStream, AWriteCutOffHalfwayIsSentWholeOnTheNewConnection) {
  LoopbackListener listener(4096);
  Connect(listener);
  const Bytes flood(4 << 20, 0x66);
  aErr written = aErrUnknown;
  std::thread writer([&] { written = WriteToStream(stream_, flood); });
  // The first bytes are through, and the rest can't be until the peer reads much more.
  EXPECT_FALSE(peer_.receive(1, milliseconds(5000)).empty()) << "the write did not start";
  peer_.reset();
  RawPeer again = listener.accept();
  ASSERT_TRUE(again.valid());
  // The small buffer was for stalling the first connection. On the new one it would make the
  // reader wake for every few kilobytes, and a reader starved on a loaded machine for the
  // write's 600 ms without progress would fail the write: let each wake take much more.
  const int roomy = 1 << 20;
  ASSERT_EQ(setsockopt(again.fd(), SOL_SOCKET, SO_RCVBUF, &roomy, sizeof roomy), 0);
  EXPECT_EQ(again.receive(flood.size(), milliseconds(10000)), flood);
  writer.join();
  EXPECT_EQ(written, aErrNone);
}

}  // namespace
