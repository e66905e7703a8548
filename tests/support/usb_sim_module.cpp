#include "support/usb_sim_module.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>

#include "sim/module/simSession.h"

namespace qftest {

namespace {

using Clock = qfsim::SimSession::Clock;

UsbFakeDeviceSpec _deviceSpec(const UsbSimModuleOptions& options) {
  char serial[9];
  std::snprintf(serial, sizeof serial, "%08X", static_cast<unsigned>(options.serialNumber));
  return UsbFakeDeviceSpec{.productId = options.model, .serial = serial};
}

qfsim::SimState _initialState(const UsbSimModuleOptions& options) {
  if (options.address == 0 || (options.address & 1) != 0) {
    throw std::invalid_argument("the module address must be even and non-zero");
  }
  qfsim::SimState state;
  state.address = options.address;
  state.model = options.model;
  state.serialNumber = options.serialNumber;
  state.faults = options.faults;
  return state;
}

}  // namespace

struct UsbSimModule::Impl {
  Impl(UsbFake& usb, const UsbSimModuleOptions& given)
      : fake(usb), options(given), session(_initialState(given), qfsim::simMakeRawFramer()) {
    auto now = Clock::now();
    session.setHeartbeatInterval(std::chrono::milliseconds(options.heartbeatIntervalMs), now);
    session.connect(now);  // plugged in
    device = fake.addDevice(_deviceSpec(options));
  }

  UsbFake& fake;
  const UsbSimModuleOptions options;
  size_t device = 0;
  mutable std::mutex mutex;
  mutable std::condition_variable changed;  // the record changed
  std::condition_variable rescheduled;      // the timer's next due time may have moved

  // Guarded by mutex.
  qfsim::SimSession session;
  bool stopping = false;

  // The bytes of one bulk OUT transfer, on umockdev's worker thread.
  void received(std::span<const uint8_t> bytes) {
    std::lock_guard lock(mutex);
    if (!session.connected()) return;
    bool keep = session.receive(bytes.data(), bytes.size(), Clock::now());
    queueOutput();
    if (!keep) leaveBus(true);
    changedLocked();
  }

  // Hands what the module sends to bulk IN.
  void queueOutput() {
    std::vector<uint8_t>& output = session.output();
    if (output.empty()) return;
    fake.queueIn(device, output);
    output.clear();
  }

  // drained: once the host has read what is queued for it, as a module that restarts.
  void leaveBus(bool drained) {
    if (!session.connected()) return;
    session.disconnect();
    if (drained) fake.unplugWhenDrained(device);
    else fake.unplug(device);
  }

  // After a change by a command or by received bytes: late frames or the heartbeat period may
  // have moved, and waiters look at the record again.
  void changedLocked() {
    rescheduled.notify_one();
    changed.notify_all();
  }

  void runTimer() {
    std::unique_lock lock(mutex);
    while (!stopping) {
      if (auto due = session.nextDue()) rescheduled.wait_until(lock, *due);
      else rescheduled.wait(lock);
      session.advance(Clock::now());
      queueOutput();
      changed.notify_all();
    }
  }
};

UsbSimModule::UsbSimModule(UsbFake& fake, UsbSimModuleOptions options) : _impl(std::make_shared<Impl>(fake, options)) {
  // The model holds the module weakly: a transfer that comes after the module went finds nobody.
  fake.setModel(_impl->device, [weak = std::weak_ptr<Impl>(_impl)](size_t, std::span<const uint8_t> bytes) {
    if (auto impl = weak.lock()) impl->received(bytes);
  });
  _timer = std::thread([impl = _impl.get()] { impl->runTimer(); });
}

UsbSimModule::~UsbSimModule() {
  {
    std::lock_guard lock(_impl->mutex);
    _impl->stopping = true;
  }
  _impl->rescheduled.notify_one();
  _timer.join();
}

size_t UsbSimModule::device() const { return _impl->device; }
std::uint8_t UsbSimModule::address() const { return _impl->options.address; }
std::uint8_t UsbSimModule::model() const { return _impl->options.model; }
std::uint32_t UsbSimModule::serialNumber() const { return _impl->options.serialNumber; }

void UsbSimModule::setFaults(const qfsim::SimFaults& faults) {
  std::lock_guard lock(_impl->mutex);
  _impl->session.state().faults = faults;
}

qfsim::SimFaults UsbSimModule::faults() const {
  std::lock_guard lock(_impl->mutex);
  return _impl->session.state().faults;
}

void UsbSimModule::setHeartbeatInterval(std::uint32_t intervalMs) {
  std::lock_guard lock(_impl->mutex);
  _impl->session.setHeartbeatInterval(std::chrono::milliseconds(intervalMs), Clock::now());
  _impl->changedLocked();
}

void UsbSimModule::sendHeartbeat(qfsim::HeartbeatKind kind) {
  std::lock_guard lock(_impl->mutex);
  _impl->session.sendHeartbeat(kind, Clock::now());
  _impl->queueOutput();
  _impl->changedLocked();
}

void UsbSimModule::setHandler(std::uint8_t command, qfsim::SimHandler handler) {
  std::lock_guard lock(_impl->mutex);
  _impl->session.protocol().setHandler(command, std::move(handler));
}

void UsbSimModule::setGreeting(qfsim::SimGreeting greeting) {
  std::lock_guard lock(_impl->mutex);
  _impl->session.protocol().setGreeting(std::move(greeting));
}

void UsbSimModule::unplug() {
  std::lock_guard lock(_impl->mutex);
  _impl->leaveBus(false);
  _impl->changedLocked();
}

qfsim::SimRecord UsbSimModule::record() const {
  std::lock_guard lock(_impl->mutex);
  return _impl->session.state().record;
}

void UsbSimModule::clearRecord() {
  std::lock_guard lock(_impl->mutex);
  _impl->session.state().record = qfsim::SimRecord{};
}

bool UsbSimModule::waitUntil(const std::function<bool(const qfsim::SimRecord&)>& condition,
                             std::chrono::milliseconds timeout) const {
  std::unique_lock lock(_impl->mutex);
  return _impl->changed.wait_for(lock, timeout, [&] { return condition(_impl->session.state().record); });
}

}  // namespace qftest
