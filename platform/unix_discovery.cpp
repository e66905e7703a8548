#include "platform/unix_discovery.h"

#include <libusb.h>

#include "common/aTransports.h"
#include "platform/Quillfern-C.h"
#include "platform/qfusb_ids.h"

namespace {

constexpr size_t sSerialDigits = 8;
// Room for the serial-number string; longer strings come back cut short and do not count.
constexpr int sSerialRoom = 32;

int sHexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The serial number of an opened module; false when its serial string does not hold one.
bool sReadSerialNumber(libusb_device_handle* handle, const libusb_device_descriptor& descriptor,
                       uint32_t* serialNumber) {
  if (descriptor.iSerialNumber == 0) return false;
  unsigned char text[sSerialRoom] = {};
  const int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text);
  return length > 0 &&
         aDiscovery_ParseUSBSerial(reinterpret_cast<const char*>(text), static_cast<size_t>(length), serialNumber);
}

// Offers the device when it is one of the maker's modules; false once the callback said stop.
bool sOfferDevice(libusb_device* device, aDiscoveryReport* report) {
  libusb_device_descriptor descriptor;
  if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS ||
      !qfusb_is_module_id(descriptor.idVendor, descriptor.idProduct))
    return true;
  libusb_device_handle* handle = nullptr;
  if (libusb_open(device, &handle) != LIBUSB_SUCCESS) return true;
  uint32_t serialNumber = 0;
  bool goOn = true;
  if (sReadSerialNumber(handle, descriptor, &serialNumber)) {
    linkSpec found{};
    found.type = USB;
    found.serialNumber = serialNumber;
    found.model = descriptor.idProduct & 0xFF;
    found.ipAddress = serialNumber;
    goOn = aDiscovery_Offer(report, &found);
  }
  libusb_close(handle);
  return goOn;
}

}  // namespace

uint8_t aDiscovery_EnumerateUSB(aDiscoveryProc callback, void* ref) {
  libusb_context* context = Quillfern_libusb_context();
  if (!context || !callback) return 0;
  libusb_device** devices = nullptr;
  const ssize_t deviceCount = libusb_get_device_list(context, &devices);
  if (deviceCount < 0) return 0;
  aDiscoveryReport report{callback, ref, 0, false};
  for (ssize_t i = 0; i < deviceCount && sOfferDevice(devices[i], &report); ++i) {
  }
  libusb_free_device_list(devices, 1);
  return report.count;
}

bool aDiscovery_ParseUSBSerial(const char* text, size_t length, uint32_t* serialNumber) {
  if (!text || !serialNumber || length != sSerialDigits) return false;
  uint32_t value = 0;
  for (size_t i = 0; i < length; ++i) {
    const int digit = sHexDigit(text[i]);
    if (digit < 0) return false;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  *serialNumber = value;
  return true;
}
