// A link server's loopback discovery answer, written from the wire format for tests: it holds
// slot k of the loopback multicast group 224.0.0.7 (receives on UDP port 9850 + k, joined on
// 127.0.0.1, without address reuse, so the slot reads as taken) and answers every 4-byte request
// BA DC CD AB by sending its reply to the group on port 9950 + k. Nothing leaves the loopback
// interface. An empty reply makes a server that holds the slot but never answers.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace qftest {

// Little-endian words as a link server sends its 128-byte record; the address is given in
// network byte order and sent as its four bytes in that order.
std::vector<uint8_t> ServerRecord(uint32_t type, uint32_t serialNumber, uint32_t module, uint32_t model,
                                  uint32_t ipNetworkOrder, uint32_t port);

class LoopbackSlotServer {
 public:
  LoopbackSlotServer(uint16_t slot, std::vector<uint8_t> reply);
  ~LoopbackSlotServer();
  LoopbackSlotServer(const LoopbackSlotServer&) = delete;
  LoopbackSlotServer& operator=(const LoopbackSlotServer&) = delete;

  // False when the slot could not be taken (someone else holds it).
  bool ready() const { return _ready; }
  // Well-formed requests received so far.
  int requests() const { return _requests; }

 private:
  void _serve();

  uint16_t _slot;
  std::vector<uint8_t> _reply;
  int _socket = -1;
  int _wake = -1;
  bool _ready = false;
  std::atomic<int> _requests{0};
  std::thread _thread;
};

}  // namespace qftest
