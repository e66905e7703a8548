// A fake USB HID device for tests: the real hidapi (hidraw back end) finds and opens it in a
// private umockdev testbed. Output reports the host writes go to a pluggable model, one report
// per write; input reports the model (or the test) queues are served one per read, and the
// device node wakes the host's poll() once for each.
//
// Needs the umockdev preload library in the test process (LD_PRELOAD=libumockdev-preload.so.0);
// tests call HidFake::available() and skip without it. One HidFake per process at a time (it
// is /dev/hidraw0), made before hid_init and kept until after hid_exit.
//
// Handlers run on umockdev's worker thread: the model is called there without the fake's lock
// (it may call queueInput), while the host's write waits; every member may be called from any
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace qftest {

struct HidFakeDeviceSpec {
  uint16_t vendorId = 0x1FC9;
  uint16_t productId = 0x0130;
  std::string serial = "0A1B2C3D";
  std::string manufacturer = "Test Silicon";
  std::string product = "Test Boot ROM";
};

class HidFake {
 public:
  // Receives every output report the device accepted, report id first.
  using Model = std::function<void(std::span<const uint8_t> report)>;

  // With a testbed given (another fake's), the device goes into that one and the testbed is
  // shared; else the fake makes its own.
  explicit HidFake(const HidFakeDeviceSpec& spec = {}, UMockdevTestbed* shared = nullptr);
  ~HidFake();
  HidFake(const HidFake&) = delete;
  HidFake& operator=(const HidFake&) = delete;

  static bool available();

  void setModel(Model model);
  // One input report (report id first) for one later read.
  void queueInput(std::vector<uint8_t> report);
  // From now on every read gets this report, at once (empty: back to the queue).
  void setFlood(std::vector<uint8_t> report);
  // The device vanishes after it accepted this many more output reports: every later write
  // and read fails with ENODEV.
  void unplugAfterWrites(size_t reports);

  // Observations.
  std::vector<std::vector<uint8_t>> outReports() const;  // accepted, in order
  size_t writeAttempts() const;                          // accepted or not
  size_t reportsRead() const;                            // input reports served

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace qftest
