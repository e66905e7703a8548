#include "support/usb_fake.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>

#include "support/umockdev_hex.h"

namespace qftest {

namespace {

constexpr uint8_t kInEndpoint = 0x81;
constexpr uint8_t kOutEndpoint = 0x01;
constexpr uint8_t kSerialStringIndex = 3;

void _put16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

// Device, configuration, interface and endpoint descriptors as the "descriptors" sysfs file holds them.
std::vector<uint8_t> _descriptors(const UsbFakeDeviceSpec& spec) {
  std::vector<uint8_t> d = {18, 1};
  _put16(d, 0x0200);
  d.insert(d.end(), {0, 0, 0, 64});
  _put16(d, spec.vendorId);
  _put16(d, spec.productId);
  _put16(d, 0x0100);
  d.insert(d.end(), {0, 0, uint8_t(spec.serial.empty() ? 0 : kSerialStringIndex), 1});
  d.insert(d.end(), {9, 2});
  _put16(d, 9 + 9 + 7 + 7);
  d.insert(d.end(), {1, 1, 0, 0x80, 50});
  d.insert(d.end(),
           {9, 4, spec.interfaceNumber, 0, 2, spec.interfaceClass, spec.interfaceSubclass, spec.interfaceProtocol, 0});
  d.insert(d.end(), {7, 5, kInEndpoint, 2});
  _put16(d, spec.inPacketSize);
  d.push_back(0);
  d.insert(d.end(), {7, 5, kOutEndpoint, 2});
  _put16(d, spec.outPacketSize);
  d.push_back(0);
  return d;
}

struct HeldUrb {
  UMockdevIoctlData* urb = nullptr;     // the client's struct usbdevfs_urb (owned reference)
  UMockdevIoctlData* buffer = nullptr;  // its data buffer (owned reference)
  bool untilDiscarded = false;          // scripted time-out: only a discard ends it
  bool doneBeforeDiscard = false;       // ... and the discard comes too late
  size_t movedAtDiscard = 0;

  usbdevfs_urb* fields() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
  void release() {
    g_object_unref(buffer);
    g_object_unref(urb);
  }
};

struct FakeDevice {
  UsbFake::Impl* fake = nullptr;
  size_t index = 0;
  UsbFakeDeviceSpec spec;
  std::string node;
  UMockdevIoctlBase* handler = nullptr;

  // Guarded by Impl::lock.
  UsbFake::Model model;
  std::deque<UsbFakeStep> script;
  std::deque<uint8_t> inQueue;
  std::deque<HeldUrb> waiting;   // submitted, not finished
  std::deque<HeldUrb> finished;  // ready to be reaped, in order
  std::vector<std::vector<uint8_t>> outTransfers;
  size_t inTransfers = 0;
  std::vector<uint8_t> clearedHalts;
  std::vector<uint8_t> stuckHalts;
  size_t requests = 0;
  int claimError = 0;
  bool claimed = false;
  bool unplugged = false;
  bool unplugWhenDrained = false;
};

}  // namespace

struct UsbFake::Impl {
  mutable std::mutex lock;
  UMockdevTestbed* testbed = nullptr;
  std::vector<std::unique_ptr<FakeDevice>> devices;

