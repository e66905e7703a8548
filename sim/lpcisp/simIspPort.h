// The simulated LPC bootloader (IspDevice) behind a pseudo-terminal, served by its own thread:
// the program under test opens path() as its serial port. The port keeps its own slave side
// open, so the program may close and reopen it; the chip's state lives as long as the port.
//
// Contracts: every public function may be called from any thread; the device sits behind one
// lock, under which withDevice actions run (they must not call back into the port). The thread
// sleeps in poll() until bytes come, room to send frees up, or stop() wakes it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "sim/lpcisp/simIspDevice.h"

namespace qfsim {

class SimIspPort {
 public:
  // linkPath, when not empty, becomes a symbolic link to the terminal while the port runs.
  explicit SimIspPort(IspIdentity identity = {}, std::string linkPath = {});
  ~SimIspPort();  // stops
  SimIspPort(const SimIspPort&) = delete;
  SimIspPort& operator=(const SimIspPort&) = delete;

  // Opens the terminal and starts the thread; false with a reason when it cannot.
  bool start(std::string* error = nullptr);
  // Ends the thread and closes the terminal; idempotent.
  void stop();

  std::string path() const;

  // Runs action on the device (its faults, record and memory) under the lock.
  void withDevice(const std::function<void(IspDevice&)>& action);
  // Waits until the condition holds on the device (checked after every batch of bytes); false
  // when the time-out passes first.
  bool waitUntil(const std::function<bool(const IspDevice&)>& condition, std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> _impl;
};

}  // namespace qfsim
