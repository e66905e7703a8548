#include "support/hid_fake.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>

#include "support/umockdev_hex.h"

namespace qftest {

namespace {

constexpr const char* kNode = "/dev/hidraw0";
constexpr uint8_t kToken = 0;

// Vendor-defined reports: 1 (out, 16 bytes), 2 (out, 1024 bytes), 3 (in, 4 bytes), 4 (in, 64 bytes).
const std::vector<uint8_t> kReportDescriptor = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x01, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26,
    0xFF, 0x00, 0x75, 0x08, 0x95, 0x10, 0x91, 0x02, 0x85, 0x02, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00,
    0x26, 0xFF, 0x00, 0x75, 0x08, 0x96, 0x00, 0x04, 0x91, 0x02, 0x85, 0x03, 0x19, 0x01, 0x29, 0x01,
    0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02, 0x85, 0x04, 0x19, 0x01, 0x29,
    0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0xC0,
};

// The four records hidapi walks: USB device, interface, HID device (ids, serial, descriptor) and
// the hidraw node, whose "device" link leads back to the HID device.
std::string _records(const HidFakeDeviceSpec& spec) {
  char record[4096];
  std::snprintf(record, sizeof record,
                "P: /devices/pci0000:00/usb1/1-3\nN: bus/usb/001/003\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
                "E: BUSNUM=001\nE: DEVNUM=003\nA: idVendor=%04x\nA: idProduct=%04x\nA: manufacturer=%s\n"
                "A: product=%s\nA: serial=%s\nA: bcdDevice=0001\nA: busnum=1\nA: devnum=3\n\n"
                "P: /devices/pci0000:00/usb1/1-3/1-3:1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n"
                "A: bInterfaceNumber=00\n\n"
                "P: /devices/pci0000:00/usb1/1-3/1-3:1.0/0003:%04X:%04X.0001\nE: SUBSYSTEM=hid\n"
                "E: HID_ID=0003:0000%04X:0000%04X\nE: HID_NAME=%s\nE: HID_UNIQ=%s\nH: report_descriptor=%s\n\n"
                "P: /devices/pci0000:00/usb1/1-3/1-3:1.0/0003:%04X:%04X.0001/hidraw/hidraw0\nN: hidraw0\n"
                "E: SUBSYSTEM=hidraw\nE: DEVNAME=%s\nL: device=../../../0003:%04X:%04X.0001\n",
                spec.vendorId, spec.productId, spec.manufacturer.c_str(), spec.product.c_str(), spec.serial.c_str(),
                spec.vendorId, spec.productId, spec.vendorId, spec.productId, spec.product.c_str(), spec.serial.c_str(),
                UmockdevHex(kReportDescriptor).c_str(), spec.vendorId, spec.productId, kNode, spec.vendorId,
                spec.productId);
  return record;
}

}  // namespace

struct HidFake::Impl {
  mutable std::mutex lock;
  UMockdevTestbed* testbed = nullptr;
  UMockdevIoctlBase* handler = nullptr;
  int server = -1;  // umockdev's side of the node's pty: tokens go in here
  int client = -1;  // the node's side, opened by the fake alone: tokens are taken out here

  // Guarded by lock.
  Model model;
  std::deque<std::vector<uint8_t>> inQueue;
  std::vector<uint8_t> flood;
  std::vector<std::vector<uint8_t>> outReports;
  size_t writeAttempts = 0;
  size_t reportsRead = 0;
  size_t writesBeforeUnplug = SIZE_MAX;
  bool unplugged = false;

  void wake() {
    uint8_t token = kToken;
    if (::write(server, &token, 1) != 1) std::perror("hid fake: token");
  }
  void takeToken() {
    uint8_t token;
    if (::read(client, &token, 1) != 1) std::perror("hid fake: token");
  }
};

namespace {

gboolean _handleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  unsigned long request = umockdev_ioctl_client_get_request(client);
  if (request == HIDIOCGRDESCSIZE || request == HIDIOCGRDESC) {
    size_t size = request == HIDIOCGRDESCSIZE ? sizeof(int) : sizeof(hidraw_report_descriptor);
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, size, nullptr);
    if (!data) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return TRUE;
    }
    if (request == HIDIOCGRDESCSIZE) {
      *reinterpret_cast<int*>(data->data) = int(kReportDescriptor.size());
    } else {
      auto* descriptor = reinterpret_cast<hidraw_report_descriptor*>(data->data);
      descriptor->size = uint32_t(kReportDescriptor.size());
      std::memcpy(descriptor->value, kReportDescriptor.data(), kReportDescriptor.size());
    }
    g_object_unref(data);
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
  }
  umockdev_ioctl_client_complete(client, -1, ENOTTY);
  return TRUE;
}

