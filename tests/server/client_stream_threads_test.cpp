// The client byte stream against a plain ZeroMQ ROUTER on loopback standing for the link sharing
// server's frontend: frames both ways, byte by byte, and a server that comes late.
#include <arpa/inet.h>
#include <czmq.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "server/aStream_ZeroMQClient.h"
#include "support/stream_io.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using qftest::ReadFromStream;
using qftest::StreamHandle;
using qftest::WriteToStream;
using std::chrono::milliseconds;

constexpr int kFrameWaitMs = 3000;

// A frontend: the client's identity and frames, one ROUTER message at a time.
class Frontend {
 public:
  // On an ephemeral port, or on the given one.
  explicit Frontend(uint16_t port = 0) : _socket(zsock_new(ZMQ_ROUTER)) {
    const int bound =
        port ? zsock_bind(_socket, "tcp://127.0.0.1:%u", unsigned{port}) : zsock_bind(_socket, "tcp://127.0.0.1:*");
    _port = bound > 0 ? static_cast<uint16_t>(bound) : 0;
  }
  ~Frontend() { zsock_destroy(&_socket); }
  Frontend(const Frontend&) = delete;
  Frontend& operator=(const Frontend&) = delete;

  uint16_t port() const { return _port; }

  // The next frame a client sent (its identity kept for the answers), or nothing in time.
  std::optional<Bytes> receive() {
    zsock_set_rcvtimeo(_socket, kFrameWaitMs);
    zmsg_t* message = zmsg_recv(_socket);
    if (!message) return std::nullopt;
    zframe_t* identity = zmsg_pop(message);
    zframe_t* data = zmsg_pop(message);
    std::optional<Bytes> bytes;
    if (identity && data) {
      _identity.assign(reinterpret_cast<const char*>(zframe_data(identity)), zframe_size(identity));
      bytes = Bytes(zframe_data(data), zframe_data(data) + zframe_size(data));
    }
    zframe_destroy(&identity);
    zframe_destroy(&data);
    zmsg_destroy(&message);
    return bytes;
  }

  // One frame to the client last heard from.
  bool send(const Bytes& frame) {
    zmsg_t* message = zmsg_new();
    zmsg_addmem(message, _identity.data(), _identity.size());
    zmsg_addmem(message, frame.data(), frame.size());
    return zmsg_send(&message, _socket) == 0;
  }

 private:
  zsock_t* _socket;
  uint16_t _port = 0;
  std::string _identity;
};

aStream* ClientTo(uint16_t port) {
  aStream* stream = nullptr;
  EXPECT_EQ(aStream_CreateClient(htonl(INADDR_LOOPBACK), port, &stream), aErrNone);
  EXPECT_NE(stream, nullptr);
  return stream;
}

// How long one read takes and what it says.
aErr TimedRead(aStream* stream, milliseconds* took) {
  char byte = 0;
  const auto start = Clock::now();
  const aErr result = aStream_Read(stream, &byte, 1);
  *took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
  return result;
}

TEST(ClientStream, EveryWriteIsOneFrameAndEveryFrameIsHandedOutInOrder) {
  Frontend frontend;
  ASSERT_NE(frontend.port(), 0u);
  StreamHandle client{ClientTo(frontend.port())};
  ASSERT_NE(client.stream, nullptr);

  // Two packets queued together (a pooled write) travel as one frame.
  const Bytes pooled{0x04, 0x02, 0x11, 0x22, 0x04, 0x01, 0x33};
  ASSERT_EQ(WriteToStream(client.stream, pooled), aErrNone);
  EXPECT_EQ(frontend.receive(), pooled);
  ASSERT_EQ(WriteToStream(client.stream, {0x06, 0x00}), aErrNone);
  EXPECT_EQ(frontend.receive(), (Bytes{0x06, 0x00}));

  // A stream batch, then a reply: their bytes come in order across packet and frame boundaries.
  const Bytes batch{0x04, 0x03, 0x5A, 0x01, 0x02, 0x04, 0x02, 0x5A, 0x03};
  const Bytes reply{0x04, 0x01, 0x77};
  ASSERT_TRUE(frontend.send(batch));
  ASSERT_TRUE(frontend.send(reply));
  Bytes expected = batch;
  expected.insert(expected.end(), reply.begin(), reply.end());
  EXPECT_EQ(ReadFromStream(client.stream, expected.size(), kFrameWaitMs).bytes, expected);

  // Each frame was released after its last byte: nothing more is handed out.
  milliseconds took{};
  EXPECT_EQ(TimedRead(client.stream, &took), aErrNotReady);
}

