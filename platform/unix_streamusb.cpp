#include "common/aTransports.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "platform/qfusb_driver.h"

namespace {

constexpr uint16_t sUSB_STREAM_CHECK = 0xDEAD;

struct sUSBStream {
  uint32_t serialNumber;
  qfusb_device* device;
  uint16_t check;
};

sUSBStream* sRecord(void* ref) {
  sUSBStream* record = static_cast<sUSBStream*>(ref);
  return record && record->check == sUSB_STREAM_CHECK ? record : nullptr;
}

aErr sUSBStreamGet(char* byte, void* ref) {
  sUSBStream* record = sRecord(ref);
  return record ? qfusb_get_from_device(record->device, byte) : aErrParam;
}

aErr sUSBStreamWrite(const char* data, size_t length, void* ref) {
  sUSBStream* record = sRecord(ref);
  return record ? qfusb_write_to_device(record->device, data, length) : aErrParam;
}

aErr sUSBStreamPut(const char* byte, void* ref) { return sUSBStreamWrite(byte, 1, ref); }

aErr sUSBStreamWait(uint32_t timeoutMs, void* ref) {
  sUSBStream* record = sRecord(ref);
  return record ? qfusb_wait_for_input(record->device, timeoutMs) : aErrParam;
}

// Closes and frees the device and the record. A failing close is reported, but the record goes
// all the same: the stream that owned it is gone, and nobody else could free it.
aErr sUSBStreamDelete(void* ref) {
  sUSBStream* record = sRecord(ref);
  if (!record) return aErrParam;
  aErr result = qfusb_close_quillfern_device(record->device);
  qfusb_destroy(&record->device);
  std::memset(record, 0, sizeof *record);
  delete record;
  return result;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** stream) {
  if (!stream || serialNumber == 0) return aErrParam;
  *stream = nullptr;
  // The kernel driver's node decides the mode; with it, libusb is never touched.
  bool kernel = qfusb_is_kernel_driver_installed(serialNumber);
  sUSBStream* record = new (std::nothrow) sUSBStream{serialNumber, nullptr, sUSB_STREAM_CHECK};
  if (!record) return aErrMemory;
  char serial[16];
  std::snprintf(serial, sizeof serial, "%08X", serialNumber);
  record->device = qfusb_create_usb(kernel ? QFUSB_MODE_KERNEL : QFUSB_MODE_LIBUSB);
  aErr result = record->device ? qfusb_open_quillfern_device(record->device, serial) : aErrResource;
  aStream* made = nullptr;
  if (result == aErrNone) {
    made = aStream_Create(sUSBStreamGet, sUSBStreamPut, sUSBStreamWrite, sUSBStreamDelete, record);
    if (!made) result = aErrMemory;
  }
  if (result != aErrNone) {
    if (record->device) qfusb_destroy(&record->device);
    delete record;
    return result;
  }
  aStream_SetWaitProc(made, sUSBStreamWait);
  *stream = made;
  return aErrNone;
}
