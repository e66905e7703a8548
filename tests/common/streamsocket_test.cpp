#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>
#include <vector>

#include "common/aStreamsocket.h"
#include "support/descriptor_zero.h"
#include "support/loopback_tcp.h"
#include "support/stream_io.h"

namespace {

using qftest::FreedDescriptorZero;
using qftest::LoopbackListener;
using qftest::RawPeer;
using qftest::ReadFromStream;
using qftest::StreamReading;
using qftest::WriteToStream;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

Bytes Pattern(size_t length) {
  Bytes bytes;
  for (size_t i = 0; i < length; ++i) bytes.push_back(static_cast<uint8_t>(i * 7 + i / 256));
  return bytes;
}

// A socket stream connected to a listener of its own, and the accepted far end.
// The descriptor of this process's connection to the port (the client side of it).
int ClientDescriptorTo(uint16_t port) {
  for (int descriptor = 0; descriptor < 1024; ++descriptor) {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    if (getpeername(descriptor, reinterpret_cast<sockaddr*>(&peer), &size) == 0 && peer.sin_family == AF_INET &&
        ntohs(peer.sin_port) == port) {
      return descriptor;
    }
  }
  return -1;
}

class SocketStream : public ::testing::Test {
 protected:
  explicit SocketStream(int receiveBuffer = 0) : listener_(receiveBuffer) {}
  void SetUp() override {
    ASSERT_EQ(aStream_CreateSocket(LoopbackListener::address(), listener_.port(), &stream_), aErrNone);
    peer_ = listener_.accept();
    ASSERT_TRUE(peer_.valid());
  }
  void TearDown() override { aStream_Destroy(&stream_); }

  // Ends the connection from the far end and waits until the stream's side has seen it.
  void LoseConnection() {
    const int client = ClientDescriptorTo(listener_.port());
    peer_.reset();
    EXPECT_TRUE(qftest::waitForDescriptor(client, POLLIN, std::chrono::steady_clock::now() + milliseconds(3000)))
        << "the reset did not reach the stream's side";
  }

  LoopbackListener listener_;
  RawPeer peer_;
  aStream* stream_ = nullptr;
};

TEST(SocketStreamCreate, EveryFailureIsAResourceError) {
  uint16_t closedPort = 0;
  {
    LoopbackListener listener;
    closedPort = listener.port();
  }
  aStream* stream = reinterpret_cast<aStream*>(1);
  EXPECT_EQ(aStream_CreateSocket(LoopbackListener::address(), closedPort, &stream), aErrResource);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(aStream_CreateSocket(LoopbackListener::address(), closedPort, nullptr), aErrResource);
}

TEST(SocketStreamAcceptDelete, FreesNothingThatIsNotASocketRecord) {
  EXPECT_EQ(sSocketStreamAcceptDelete(nullptr), aErrIO);
  alignas(64) unsigned char foreign[1024] = {};  // on the stack: freeing it would be caught
  EXPECT_EQ(sSocketStreamAcceptDelete(foreign), aErrIO);
}

TEST(SocketStreamCreate, DescriptorZeroIsARealConnection) {
  LoopbackListener listener;
  FreedDescriptorZero freed;
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(LoopbackListener::address(), listener.port(), &stream), aErrNone);
  RawPeer peer = listener.accept();
  ASSERT_TRUE(peer.valid());
  ASSERT_EQ(ClientDescriptorTo(listener.port()), 0);
  EXPECT_EQ(WriteToStream(stream, {0x01, 0x02}), aErrNone);
  EXPECT_EQ(peer.receive(2, milliseconds(2000)), (Bytes{0x01, 0x02}));
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_FALSE(FreedDescriptorZero::IsOpen());  // closed with the stream, not left behind
}

TEST(SocketStreamCreate, AConnectThatGetsNoAnswerGivesUpInTime) {
  LoopbackListener full(0, 0);
  aStream* first = nullptr;
  ASSERT_EQ(aStream_CreateSocket(LoopbackListener::address(), full.port(), &first), aErrNone);
  aStream* second = nullptr;
  const auto start = Clock::now();
  EXPECT_EQ(aStream_CreateSocket(LoopbackListener::address(), full.port(), &second), aErrResource);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(aSOCKET_CONNECT_TIMEOUT_MS));
  EXPECT_LT(took, std::chrono::milliseconds(2 * aSOCKET_CONNECT_TIMEOUT_MS));
  aStream_Destroy(&first);
}