  FakeDevice& device(size_t index) const {
    if (index >= devices.size()) throw std::out_of_range("no such fake USB device");
    return *devices[index];
  }
};

namespace {

void _finish(FakeDevice& dev, HeldUrb urb, int status, size_t actual) {
  urb.fields()->status = status;
  urb.fields()->actual_length = int(actual);
  dev.finished.push_back(urb);
}

// Moves up to `limit` queued IN bytes into the urb's buffer; returns how many.
size_t _fillIn(FakeDevice& dev, HeldUrb& urb, size_t limit) {
  size_t n = std::min({limit, dev.inQueue.size(), size_t(urb.buffer->data_len)});
  for (size_t i = 0; i < n; ++i) {
    urb.buffer->data[i] = dev.inQueue.front();
    dev.inQueue.pop_front();
  }
  return n;
}

void _unplugLocked(FakeDevice& dev) {
  dev.unplugged = true;
  while (!dev.waiting.empty()) {
    _finish(dev, dev.waiting.front(), -ENODEV, 0);
    dev.waiting.pop_front();
  }
}

// Completes the waiting IN transfers for which bytes have arrived.
void _serveWaitingIn(FakeDevice& dev) {
  for (auto it = dev.waiting.begin(); it != dev.waiting.end() && !dev.inQueue.empty();) {
    if (it->untilDiscarded || !(it->fields()->endpoint & 0x80)) {
      ++it;
      continue;
    }
    HeldUrb urb = *it;
    it = dev.waiting.erase(it);
    _finish(dev, urb, 0, _fillIn(dev, urb, SIZE_MAX));
  }
  if (dev.unplugWhenDrained && dev.inQueue.empty() && !dev.unplugged) _unplugLocked(dev);
}

bool _takeStep(FakeDevice& dev, UsbFakeEndpoint endpoint, UsbFakeStep* step) {
  for (auto it = dev.script.begin(); it != dev.script.end(); ++it) {
    if (it->endpoint == endpoint) {
      *step = *it;
      dev.script.erase(it);
      return true;
    }
  }
  return false;
}

// GET_DESCRIPTOR(string): the language list for index 0, the serial number for its index.
void _answerControl(FakeDevice& dev, HeldUrb urb) {
  const uint8_t* setup = urb.buffer->data;
  size_t room = size_t(urb.buffer->data_len) - 8;
  uint16_t value = setup[2] | setup[3] << 8;
  uint16_t length = setup[6] | setup[7] << 8;
  bool getString = setup[0] == 0x80 && setup[1] == 6 && (value >> 8) == 3;
  std::vector<uint8_t> reply;
  if (getString && (value & 0xFF) == 0) {
    reply = {4, 3, 0x09, 0x04};
  } else if (getString && (value & 0xFF) == kSerialStringIndex && !dev.spec.serial.empty()) {
    reply = {uint8_t(2 + 2 * dev.spec.serial.size()), 3};
    for (char c : dev.spec.serial) reply.insert(reply.end(), {uint8_t(c), 0});
  } else {
    _finish(dev, urb, -EPIPE, 0);
    return;
  }
  size_t n = std::min({reply.size(), size_t(length), room});
  std::memcpy(urb.buffer->data + 8, reply.data(), n);
  _finish(dev, urb, 0, n);
}

void _acceptOut(FakeDevice& dev, HeldUrb urb, size_t bytes, std::vector<uint8_t>* delivered) {
  delivered->assign(urb.buffer->data, urb.buffer->data + bytes);
  _finish(dev, urb, 0, bytes);
}

// A bulk transfer: scripted outcome, else OUT accepted whole and IN held until bytes are queued.
void _submitBulk(FakeDevice& dev, HeldUrb urb, std::vector<uint8_t>* delivered) {
  bool in = urb.fields()->endpoint & 0x80;
  size_t length = size_t(urb.buffer->data_len);
  if (in) {
    ++dev.inTransfers;
  } else {
    dev.outTransfers.emplace_back(urb.buffer->data, urb.buffer->data + length);
  }
  UsbFakeStep step;
  if (!_takeStep(dev, in ? UsbFakeEndpoint::In : UsbFakeEndpoint::Out, &step)) {
    if (in) {
      dev.waiting.push_back(urb);
      _serveWaitingIn(dev);
    } else {
      _acceptOut(dev, urb, length, delivered);
    }
    return;
  }
  size_t bytes = std::min(step.bytes, length);
  switch (step.outcome) {
    case UsbFakeOutcome::Stall:
      if (step.haltSticks) dev.stuckHalts.push_back(urb.fields()->endpoint);
      _finish(dev, urb, -EPIPE, 0);
      break;
    case UsbFakeOutcome::Fail:
      _finish(dev, urb, -EPROTO, 0);
      break;
    case UsbFakeOutcome::Short:
      if (in) {
        _finish(dev, urb, 0, _fillIn(dev, urb, bytes));
      } else {
        _acceptOut(dev, urb, bytes, delivered);
      }
      break;
    case UsbFakeOutcome::Timeout:
    case UsbFakeOutcome::LateDone:
      urb.untilDiscarded = true;
      urb.doneBeforeDiscard = step.outcome == UsbFakeOutcome::LateDone;
      urb.movedAtDiscard = bytes;
      if (!in) delivered->assign(urb.buffer->data, urb.buffer->data + bytes);
      dev.waiting.push_back(urb);
      break;
    case UsbFakeOutcome::Unplug:
      dev.waiting.push_back(urb);
      _unplugLocked(dev);
      break;
  }
}

void _discard(FakeDevice& dev, UMockdevIoctlClient* client, unsigned long address) {
  for (auto it = dev.waiting.begin(); it != dev.waiting.end(); ++it) {
    if (it->urb->client_addr != address) continue;
    HeldUrb urb = *it;
    dev.waiting.erase(it);
    size_t moved = 0;
    if (urb.untilDiscarded) {
      moved = (urb.fields()->endpoint & 0x80) ? _fillIn(dev, urb, urb.movedAtDiscard) : urb.movedAtDiscard;
    }
    if (urb.doneBeforeDiscard) {
      _finish(dev, urb, 0, moved);
      break;
    }
    _finish(dev, urb, -ENOENT, moved);
    umockdev_ioctl_client_complete(client, 0, 0);
    return;
  }
  umockdev_ioctl_client_complete(client, -1, EINVAL);  // already finished
}

void _clearHalt(FakeDevice& dev, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  UMockdevIoctlData* value = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), nullptr);
  uint8_t endpoint = value ? uint8_t(*reinterpret_cast<unsigned int*>(value->data)) : 0;
  if (value) g_object_unref(value);
  dev.clearedHalts.push_back(endpoint);
  for (auto it = dev.stuckHalts.begin(); it != dev.stuckHalts.end(); ++it) {
    if (*it == endpoint) {
      dev.stuckHalts.erase(it);
      umockdev_ioctl_client_complete(client, -1, EPIPE);
      return;
    }
  }
  umockdev_ioctl_client_complete(client, 0, 0);
}

