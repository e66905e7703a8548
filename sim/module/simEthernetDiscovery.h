// The Ethernet module's side of discovery: it joins the modules' multicast group (232.2.2.2,
// UDP port 9888) on one interface, hears only requests that arrive on that interface, and answers every request (16
// bytes, the first 0x01) with a datagram to the requesting host's port 9889:
//   [0] unused  [1] module address  [2..3] TCP port, little-endian
//   [4..7] serial number, little-endian  [8..11] unused  [12] model  [13..15] unused
// Tests may replace the reply by any datagrams, to see how the host copes with odd ones.
//
// Contracts: the responder has its own thread, which sleeps in poll() until a request, its next
// repeat or stop; every public function may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qfsim {

// The 16-byte reply of a module with these values.
std::vector<std::uint8_t> simEthernetReply(std::uint8_t address, std::uint16_t port, std::uint32_t serialNumber,
                                           std::uint8_t model);

struct SimEthernetDiscoveryOptions {
  std::string interfaceAddress;                    // dotted IPv4 address of the interface that joins the group
  std::string replyFrom;                           // dotted IPv4 source of replies; empty: interfaceAddress
  std::vector<std::vector<std::uint8_t>> replies;  // sent in this order for every request
  std::uint32_t repeatEveryMs = 0;                 // after a request, send the first reply again this often,
  std::uint32_t repeatTimes = 0;                   // this many times
};

class SimEthernetDiscovery {
 public:
  explicit SimEthernetDiscovery(SimEthernetDiscoveryOptions options);
  ~SimEthernetDiscovery();  // stops
  SimEthernetDiscovery(const SimEthernetDiscovery&) = delete;
  SimEthernetDiscovery& operator=(const SimEthernetDiscovery&) = delete;

  // Opens the sockets and starts the thread; false with a reason when they cannot be opened.
  bool start(std::string* error = nullptr);
  void stop();  // idempotent

  // Well-formed requests received so far.
  std::uint32_t requests() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> _impl;
};

}  // namespace qfsim