TEST(ClientStream, AnEmptyFrameIsReportedOnceAndTheNextFrameStillComes) {
  Frontend frontend;
  StreamHandle client{ClientTo(frontend.port())};
  ASSERT_EQ(WriteToStream(client.stream, {0x04, 0x00}), aErrNone);
  ASSERT_TRUE(frontend.receive());  // the frontend now knows the client
  ASSERT_TRUE(frontend.send({}));
  ASSERT_TRUE(frontend.send({0x04, 0x01, 0x42}));
  char byte = 0;
  aErr first = aErrNotReady;
  for (int tries = 0; tries < 3 && first == aErrNotReady; ++tries) {
    first = aStream_Read(client.stream, &byte, 1);
    if (first == aErrNotReady) aStream_WaitReadable(client.stream, kFrameWaitMs);
  }
  EXPECT_EQ(first, aErrIndexRange);
  EXPECT_EQ(ReadFromStream(client.stream, 3, kFrameWaitMs).bytes, (Bytes{0x04, 0x01, 0x42}));
}

TEST(ClientStream, RefusesWhatItCannotCarry) {
  EXPECT_EQ(aStream_CreateClient(htonl(INADDR_LOOPBACK), 9, nullptr), aErrParam);
  Frontend frontend;
  StreamHandle client{ClientTo(frontend.port())};
  ASSERT_NE(client.stream, nullptr);
  // A single byte goes through the stream's put, which carries no frames.
  EXPECT_EQ(WriteToStream(client.stream, {0x04}), aErrUnimplemented);
}

// Nothing listens yet: the creation succeeds, reads wait their second and say so, and once the
// server comes the connection is made by itself and what was written reaches it.
TEST(ClientStream, AServerThatComesLateIsReachedWithoutAnyoneAsking) {
  // A port that was free a moment ago, below the ephemeral range: a client reconnecting to a port
  // in that range can meet itself (TCP simultaneous open) and hold the port.
  uint16_t port = 0;
  for (uint16_t candidate = 21300; candidate < 21500 && !port; ++candidate) {
    Frontend probe(candidate);
    port = probe.port();
  }
  ASSERT_NE(port, 0u);
  StreamHandle client{ClientTo(port)};
  ASSERT_NE(client.stream, nullptr);
  // Nothing comes: a read says so at once, and a wait takes its whole time, not less.
  milliseconds took{};
  EXPECT_EQ(TimedRead(client.stream, &took), aErrNotReady);
  EXPECT_LT(took.count(), 100);
  const auto waitStart = Clock::now();
  EXPECT_EQ(aStream_WaitReadable(client.stream, 1000), aErrTimeout);
  const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - waitStart).count();
  EXPECT_GE(waited, 900);
  EXPECT_LE(waited, 2500);

  ASSERT_EQ(WriteToStream(client.stream, {0x04, 0x01, 0x01}), aErrNone);
  Frontend late(port);
  ASSERT_EQ(late.port(), port);
  EXPECT_EQ(late.receive(), (Bytes{0x04, 0x01, 0x01}));
  ASSERT_TRUE(late.send({0x04, 0x01, 0x02}));
  EXPECT_EQ(ReadFromStream(client.stream, 3, kFrameWaitMs).bytes, (Bytes{0x04, 0x01, 0x02}));
}

}  // namespace
