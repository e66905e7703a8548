#include "platform/qfusb_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "common/aFile.h"
#include "platform/Quillfern-C.h"
#include "platform/qfusb_descriptors.h"
#include "platform/qfusb_ids.h"
#include "platform/unix_discovery.h"

struct qfusb_device {
  int32_t mode = QFUSB_MODE_KERNEL;
  char serial[QFUSB_MAX_SERIAL + 1] = {};
  int descriptor = -1;  // the kernel node; -1 when closed (0 is a valid descriptor)
  libusb_device_handle* usbHandle = nullptr;
  std::atomic<int32_t> state{QFUSB_STATE_CREATED};
  uint8_t interface = 0;
  uint8_t outEndpoint = 0;
  uint8_t inEndpoint = 0;
  // Reader side only.
  unsigned char readBuffer[QFUSB_READ_BUFFER_SIZE] = {};
  unsigned char* readPosition = readBuffer;
  uint32_t available = 0;
  // Shared by the reader and the writer.
  std::atomic<int> errorCount{0};
  uint16_t inPacketSize = 0;
  uint16_t outPacketSize = 0;
};

namespace {

// Consecutive aErrIO results that stay hidden; the next one fails the handle.
constexpr int sTOLERATED_ERRORS = 4;
// Failed OUT transfers after which a write gives up.
constexpr int sMAX_WRITE_FAILURES = 10;
// System write calls a kernel-mode write may take.
constexpr int sMAX_KERNEL_WRITES = 1000;
// A chunk of exactly this size is sent one byte short, the byte left over going with the next
// chunk, so that no write ends on a full 512-byte packet (which would call for a zero-length
// packet to close the transfer).
constexpr size_t sSHORTENED_CHUNK = 512;

const char* const sNODE_PLACEHOLDER = "%08X";
std::string sNodeFormat = QFUSB_DEFAULT_NODE_FORMAT;

// The node path with the placeholder replaced by the given text.
std::string sNodePath(const char* serialText) {
  std::string path = sNodeFormat;
  return path.replace(path.find(sNODE_PLACEHOLDER), std::strlen(sNODE_PLACEHOLDER), serialText);
}

void sCopySerial(qfusb_device* handle, const char* serial) {
  std::snprintf(handle->serial, sizeof handle->serial, "%s", serial);
}

// Applies the error tolerance to a libusb-mode result. `hidden` is what a hidden aErrIO is
// reported as: for a read "no byte yet", for a write "done".
aErr sTolerate(qfusb_device* handle, aErr result, aErr hidden) {
  if (result != aErrIO) {
    handle->errorCount = 0;
    return result;
  }
  if (handle->errorCount.fetch_add(1) < sTOLERATED_ERRORS) return hidden;
  handle->state = QFUSB_STATE_FAILED;
  return aErrIO;
}

// What a libusb-mode read or write gives on a handle that is not open; aErrNone when it is.
aErr sStateResult(const qfusb_device* handle) {
  switch (handle->state.load()) {
    case QFUSB_STATE_OPEN:
      return aErrNone;
    case QFUSB_STATE_CLOSED:
      return aErrConnection;
    case QFUSB_STATE_CREATED:
    case QFUSB_STATE_OPENING:
      return aErrNotReady;
    default:
      return aErrIO;
  }
}

aErr sClaimError(int libusbError) {
  switch (libusbError) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE:
      return aErrBusy;
    case LIBUSB_ERROR_ACCESS:
      return aErrPermission;
    default:
      return aErrUnknown;
  }
}

// The module's interface and its endpoints in the first configuration. An endpoint whose packet
// size libusb cannot tell is of no use (a chunk size of 0 would never finish a write).
bool sFindEndpoints(qfusb_device* handle, libusb_device* device) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) return false;
  qfusbDescriptors::ModuleEndpoints found{handle->interface, handle->inEndpoint, handle->outEndpoint,
                                          handle->inPacketSize, handle->outPacketSize};
  const bool both = qfusbDescriptors::findEndpoints(
      *config, [device](uint8_t address) { return libusb_get_max_packet_size(device, address); }, &found);
  libusb_free_config_descriptor(config);
  handle->interface = found.interface;
  handle->inEndpoint = found.inEndpoint;
  handle->outEndpoint = found.outEndpoint;
  handle->inPacketSize = found.inPacketSize;
  handle->outPacketSize = found.outPacketSize;
  return both;
}

