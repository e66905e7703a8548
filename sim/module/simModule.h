// A simulated module at the link level, with its own thread. It listens on 127.0.0.1 (raw
// frames), or offers a pseudo-terminal as a serial port (COBS + CRC-8 frames) or as the kernel
// driver's device node (raw frames); it answers synchronisation and the model query, records
// force-route packets, sends heartbeats and checks their answers, and can be told to misbehave.
//
// Contracts:
// - Every public function may be called from any thread; all state sits behind one lock, which
//   packet handlers run under (they must not call back into the module).
// - The module's state (address, model, serial number, record, faults) outlives connections:
//   a TCP client that reconnects finds the same module.
// - The thread never spins: it sleeps in poll() until a byte, a connection, a command or its
//   next timer (late reply, periodic heartbeat) is due.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sim/module/simProtocol.h"

namespace qfsim {

enum class SimTransport {
  tcp,     // raw frames over a TCP connection to 127.0.0.1
  serial,  // COBS + CRC-8 frames over a pseudo-terminal
  node,    // raw frames over a pseudo-terminal standing for the kernel driver's device node
};

struct SimModuleOptions {
  SimTransport transport = SimTransport::tcp;
  std::uint8_t address = 2;  // even and non-zero
  std::uint8_t model = 4;
  std::uint32_t serialNumber = 0x1A2B3C4D;
  std::uint16_t port = 0;                 // tcp: 0 picks a free port
  std::string tcpAddress = "127.0.0.1";   // tcp: the IPv4 address listened on
  std::string linkPath;                   // pty: optional symbolic link to the slave side
  std::uint32_t heartbeatIntervalMs = 0;  // periodic up heartbeats; 0 = only on demand
  SimFaults faults;
};

class SimModule {
 public:
  explicit SimModule(SimModuleOptions options);
  ~SimModule();  // stops
  SimModule(const SimModule&) = delete;
  SimModule& operator=(const SimModule&) = delete;

  // Opens the transport and starts the thread; port() and path() are valid once it returns
  // true. False with a reason for a bad option or a transport that cannot be opened.
  bool start(std::string* error = nullptr);
  // Ends the thread and closes the transport (and its link); idempotent.
  void stop();

  std::uint16_t port() const;  // tcp
  std::string path() const;    // pty: the current slave path (it changes after closeConnection)
  std::uint8_t address() const;
  std::uint8_t model() const;
  std::uint32_t serialNumber() const;

  void setFaults(const SimFaults& faults);
  SimFaults faults() const;
  void setHeartbeatInterval(std::uint32_t intervalMs);
  // Sends [address][2][0][kind] now (unless silent or nobody is connected).
  void sendHeartbeat(HeartbeatKind kind);
  // Drops the current connection as a module that resets would (see SimChannel::dropPeer).
  void closeConnection();
  // Installs the handler for packets to the module's address with this command byte.
  void setHandler(std::uint8_t command, SimHandler handler);
  // Installs what the module sends unasked every interval while a host is connected (0: never).
  void setTicker(std::chrono::milliseconds interval, SimTicker ticker);
  // Changes the ticker's interval (0 stops it).
  void setTickInterval(std::chrono::milliseconds interval);
  // Installs what the module sends unasked to every host that connects.
  void setGreeting(SimGreeting greeting);
  // Puts a module behind this one on its I2C bus (see SimProtocol::addRouted). Its state is
  // read and changed on the module's thread under the module's lock from then on.
  void addRoutedModule(std::shared_ptr<SimRoutedModule> routed);

  SimRecord record() const;
  void clearRecord();
  // Waits until the condition holds on the record (checked under the lock at every change);
  // false when the time-out passes first.
  bool waitUntil(const std::function<bool(const SimRecord&)>& condition, std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> _impl;
};

}  // namespace qfsim
