// The simulated module on a fake USB device: the real libusb (and every USB link above it)
// talks to the simulator's protocol logic as to a module on the bus. The bytes of each bulk OUT
// transfer are raw frames [address][length][data] fed to the module; its answers and heartbeats
// are queued for bulk IN. The device's serial-number string is the serial number as "%08X" and
// the low byte of its product id is the model.
//
// A module that drops its connection (the closeAfterPackets fault, a handler's dropConnection)
// leaves the bus once the host has read what it answered before; so does unplug(), at once.
// There is no plugging back in.
//
// Threads: every member may be called from any thread. The module runs on umockdev's worker
// thread (bulk OUT) and on a timer thread of its own (late replies, periodic heartbeats), both
// under one lock that handlers run under: they must not call back into the module.
// The fake must outlive the module; a module destroyed first leaves its device on the bus,
// taking bytes and answering nothing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include "sim/module/simProtocol.h"
#include "support/usb_fake.h"

namespace qftest {

struct UsbSimModuleOptions {
  std::uint8_t address = 2;  // even and non-zero
  std::uint8_t model = 4;
  std::uint32_t serialNumber = 0x1A2B3C4D;
  std::uint32_t heartbeatIntervalMs = 0;  // periodic up heartbeats; 0 = only on demand
  qfsim::SimFaults faults;                // badCrc means nothing on raw frames
};

class UsbSimModule {
 public:
  // Adds the module's device to the fake; std::invalid_argument for a bad address.
  explicit UsbSimModule(UsbFake& fake, UsbSimModuleOptions options = {});
  ~UsbSimModule();
  UsbSimModule(const UsbSimModule&) = delete;
  UsbSimModule& operator=(const UsbSimModule&) = delete;

  size_t device() const;  // the device's index on the fake (for scripts and observations)
  std::uint8_t address() const;
  std::uint8_t model() const;
  std::uint32_t serialNumber() const;

  void setFaults(const qfsim::SimFaults& faults);
  qfsim::SimFaults faults() const;
  void setHeartbeatInterval(std::uint32_t intervalMs);
  // Queues [address][2][0][kind] for the host (unless silent or unplugged).
  void sendHeartbeat(qfsim::HeartbeatKind kind);
  // Installs the handler for packets to the module's address with this command byte.
  void setHandler(std::uint8_t command, qfsim::SimHandler handler);
  // Installs what the module sends by itself once a host has synchronised with it.
  void setGreeting(qfsim::SimGreeting greeting);
  // The device vanishes: the host's transfers in flight and all later ones fail.
  void unplug();

  qfsim::SimRecord record() const;
  void clearRecord();
  // Waits until the condition holds on the record (checked at every change); false when the
  // time-out passes first.
  bool waitUntil(const std::function<bool(const qfsim::SimRecord&)>& condition,
                 std::chrono::milliseconds timeout) const;

  struct Impl;

 private:
  std::shared_ptr<Impl> _impl;  // shared with the fake's model, which may outlive the module
  std::thread _timer;
};

}  // namespace qftest