gboolean _handleRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  HidFake::Impl& fake = *static_cast<HidFake::Impl*>(data);
  UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
  std::lock_guard<std::mutex> hold(fake.lock);
  if (fake.unplugged) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return TRUE;
  }
  std::vector<uint8_t> report;
  if (!fake.flood.empty()) {
    report = fake.flood;  // its token stays: the next poll wakes at once again
  } else if (!fake.inQueue.empty()) {
    report = std::move(fake.inQueue.front());
    fake.inQueue.pop_front();
    fake.takeToken();
  } else {
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
    return TRUE;
  }
  size_t n = std::min(report.size(), size_t(buffer->data_len));
  std::memcpy(buffer->data, report.data(), n);
  ++fake.reportsRead;
  umockdev_ioctl_client_complete(client, long(n), 0);
  return TRUE;
}

gboolean _handleWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
  HidFake::Impl& fake = *static_cast<HidFake::Impl*>(data);
  UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
  std::vector<uint8_t> report(buffer->data, buffer->data + buffer->data_len);
  HidFake::Model model;
  {
    std::lock_guard<std::mutex> hold(fake.lock);
    ++fake.writeAttempts;
    if (fake.writesBeforeUnplug == 0) fake.unplugged = true;
    if (fake.unplugged) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return TRUE;
    }
    if (fake.writesBeforeUnplug != SIZE_MAX) --fake.writesBeforeUnplug;
    fake.outReports.push_back(report);
    model = fake.model;
  }
  // The model answers before the write returns, as a device whose reply is ready when the
  // host looks for it.
  if (model) model(report);
  umockdev_ioctl_client_complete(client, long(report.size()), 0);
  return TRUE;
}

}  // namespace

HidFake::HidFake(const HidFakeDeviceSpec& spec, UMockdevTestbed* shared) : impl_(std::make_unique<Impl>()) {
  impl_->testbed = shared ? UMOCKDEV_TESTBED(g_object_ref(shared)) : umockdev_testbed_new();
  impl_->handler = umockdev_ioctl_base_new();
  g_signal_connect(impl_->handler, "handle-ioctl", G_CALLBACK(_handleIoctl), impl_.get());
  g_signal_connect(impl_->handler, "handle-read", G_CALLBACK(_handleRead), impl_.get());
  g_signal_connect(impl_->handler, "handle-write", G_CALLBACK(_handleWrite), impl_.get());
  // The handler goes on before the device appears; the other order races with its first open.
  if (!umockdev_testbed_attach_ioctl(impl_->testbed, kNode, impl_->handler, nullptr)) {
    throw std::runtime_error("umockdev: cannot attach the hidraw handler");
  }
  if (!umockdev_testbed_add_from_string(impl_->testbed, _records(spec).c_str(), nullptr)) {
    throw std::runtime_error("umockdev: cannot add the HID device records");
  }
  impl_->server = umockdev_testbed_get_dev_fd(impl_->testbed, kNode);
  const char* name = impl_->server >= 0 ? ptsname(impl_->server) : nullptr;
  impl_->client = name ? ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) : -1;
  if (impl_->client < 0) throw std::runtime_error("umockdev: the hidraw node has no terminal");
  // Tokens are single bytes that must neither be cooked nor echoed.
  termios raw{};
  tcgetattr(impl_->client, &raw);
  cfmakeraw(&raw);
  tcsetattr(impl_->client, TCSANOW, &raw);
}

HidFake::~HidFake() {
  umockdev_testbed_detach_ioctl(impl_->testbed, kNode, nullptr);
  if (impl_->client >= 0) ::close(impl_->client);
  g_object_unref(impl_->testbed);
  g_object_unref(impl_->handler);
}

bool HidFake::available() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload && std::strstr(preload, "libumockdev-preload");
}

void HidFake::setModel(Model model) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->model = std::move(model);
}

void HidFake::queueInput(std::vector<uint8_t> report) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->inQueue.push_back(std::move(report));
  impl_->wake();
}

void HidFake::setFlood(std::vector<uint8_t> report) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  bool starting = impl_->flood.empty() && !report.empty();
  bool ending = !impl_->flood.empty() && report.empty();
  impl_->flood = std::move(report);
  if (starting) impl_->wake();
  if (ending) impl_->takeToken();
}

void HidFake::unplugAfterWrites(size_t reports) {
  std::lock_guard<std::mutex> hold(impl_->lock);
  impl_->writesBeforeUnplug = reports;
}

std::vector<std::vector<uint8_t>> HidFake::outReports() const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->outReports;
}

size_t HidFake::writeAttempts() const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->writeAttempts;
}

size_t HidFake::reportsRead() const {
  std::lock_guard<std::mutex> hold(impl_->lock);
  return impl_->reportsRead;
}

}  // namespace qftest
