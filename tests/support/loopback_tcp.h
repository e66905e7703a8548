// A TCP listener on 127.0.0.1 with an ephemeral port, for the far end of a TCP client under
// test; the connections it accepts are RawPeers. Nothing leaves the machine. Every wait is
// bounded.
#pragma once

#include <chrono>
#include <cstdint>

#include "support/raw_peer.h"

namespace qftest {

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
  // The next connection within the time-out, or an invalid peer.
  RawPeer accept(std::chrono::milliseconds timeout = std::chrono::seconds(2));
  // Stops listening: connects are refused from now on.
  void close();

 private:
  int descriptor_ = -1;
  uint16_t port_ = 0;
};

}  // namespace qftest
