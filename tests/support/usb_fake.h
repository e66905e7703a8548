// Fake USB modules for tests: the real libusb (and the library on top of it) runs unchanged
// against devices that umockdev puts into a private testbed. Each device answers the usbfs
// ioctls itself: control requests for its string descriptors, bulk OUT transfers handed to a
// pluggable device model, bulk IN transfers held until the model has queued bytes, and a
// scripted table of stalls, failures, time-outs and unplugs.
//
// Needs the umockdev preload library in the test process (LD_PRELOAD=libumockdev-preload.so.0);
// tests call UsbFake::available() and skip without it. One UsbFake per process at a time, and
// a libusb context must be made after the fake and released before it goes.
//
// Handlers run on umockdev's worker thread: the model callback is called there (without the
// fake's lock held, so it may call queueIn), every other member may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/qfusb_ids.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace qftest {

// What one fake device looks like on the bus.
struct UsbFakeDeviceSpec {
  uint16_t vendorId = QFUSB_VENDOR_ID;
  uint16_t productId = 0x0015;
  std::string serial = "12345678";  // the serial-number string; empty = no serial string
  uint8_t interfaceNumber = 0;
  uint8_t interfaceClass = QFUSB_INTERFACE_CLASS;
  uint8_t interfaceSubclass = QFUSB_INTERFACE_SUBCLASS;
  uint8_t interfaceProtocol = QFUSB_INTERFACE_PROTOCOL;
  uint16_t inPacketSize = 64;   // wMaxPacketSize of bulk IN endpoint 0x81
  uint16_t outPacketSize = 64;  // wMaxPacketSize of bulk OUT endpoint 0x01
};

enum class UsbFakeEndpoint { In, Out };

// How a scripted bulk transfer ends.
enum class UsbFakeOutcome {
  Stall,     // the endpoint halts (the host sees a pipe error)
  Fail,      // a protocol error on the bus (the host sees an I/O error)
  Short,     // completes at once having moved only `bytes` bytes
  Timeout,   // never completes; when the host gives up, `bytes` bytes had been moved
  LateDone,  // never completes by itself; as the host gives up, it completes after all, having
             // moved `bytes` bytes, just before the host's cancel reaches the device
  Unplug,    // the device disappears while this transfer is in flight
};

// One row of a device's script: the next bulk transfer on `endpoint` ends as `outcome`.
// Transfers without a row of their own behave normally.
struct UsbFakeStep {
  UsbFakeEndpoint endpoint;
  UsbFakeOutcome outcome;
  size_t bytes = 0;         // Short, Timeout, LateDone: bytes moved (IN: from the queued bytes)
  bool haltSticks = false;  // Stall: the host's attempt to clear the halt fails as well
};

class UsbFake {
 public:
  // The device model: receives the bytes of every bulk OUT transfer the device accepted.
  using Model = std::function<void(size_t device, std::span<const uint8_t> bytes)>;

  UsbFake();
  ~UsbFake();
  UsbFake(const UsbFake&) = delete;
  UsbFake& operator=(const UsbFake&) = delete;

  // Whether the umockdev preload library is in this process.
  static bool available();

  // Adds a device (bus 1, addresses 5, 6, ... in order) and returns its index.
  size_t addDevice(const UsbFakeDeviceSpec& spec);
  void setModel(size_t device, Model model);
  // A model that sends every received byte straight back.
  void setEchoModel(size_t device);
  void setScript(size_t device, std::vector<UsbFakeStep> steps);
  // Makes claiming the interface fail with this errno (EBUSY: claimed by another process).
  void setClaimError(size_t device, int error);

  // Bytes for the device's next bulk IN transfers.
  void queueIn(size_t device, std::span<const uint8_t> bytes);
  // The device vanishes: transfers in flight end with ENODEV, and so does every later request.
  void unplug(size_t device);
  // The device vanishes as soon as the host has taken the bytes queued for it so far (at once
  // when there are none), as a module that answers and then restarts.
  void unplugWhenDrained(size_t device);

  // Observations.
  std::vector<std::vector<uint8_t>> outTransfers(size_t device) const;  // as submitted
  size_t inTransfers(size_t device) const;                              // bulk IN submitted
  std::vector<uint8_t> clearedHalts(size_t device) const;               // endpoint addresses
  size_t requests(size_t device) const;  // every usbfs request the device saw (0: never opened)
  bool claimed(size_t device) const;

  // The fake's testbed, for another fake (a HID device) that must share the one testbed a
  // process can have.
  UMockdevTestbed* testbed() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace qftest