TEST_F(SocketStream, SmallPacketsGoOutAtOnceAndNothingBlocks) {
  const int descriptor = ClientDescriptorTo(listener_.port());
  ASSERT_GE(descriptor, 0);
  int noDelay = 0;
  socklen_t size = sizeof noDelay;
  ASSERT_EQ(getsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
  EXPECT_EQ(noDelay, 1);
  linger closing{};
  size = sizeof closing;
  ASSERT_EQ(getsockopt(descriptor, SOL_SOCKET, SO_LINGER, &closing, &size), 0);
  EXPECT_EQ(closing.l_onoff, 1);
  EXPECT_EQ(closing.l_linger, 0);
  EXPECT_NE(fcntl(descriptor, F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(SocketStream, CarriesBytesBothWaysAndWaitsForInput) {
  char byte = 0;
  auto start = Clock::now();
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrNotReady);
  EXPECT_EQ(aStream_WaitReadable(stream_, 100), aErrTimeout);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(95));

  const Bytes in = Pattern(1500);
  ASSERT_TRUE(peer_.send(in));
  EXPECT_EQ(ReadFromStream(stream_, in.size(), 2000).bytes, in);

  const Bytes out = Pattern(3000);
  EXPECT_EQ(WriteToStream(stream_, out), aErrNone);
  EXPECT_EQ(WriteToStream(stream_, {0x5A}), aErrNone);
  Bytes expected = out;
  expected.push_back(0x5A);
  EXPECT_EQ(peer_.receive(expected.size(), milliseconds(2000)), expected);
}

// The module closing its connection is the end of the stream, not silence: a link above it must
// see the connection gone rather than wait on it for ever.
TEST_F(SocketStream, AClosedConnectionEndsTheStreamAfterItsLastBytesWithoutReconnecting) {
  ASSERT_TRUE(peer_.send({0x01, 0x02}));
  peer_.close();
  const StreamReading reading = ReadFromStream(stream_, 3, 2000);
  EXPECT_EQ(reading.bytes, (Bytes{0x01, 0x02}));
  EXPECT_EQ(reading.stop, aErrEOF);
  char byte = 0;
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrEOF) << "the end stays the end";
  EXPECT_FALSE(listener_.accept(milliseconds(50)).valid());  // not reconnected on that account
}

TEST_F(SocketStream, AReadThatMeetsAResetReconnects) {
  LoseConnection();
  char byte = 0;
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrNotReady);
  RawPeer again = listener_.accept();
  ASSERT_TRUE(again.valid());
  ASSERT_TRUE(again.send({0x33}));
  EXPECT_EQ(ReadFromStream(stream_, 1, 2000).bytes, Bytes{0x33});
}

TEST_F(SocketStream, AWriteThatMeetsALossSendsTheWholeBufferOnTheNewConnection) {
  LoseConnection();
  const Bytes frames = Pattern(40);
  EXPECT_EQ(WriteToStream(stream_, frames), aErrNone);
  RawPeer again = listener_.accept();
  ASSERT_TRUE(again.valid());
  EXPECT_EQ(again.receive(frames.size(), milliseconds(2000)), frames);
}

TEST_F(SocketStream, AFailedReconnectLeavesTheStreamDisconnected) {
  listener_.close();
  LoseConnection();
  char byte = 0;
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrConnection);
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrConnection);
  EXPECT_EQ(aStream_WaitReadable(stream_, 1000), aErrConnection);
  EXPECT_EQ(WriteToStream(stream_, {0x01, 0x02}), aErrConnection);
}

class StalledPeer : public SocketStream {
 protected:
  StalledPeer() : SocketStream(4096) {}
};

TEST_F(StalledPeer, AWriteThatCannotGoOutFailsAfterItsRetries) {
  const Bytes flood(16 << 20, 0x55);  // far more than both socket buffers hold
  const auto start = Clock::now();
  EXPECT_EQ(WriteToStream(stream_, flood), aErrWrite);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(9 * aSOCKET_RETRY_DELAY_MS));
  EXPECT_LT(took, std::chrono::seconds(10));
}

}  // namespace
