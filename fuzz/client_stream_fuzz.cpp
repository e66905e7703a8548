// Feeds server frames to the client byte stream as a server would send them, through a real
// frontend on loopback, and reads them back the way a link's reader does. Checks that every byte comes out in order
// across frame boundaries, that an empty frame is reported once (aErrIndexRange) and the next frame still comes whole,
// and that nothing comes that was not sent. Frames are sent in runs and read once a run has been sent, so that the
// stream's queues hold several frames at once; no read waits for anything that is not on its way.
//
// A run may also flood a stream: its frames are sent again and again, never waiting, until the
// way to the stream is completely full and the frontend refuses the next one. Such runs go to a
// second stream, to a frontend of this process, which the stream reaches in-process: its whole
// way is the frontend's queue for it and its own, whatever the frames' sizes (over TCP the
// connection's buffers would hold millions of the smallest ones). Then every frame the frontend
// took must come out whole and in order, nothing else, and the stream must take and hand out
// frames again once its reader has caught up: a full queue loses nothing it took, and the sender
// is told of every frame it did not.
//
// Input: [run length][records...]: records [size high][size low][frame bytes]; the size is taken
// modulo 4097 (frames up to the largest one a server sends) and cut to the bytes left; runs of
// (run length % 16) + 1 frames; bit 4 of run length floods with each run (the in-process stream).
#include <arpa/inet.h>
#include <czmq.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/aStream.h"
#include "server/aInprocPair.h"
#include "server/aServer_ZeroMQ.h"
#include "server/aStream_ZeroMQClient.h"