void _reap(FakeDevice& dev, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
  _serveWaitingIn(dev);
  if (dev.finished.empty()) {
    umockdev_ioctl_client_complete(client, -1, dev.unplugged ? ENODEV : EAGAIN);
    return;
  }
  // The argument points at the caller's urb pointer, which receives the finished urb.
  UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
  if (!slot) {
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return;
  }
  HeldUrb urb = dev.finished.front();
  dev.finished.pop_front();
  umockdev_ioctl_data_set_ptr(slot, 0, urb.urb);
  umockdev_ioctl_client_complete(client, 0, 0);
  g_object_unref(slot);
  urb.release();
}

// Returns false when the urb could not be read (the request then fails).
bool _resolveUrb(UMockdevIoctlData* arg, HeldUrb* urb) {
  urb->urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
  if (!urb->urb) return false;
  urb->buffer = umockdev_ioctl_data_resolve(urb->urb, offsetof(usbdevfs_urb, buffer),
                                            size_t(urb->fields()->buffer_length), nullptr);
  if (urb->buffer) return true;
  g_object_unref(urb->urb);
  return false;
}

gboolean _handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  FakeDevice& dev = *static_cast<FakeDevice*>(data);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  unsigned long request = umockdev_ioctl_client_get_request(client);
  std::vector<uint8_t> delivered;
  UsbFake::Model model;
  {
    std::lock_guard<std::mutex> hold(dev.fake->lock);
    ++dev.requests;
    if (dev.unplugged && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return TRUE;
    }
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
        if (caps) {
          *reinterpret_cast<uint32_t*>(caps->data) = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
          g_object_unref(caps);
        }
        umockdev_ioctl_client_complete(client, caps ? 0 : -1, caps ? 0 : EFAULT);
        return TRUE;
      }
      case USBDEVFS_CLAIMINTERFACE:
        dev.claimed = dev.claimError == 0;
        umockdev_ioctl_client_complete(client, dev.claimed ? 0 : -1, dev.claimError);
        return TRUE;
      case USBDEVFS_RELEASEINTERFACE:
        dev.claimed = false;
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
      case USBDEVFS_CLEAR_HALT:
        _clearHalt(dev, client, arg);
        return TRUE;
      case USBDEVFS_DISCARDURB:
        _discard(dev, client,
                 arg->data_len >= int(sizeof(unsigned long)) ? *reinterpret_cast<unsigned long*>(arg->data)
                                                             : arg->client_addr);
        return TRUE;
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY:
        _reap(dev, client, arg);
        return TRUE;
      case USBDEVFS_SUBMITURB: {
        HeldUrb urb;
        if (!_resolveUrb(arg, &urb)) {
          umockdev_ioctl_client_complete(client, -1, EFAULT);
          return TRUE;
        }
        if (urb.fields()->type == USBDEVFS_URB_TYPE_CONTROL) {
          _answerControl(dev, urb);
        } else if (urb.fields()->type == USBDEVFS_URB_TYPE_BULK) {
          _submitBulk(dev, urb, &delivered);
        } else {
          urb.release();
          umockdev_ioctl_client_complete(client, -1, EINVAL);
          return TRUE;
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        if (delivered.empty()) return TRUE;
        model = dev.model;
        break;
      }
      default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
  }
  if (model) model(dev.index, delivered);
  return TRUE;
}

}  // namespace