// Opens the device when it is one of the maker's modules with the serial string; null otherwise.
libusb_device_handle* sOpenIfSerial(libusb_device* device, const char* serial) {
  libusb_device_descriptor descriptor;
  if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return nullptr;
  if (!qfusb_is_module_id(descriptor.idVendor, descriptor.idProduct)) return nullptr;
  libusb_device_handle* usb = nullptr;
  if (libusb_open(device, &usb) != LIBUSB_SUCCESS) return nullptr;
  unsigned char text[256] = {};
  int length = descriptor.iSerialNumber == 0
                   ? -1
                   : libusb_get_string_descriptor_ascii(usb, descriptor.iSerialNumber, text, sizeof text);
  if (length >= 0 && qfusbDescriptors::sameSerial(reinterpret_cast<char*>(text), size_t(length), serial)) return usb;
  libusb_close(usb);
  return nullptr;
}

// Takes the matching device into the handle: endpoints, claim, open state.
aErr sTakeDevice(qfusb_device* handle, libusb_device* device, libusb_device_handle* usb, const char* serial) {
  sCopySerial(handle, serial);
  handle->usbHandle = usb;
  handle->state = QFUSB_STATE_OPENING;
  aErr result = aErrConfiguration;
  if (sFindEndpoints(handle, device)) {
    int claim = libusb_claim_interface(usb, handle->interface);
    result = claim == LIBUSB_SUCCESS ? aErrNone : sClaimError(claim);
  }
  if (result == aErrNone) {
    handle->errorCount = 0;
    handle->state = QFUSB_STATE_OPEN;
    Quillfern_libusb_handle_opened();
    return aErrNone;
  }
  libusb_close(usb);
  handle->usbHandle = nullptr;
  handle->state = QFUSB_STATE_CLOSED;
  return result;
}

// How one bulk IN transfer into the empty read buffer ended.
enum class sFetch { Bytes, TimedOut, Nothing, Failed };

sFetch sFetchInput(qfusb_device* handle, unsigned timeoutMs) {
  int transferred = 0;
  int r = libusb_bulk_transfer(handle->usbHandle, handle->inEndpoint, handle->readBuffer, QFUSB_READ_BUFFER_SIZE,
                               &transferred, timeoutMs);
  // Bytes that arrived are never dropped, whatever the transfer's result says.
  if (transferred > 0) {
    handle->readPosition = handle->readBuffer;
    handle->available = uint32_t(std::min(transferred, QFUSB_READ_BUFFER_SIZE));
    return sFetch::Bytes;
  }
  switch (r) {
    case LIBUSB_SUCCESS:
      return sFetch::Nothing;
    case LIBUSB_ERROR_TIMEOUT:
      return sFetch::TimedOut;
    case LIBUSB_ERROR_PIPE:
      libusb_clear_halt(handle->usbHandle, handle->inEndpoint);
      return sFetch::Nothing;
    default:
      return sFetch::Failed;
  }
}

aErr sDeliver(qfusb_device* handle, char* byte) {
  *byte = char(*handle->readPosition++);
  --handle->available;
  return aErrNone;
}

aErr sWaitLibusb(qfusb_device* handle, uint32_t timeoutMs) {
  if (handle->available > 0) return aErrNone;
  if (handle->state == QFUSB_STATE_FAILED) return aErrIO;
  if (sStateResult(handle) != aErrNone) return aErrNone;  // get answers at once
  switch (sFetchInput(handle, std::clamp<uint32_t>(timeoutMs, 1, QFUSB_READ_TIMEOUT_MS))) {
    case sFetch::Bytes:
      sTolerate(handle, aErrNone, aErrNone);
      return aErrNone;
    case sFetch::TimedOut:
      sTolerate(handle, aErrNotReady, aErrNone);
      return timeoutMs <= QFUSB_READ_TIMEOUT_MS ? aErrTimeout : aErrNone;
    case sFetch::Nothing:
      sTolerate(handle, aErrNotReady, aErrNone);
      return aErrNone;
    case sFetch::Failed:
      break;
  }
  return sTolerate(handle, aErrIO, aErrNone);
}