namespace {

constexpr int kFrontendQueue = 1000;         // messages
constexpr size_t kMostFloodFrames = 200000;  // a queue that never fills is a fault
constexpr int kSendWaitMs = 5000;
constexpr int kStillFullMs = 50;  // a queue that has not moved for this long is full

void _require(bool condition) {
  if (!condition) std::abort();
}

// A frontend and one client stream connected to it, made once for the whole run: over loopback
// TCP, or in-process (the frontend published for the clients of this process).
struct ServedStream {
  explicit ServedStream(bool inProcess) {
    frontend = zsock_new(ZMQ_ROUTER);
    _require(frontend != nullptr);
    // A message the frontend cannot queue is refused, not dropped.
    zsock_set_sndhwm(frontend, kFrontendQueue);
    zsock_set_router_mandatory(frontend, 1);
    zsock_set_sndtimeo(frontend, kSendWaitMs);
    const int port = zsock_bind(frontend, "tcp://127.0.0.1:*");
    _require(port > 0);
    if (inProcess) {
      published = static_cast<uint16_t>(port);
      _require(aInprocFrontend_Publish(frontend, htonl(INADDR_LOOPBACK), published));
    }
    _require(aStream_CreateClient(htonl(INADDR_LOOPBACK), static_cast<uint16_t>(port), &stream) == aErrNone);
    // The frontend learns the client's identity from its first frame.
    const char hello[2] = {0x04, 0x00};
    _require(aStream_Write(stream, hello, sizeof hello) == aErrNone);
    zsock_set_rcvtimeo(frontend, 5000);
    zmsg_t* message = zmsg_recv(frontend);
    _require(message != nullptr);
    zframe_t* identityFrame = zmsg_pop(message);
    identity.assign(reinterpret_cast<const char*>(zframe_data(identityFrame)), zframe_size(identityFrame));
    zframe_destroy(&identityFrame);
    zmsg_destroy(&message);
  }
  ~ServedStream() {
    if (published) aInprocFrontend_Withdraw(htonl(INADDR_LOOPBACK), published);
    aStream_Destroy(&stream);
    zsock_destroy(&frontend);
  }
  // Sends, waiting (a few seconds at most) while the frontend's queue is full: the stream's
  // reader makes room, and the frontend learns of it a moment later.
  void send(const uint8_t* bytes, size_t size) { _require(trySend(bytes, size, 0)); }
  // One send; without waiting (ZMQ_DONTWAIT), false when the frontend refuses it (full).
  bool trySend(const uint8_t* bytes, size_t size, int wait = ZMQ_DONTWAIT) {
    void* socket = zsock_resolve(frontend);
    for (;;) {
      if (zmq_send(socket, identity.data(), identity.size(), ZMQ_SNDMORE | wait) >= 0) break;
      if (errno == EAGAIN) return false;
      _require(errno == EINTR);
    }
    // Once the identity is taken, the rest of the message is taken too.
    for (;;) {
      if (zmq_send(socket, bytes, size, wait) >= 0) return true;
      _require(errno == EINTR);
    }
  }
  // Whether the frontend has room again within the time: its queue towards the client drains
  // into the connection while the connection and the stream's queue behind it take more.
  bool roomWithin(int ms) {
    zmq_pollitem_t item{zsock_resolve(frontend), 0, ZMQ_POLLOUT, 0};
    for (;;) {
      const int ready = zmq_poll(&item, 1, ms);
      if (ready >= 0) return ready > 0;
      _require(errno == EINTR);
    }
  }
  zsock_t* frontend = nullptr;
  aStream* stream = nullptr;
  std::string identity;
  uint16_t published = 0;  // the in-process frontend's port
};

ServedStream* _served(bool inProcess) {
  static ServedStream overTcp(false);
  static ServedStream local(true);
  return inProcess ? &local : &overTcp;
}

// The stream's next result, read one byte at a time as a link's reader reads.
// A read never waits: a frame still on its way is waited for, a second at most.
aErr _readByte(aStream* stream, uint8_t* byte) {
  char read = 0;
  aErr result = aStream_Read(stream, &read, 1);
  for (int waits = 0; result == aErrNotReady && waits < 10; ++waits) {
    if (aStream_WaitReadable(stream, 100) != aErrTimeout) result = aStream_Read(stream, &read, 1);
  }
  *byte = static_cast<uint8_t>(read);
  return result;
}

// Reads one frame back: an empty one as its report, any other byte for byte.
void _readFrame(aStream* stream, const uint8_t* frame, size_t length) {
  uint8_t received = 0;
  if (length == 0) {
    _require(_readByte(stream, &received) == aErrIndexRange);
    return;
  }
  for (size_t i = 0; i < length; ++i) {
    _require(_readByte(stream, &received) == aErrNone);
    _require(received == frame[i]);
  }
}

using Frames = std::vector<std::pair<const uint8_t*, size_t>>;

// Sends the run's frames round and round until the frontend refuses one and has no room for it
// a while later (nothing moves towards the stream any more); then reads back every frame it
// took, and checks that the stream goes on: the refused frame, sent now, comes whole.
void _flood(ServedStream* served, const Frames& run) {
  Frames taken;
  for (size_t next = 0;;) {
    _require(taken.size() < kMostFloodFrames);
    const bool sent = served->trySend(run[next].first, run[next].second);
    if (!sent && served->roomWithin(kStillFullMs)) continue;
    if (!sent) {
      for (const auto& [frame, length] : taken) _readFrame(served->stream, frame, length);
      served->send(run[next].first, run[next].second);
      _readFrame(served->stream, run[next].first, run[next].second);
      return;
    }
    taken.push_back(run[next]);
    next = (next + 1) % run.size();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t run = data[0] % 16 + 1;
  const bool flood = (data[0] & 16) != 0;
  ServedStream* served = _served(flood);
  std::vector<std::pair<const uint8_t*, size_t>> sent;
  for (size_t at = 1; at + 2 <= size || !sent.empty();) {
    if (at + 2 <= size && sent.size() < run) {
      const size_t announced = ((size_t(data[at]) << 8) | data[at + 1]) % (aSERVER_MAX_FRAME_SIZE + 1);
      const size_t length = std::min(announced, size - at - 2);
      sent.emplace_back(data + at + 2, length);
      served->send(data + at + 2, length);
      at += 2 + length;
      continue;
    }
    for (const auto& [frame, length] : sent) _readFrame(served->stream, frame, length);
    if (flood) _flood(served, sent);
    sent.clear();
  }
  return 0;
}