UsbFake::UsbFake() : impl_(std::make_unique<Impl>()) { impl_->testbed = umockdev_testbed_new(); }

UsbFake::~UsbFake() {
  for (auto& dev : impl_->devices) umockdev_testbed_detach_ioctl(impl_->testbed, dev->node.c_str(), nullptr);
  g_object_unref(impl_->testbed);
  for (auto& dev : impl_->devices) {
    for (auto* list : {&dev->waiting, &dev->finished}) {
      for (HeldUrb& urb : *list) urb.release();
    }
    g_object_unref(dev->handler);
  }
}

bool UsbFake::available() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload && std::strstr(preload, "libumockdev-preload");
}

UMockdevTestbed* UsbFake::testbed() const { return impl_->testbed; }

size_t UsbFake::addDevice(const UsbFakeDeviceSpec& spec) {
  auto dev = std::make_unique<FakeDevice>();
  dev->fake = impl_.get();
  dev->spec = spec;
  {
    std::lock_guard<std::mutex> hold(impl_->lock);
    dev->index = impl_->devices.size();
  }
  unsigned address = unsigned(5 + dev->index);
  char node[64];
  std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", address);
  dev->node = node;
  dev->handler = umockdev_ioctl_base_new();
  g_signal_connect(dev->handler, "handle-ioctl", G_CALLBACK(_handleIoctl), dev.get());
  // The handler goes on before the device appears; the other order races with its first open.
  if (!umockdev_testbed_attach_ioctl(impl_->testbed, node, dev->handler, nullptr)) {
    throw std::runtime_error("umockdev: cannot attach the ioctl handler");
  }
  char record[2048];
  std::snprintf(record, sizeof record,
                "P: /devices/pci0000:00/usb1/1-%u\nN: bus/usb/001/%03u\nE: SUBSYSTEM=usb\n"
                "E: DEVTYPE=usb_device\nE: DEVNAME=%s\nE: BUSNUM=001\nE: DEVNUM=%03u\n"
                "A: busnum=1\nA: devnum=%u\nA: bConfigurationValue=1\nA: speed=%s\n"
                "H: descriptors=%s\n",
                address, address, node, address, address,
                spec.inPacketSize > 64 || spec.outPacketSize > 64 ? "480" : "12",
                UmockdevHex(_descriptors(spec)).c_str());
  if (!umockdev_testbed_add_from_string(impl_->testbed, record, nullptr)) {
    throw std::runtime_error("umockdev: cannot add the device record");
  }
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->devices.push_back(std::move(dev));
  return impl_->devices.size() - 1;
}

void UsbFake::setModel(size_t device, Model model) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->device(device).model = std::move(model);
}

void UsbFake::setEchoModel(size_t device) {
  setModel(device, [this](size_t d, std::span<const uint8_t> bytes) { queueIn(d, bytes); });
}

void UsbFake::setScript(size_t device, std::vector<UsbFakeStep> steps) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->device(device).script.assign(steps.begin(), steps.end());
}

void UsbFake::setClaimError(size_t device, int error) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->device(device).claimError = error;
}

void UsbFake::queueIn(size_t device, std::span<const uint8_t> bytes) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  auto& queue = impl_->device(device).inQueue;
  queue.insert(queue.end(), bytes.begin(), bytes.end());
}

void UsbFake::unplug(size_t device) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  _unplugLocked(impl_->device(device));
}

void UsbFake::unplugWhenDrained(size_t device) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  FakeDevice& dev = impl_->device(device);
  dev.unplugWhenDrained = true;
  _serveWaitingIn(dev);
}

std::vector<std::vector<uint8_t>> UsbFake::outTransfers(size_t device) const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->device(device).outTransfers;
}

size_t UsbFake::inTransfers(size_t device) const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->device(device).inTransfers;
}

std::vector<uint8_t> UsbFake::clearedHalts(size_t device) const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->device(device).clearedHalts;
}

size_t UsbFake::requests(size_t device) const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->device(device).requests;
}

bool UsbFake::claimed(size_t device) const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->device(device).claimed;
}

}  // namespace qftest
