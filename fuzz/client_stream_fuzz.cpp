// Feeds server frames to the client byte stream as a server would send them, through a real
// frontend on loopback and the stream's forwarding thread, and reads them back the way a link's
// reader does. Checks that every byte comes out in order across frame boundaries, that an empty
// frame is reported once (aErrIndexRange) and the next frame still comes whole, and that nothing
// comes that was not sent. Frames are sent in runs and read once a run has been sent, so that
// the stream's queues hold several frames at once; no read waits for anything that is not on
// its way.
//
// Input: [run length][records...]: records [size high][size low][frame bytes]; the size is taken
// modulo 4097 (frames up to the largest one a server sends) and cut to the bytes left; runs of
// (run length % 16) + 1 frames.
#include <arpa/inet.h>
#include <czmq.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "common/aStream.h"
#include "server/aServer_ZeroMQ.h"
#include "server/aStream_ZeroMQClient.h"

namespace {

void _require(bool condition) {
  if (!condition) std::abort();
}

// A frontend and one client stream connected to it, made once for the whole run.
struct ServedStream {
  ServedStream() {
    frontend = zsock_new(ZMQ_ROUTER);
    _require(frontend != nullptr);
    const int port = zsock_bind(frontend, "tcp://127.0.0.1:*");
    _require(port > 0);
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
    aStream_Destroy(&stream);
    zsock_destroy(&frontend);
  }
  void send(const uint8_t* bytes, size_t size) {
    zmsg_t* message = zmsg_new();
    zmsg_addmem(message, identity.data(), identity.size());
    zmsg_addmem(message, bytes, size);
    _require(zmsg_send(&message, frontend) == 0);
  }
  zsock_t* frontend = nullptr;
  aStream* stream = nullptr;
  std::string identity;
};

ServedStream* _served() {
  static ServedStream served;
  return &served;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  ServedStream* served = _served();
  const size_t run = data[0] % 16 + 1;
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
    sent.clear();
  }
  return 0;
}