aErr sWaitKernel(qfusb_device* handle, uint32_t timeoutMs) {
  pollfd watch = {handle->descriptor, POLLIN, 0};
  int r = poll(&watch, 1, int(std::min<uint32_t>(timeoutMs, INT32_MAX)));
  if (r == 0) return aErrTimeout;
  if (r < 0) return errno == EINTR ? aErrNone : aErrIO;
  // A node that went away (the module re-enumerated) reports a hang-up, often together with
  // "readable", and every read of it then comes back empty at once. The reader only waits after
  // get found nothing, so no byte is left behind by calling it an I/O error.
  if (watch.revents & (POLLHUP | POLLERR | POLLNVAL)) return aErrIO;
  return aErrNone;
}

}  // namespace

qfusb_device* qfusb_create_usb(int32_t mode) {
  qfusb_device* handle = new (std::nothrow) qfusb_device;
  if (!handle) return nullptr;
  handle->mode = mode;
  if (mode == QFUSB_MODE_LIBUSB) Quillfern_libusb_context();
  return handle;
}

aErr qfusb_destroy(qfusb_device** handle) {
  if (!handle || !*handle) return aErrParam;
  qfusb_device* device = *handle;
  if (device->usbHandle) qfusb_close_quillfern_USBlib_device(device);
  if (device->descriptor >= 0) close(device->descriptor);
  delete device;
  *handle = nullptr;
  return aErrNone;
}

int32_t qfusb_get_mode(const qfusb_device* handle) { return handle ? handle->mode : -1; }

int32_t qfusb_get_state(const qfusb_device* handle) { return handle ? handle->state.load() : -1; }

bool qfusb_is_kernel_driver_installed(uint32_t serialNumber) {
  char serial[16];
  std::snprintf(serial, sizeof serial, "%08X", serialNumber);
  return aFile_Exists(sNodePath(serial).c_str());
}

aErr qfusb_open_quillfern_device(qfusb_device* handle, const char* serial) {
  if (!handle || !serial) return aErrParam;
  return handle->mode == QFUSB_MODE_LIBUSB ? qfusb_open_quillfern_USBlib_device(handle, serial)
                                           : qfusb_open_quillfern_kernel_device(handle, serial);
}

aErr qfusb_open_quillfern_USBlib_device(qfusb_device* handle, const char* serial) {
  if (!handle || !serial) return aErrParam;
  if (handle->mode != QFUSB_MODE_LIBUSB) return aErrMode;
  if (handle->state == 0) return aErrResource;
  if (handle->usbHandle) return aErrBusy;
  libusb_context* context = Quillfern_libusb_context();
  libusb_device** list = nullptr;
  // Without a context of our own there is nothing to search: libusb's default context would
  // be a second, unmanaged one.
  if (!context || libusb_get_device_list(context, &list) < 0) return aErrNotFound;
  aErr result = aErrNotFound;
  for (libusb_device** device = list; *device; ++device) {
    libusb_device_handle* usb = sOpenIfSerial(*device, serial);
    if (!usb) continue;
    result = sTakeDevice(handle, *device, usb, serial);
    break;
  }
  libusb_free_device_list(list, 1);
  return result;
}

