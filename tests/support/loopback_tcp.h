// A TCP listener on 127.0.0.1 with an ephemeral port, and the peers it accepts: the far end of a
// TCP client under test. Nothing leaves the machine. Every wait is bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace qftest {

// One accepted connection; closed (normally) when destroyed.
class LoopbackPeer {
 public:
  explicit LoopbackPeer(int descriptor) : descriptor_(descriptor) {}
  ~LoopbackPeer();
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  int descriptor() const { return descriptor_; }
  // False when not all bytes went within timeoutMs.
  bool send(const std::vector<uint8_t>& bytes, int timeoutMs = 2000);
  // Reads until count bytes came, the connection ended or timeoutMs passed.
  std::vector<uint8_t> receive(size_t count, int timeoutMs);
  // Closes the connection in order (the client reads the end of the data).
  void close();
  // Aborts the connection: the client meets a reset.
  void reset();

 private:
  int descriptor_;
};

class LoopbackListener {
 public:
  // receiveBuffer above 0 sets SO_RCVBUF of the accepted connections (a small one makes a peer
  // that does not read fill up soon). With a backlog of 0 one connection not yet accepted fills
  // the queue, and later connects get no answer at all.
  explicit LoopbackListener(int receiveBuffer = 0, int backlog = 8);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  uint16_t port() const { return port_; }
  // 127.0.0.1 in network byte order.
  static uint32_t address();
  // The next connection within timeoutMs, or null.
  std::unique_ptr<LoopbackPeer> accept(int timeoutMs);
  // Stops listening: connects are refused from now on.
  void close();

 private:
  int descriptor_ = -1;
  uint16_t port_ = 0;
};

}  // namespace qftest