aErr qfusb_open_quillfern_kernel_device(qfusb_device* handle, const char* serial) {
  if (!handle || !serial) return aErrParam;
  if (handle->mode != QFUSB_MODE_KERNEL) return aErrMode;
  if (handle->descriptor >= 0) return aErrBusy;
  sCopySerial(handle, serial);
  // Non-blocking, so that a read finds "nothing waiting" instead of hanging the link's reader.
  int fd = open(sNodePath(handle->serial).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
  handle->descriptor = fd;
  return aErrNone;
}

aErr qfusb_write_to_device(qfusb_device* handle, const char* data, size_t length) {
  if (!handle) return aErrParam;
  return handle->mode == QFUSB_MODE_LIBUSB ? qfusb_write_to_USBlib_device(handle, data, length)
                                           : qfusb_write_to_kernel_device(handle, data, length);
}

aErr qfusb_write_to_USBlib_device(qfusb_device* handle, const char* data, size_t length) {
  if (!handle) return aErrParam;
  if (handle->mode != QFUSB_MODE_LIBUSB) return aErrMode;
  if (handle->state == QFUSB_STATE_FAILED) return aErrIO;
  aErr result = sStateResult(handle);
  if (result != aErrNone) return sTolerate(handle, result, aErrNone);
  if (!data && length > 0) return aErrParam;
  size_t sent = 0;
  int failures = 0;
  while (sent < length && failures < sMAX_WRITE_FAILURES && handle->state == QFUSB_STATE_OPEN) {
    size_t chunk = std::min<size_t>(length - sent, handle->outPacketSize);
    if (chunk == sSHORTENED_CHUNK) chunk = sSHORTENED_CHUNK - 1;
    int transferred = 0;
    int r = libusb_bulk_transfer(handle->usbHandle, handle->outEndpoint,
                                 reinterpret_cast<unsigned char*>(const_cast<char*>(data + sent)), int(chunk),
                                 &transferred, QFUSB_WRITE_TIMEOUT_MS);
    // Whatever a transfer moved is sent, also when it timed out part-way.
    sent += size_t(std::clamp(transferred, 0, int(chunk)));
    // A transfer that moved nothing has failed as well, or a device that accepts empty transfers
    // would keep the write going for ever.
    if (r != LIBUSB_SUCCESS || transferred <= 0) ++failures;
    if (r == LIBUSB_ERROR_PIPE && libusb_clear_halt(handle->usbHandle, handle->outEndpoint) != 0) {
      result = aErrIO;
    }
  }
  if (sent < length) result = aErrWrite;
  return sTolerate(handle, result, aErrNone);
}

aErr qfusb_write_to_kernel_device(qfusb_device* handle, const char* data, size_t length) {
  if (!handle) return aErrParam;
  if (handle->mode != QFUSB_MODE_KERNEL || handle->descriptor < 0) return aErrMode;
  if (!data && length > 0) return aErrParam;
  size_t sent = 0;
  int fullWaits = 0;
  for (int call = 0; call < sMAX_KERNEL_WRITES && sent < length; ++call) {
    ssize_t n = write(handle->descriptor, data + sent, length - sent);
    if (n > 0) {
      sent += size_t(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      // The node is non-blocking: wait for room instead of spinning, and give up as a libusb
      // write would when the module takes nothing for ten waits in a row.
      pollfd watch = {handle->descriptor, POLLOUT, 0};
      if (poll(&watch, 1, QFUSB_WRITE_TIMEOUT_MS) == 0 && ++fullWaits >= sMAX_WRITE_FAILURES) break;
    } else if (n < 0) {
      return aErrIO;
    }
  }
  return sent < length ? aErrIO : aErrNone;
}

aErr qfusb_get_from_device(qfusb_device* handle, char* byte) {
  if (!handle) return aErrParam;
  return handle->mode == QFUSB_MODE_LIBUSB ? qfusb_get_from_USBlib_device(handle, byte)
                                           : qfusb_get_from_kernel_device(handle, byte);
}

aErr qfusb_get_from_USBlib_device(qfusb_device* handle, char* byte) {
  if (!handle || !byte) return aErrParam;
  if (handle->mode != QFUSB_MODE_LIBUSB) return aErrMode;
  if (handle->available > 0) return sTolerate(handle, sDeliver(handle, byte), aErrNotReady);
  if (handle->state == QFUSB_STATE_FAILED) return aErrIO;
  aErr result = sStateResult(handle);
  if (result == aErrNone) {
    switch (sFetchInput(handle, QFUSB_GET_TIMEOUT_MS)) {
      case sFetch::Bytes:
        result = sDeliver(handle, byte);
        break;
      case sFetch::TimedOut:
      case sFetch::Nothing:
        result = aErrNotReady;
        break;
      case sFetch::Failed:
        result = aErrIO;
        break;
    }
  }
  return sTolerate(handle, result, aErrNotReady);
}

aErr qfusb_get_from_kernel_device(qfusb_device* handle, char* byte) {
  if (!handle || !byte) return aErrParam;
  if (handle->mode != QFUSB_MODE_KERNEL || handle->descriptor < 0) return aErrMode;
  ssize_t n = read(handle->descriptor, byte, 1);
  if (n == 1) return aErrNone;
  if (n == 0) return aErrNotReady;
  return errno == EFAULT || errno == EAGAIN || errno == EINTR ? aErrNotReady : aErrIO;
}

aErr qfusb_wait_for_input(qfusb_device* handle, uint32_t timeoutMs) {
  if (!handle) return aErrParam;
  if (handle->mode == QFUSB_MODE_LIBUSB) return sWaitLibusb(handle, timeoutMs);
  if (handle->descriptor < 0) return aErrNone;  // get answers at once
  return sWaitKernel(handle, timeoutMs);
}

aErr qfusb_close_quillfern_device(qfusb_device* handle) {
  if (!handle) return aErrParam;
  return handle->mode == QFUSB_MODE_LIBUSB ? qfusb_close_quillfern_USBlib_device(handle)
                                           : qfusb_close_quillfern_kernel_device(handle);
}

aErr qfusb_close_quillfern_USBlib_device(qfusb_device* handle) {
  if (!handle) return aErrParam;
  if (handle->mode != QFUSB_MODE_LIBUSB || !handle->usbHandle) return aErrMode;
  libusb_release_interface(handle->usbHandle, handle->interface);
  libusb_close(handle->usbHandle);
  Quillfern_libusb_handle_closed();
  handle->usbHandle = nullptr;
  handle->interface = 0;
  handle->inEndpoint = 0;
  handle->outEndpoint = 0;
  handle->available = 0;
  handle->state = QFUSB_STATE_CLOSED;
  return aErrNone;
}

aErr qfusb_close_quillfern_kernel_device(qfusb_device* handle) {
  if (!handle) return aErrParam;
  if (handle->mode != QFUSB_MODE_KERNEL) return aErrMode;
  if (handle->descriptor < 0) return aErrNone;
  if (close(handle->descriptor) != 0) return aErrCancel;
  handle->descriptor = -1;
  handle->state = QFUSB_STATE_CLOSED;
  return aErrNone;
}

aErr qfusb_set_kernel_node_format(const char* format) {
  if (!format) {
    sNodeFormat = QFUSB_DEFAULT_NODE_FORMAT;
    return aErrNone;
  }
  std::string text = format;
  size_t at = text.find(sNODE_PLACEHOLDER);
  if (at == std::string::npos || text.find('%', at + 1) != std::string::npos || text.find('%') != at) {
    return aErrParam;
  }
  sNodeFormat = text;
  return aErrNone;
}

bool qfusbDescriptors::findEndpoints(const libusb_config_descriptor& config, const PacketSize& packetSize,
                                     ModuleEndpoints* found) {
  bool in = false, out = false;
  for (int i = 0; i < config.bNumInterfaces; ++i) {
    const libusb_interface& interface = config.interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor& setting = interface.altsetting[a];
      if (setting.bInterfaceClass != QFUSB_INTERFACE_CLASS || setting.bInterfaceSubClass != QFUSB_INTERFACE_SUBCLASS ||
          setting.bInterfaceProtocol != QFUSB_INTERFACE_PROTOCOL) {
        continue;
      }
      found->interface = setting.bInterfaceNumber;
      for (int e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        const int size = packetSize(endpoint.bEndpointAddress);
        if (!(endpoint.bmAttributes & 0x02) || size <= 0) continue;
        if (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
          found->inEndpoint = endpoint.bEndpointAddress;
          found->inPacketSize = uint16_t(size);
          in = true;
        } else {
          found->outEndpoint = endpoint.bEndpointAddress;
          found->outPacketSize = uint16_t(size);
          out = true;
        }
      }
    }
  }
  return in && out;
}

// Serial numbers are compared by value, so a module that writes its hexadecimal digits in lower
// case is the same module that discovery lists; any other text must match exactly, to its length
// as read (a string holding a NUL is not the text before it, which discovery would not list).
bool qfusbDescriptors::sameSerial(const char* found, size_t length, const char* wanted) {
  const size_t wantedLength = std::strlen(wanted);
  uint32_t foundValue = 0, wantedValue = 0;
  if (aDiscovery_ParseUSBSerial(found, length, &foundValue) &&
      aDiscovery_ParseUSBSerial(wanted, wantedLength, &wantedValue))
    return foundValue == wantedValue;
  return length == wantedLength && std::memcmp(found, wanted, length) == 0;
}
