// The USB driver layer: opens one of the maker's modules by its serial-number text and moves
// bytes to and from it, either through libusb (the module's vendor-specific interface with one
// bulk IN and one bulk OUT endpoint) or, where the maker's kernel driver is installed, through
// that driver's character device. Nothing here prints.
//
// Every operation on a handle dispatches by the handle's mode; a mode-specific variant called on
// a handle of the other mode is refused (aErrMode). The creator owns a handle and ends it with
// qfusb_destroy.
//
// libusb mode hides short runs of input/output errors: the first four aErrIO results in a row
// (reads and writes share the count) are reported as "nothing happened" (a read: aErrNotReady,
// no byte; a write: aErrNone); the fifth fails the handle, and from then on every read and write
// gives aErrIO until the handle is closed and a new one opened. Stalls are cleared and reported as
// no data; any other result resets the count.
//
// Threads: one reader thread (get, wait) and one writer thread (write) may use a handle at the
// same time; bulk IN and OUT transfers run concurrently. Opening, closing and destroying need
// the handle to themselves.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/aError.h"

enum : int32_t {
  QFUSB_MODE_KERNEL = 0,  // through the kernel driver's device node
  QFUSB_MODE_LIBUSB = 1,  // through libusb
};

// Handle states.
enum : int32_t {
  QFUSB_STATE_CREATED = 1,
  QFUSB_STATE_CLOSED = 2,
  QFUSB_STATE_OPENING = 3,
  QFUSB_STATE_OPEN = 4,
  QFUSB_STATE_FAILED = 5,
};

// Longest serial-number text a handle keeps, in characters.
#define QFUSB_MAX_SERIAL 255

// Bytes a libusb read fetches per bulk IN transfer (delivered one per get).
#define QFUSB_READ_BUFFER_SIZE 1024

// Time-outs of one bulk transfer, in milliseconds: the longest a wait for input lasts in one
// transfer, the short look a get takes when its buffer is empty (a get must not hold up a
// reader that is asked to stop), and a write's chunk.
#define QFUSB_READ_TIMEOUT_MS 1000
#define QFUSB_GET_TIMEOUT_MS 10
#define QFUSB_WRITE_TIMEOUT_MS 50

typedef struct qfusb_device qfusb_device;

// A new handle of the mode (created state), or null when memory runs out. In libusb mode the
// process-wide libusb context is made if needed.
qfusb_device* qfusb_create_usb(int32_t mode);

// Closes what the handle still holds open, frees it and clears *handle.
aErr qfusb_destroy(qfusb_device** handle);

// The handle's mode and state (-1 for a null handle).
int32_t qfusb_get_mode(const qfusb_device* handle);
int32_t qfusb_get_state(const qfusb_device* handle);

// Whether the kernel driver's node for the serial number exists as a file that is not a folder.
bool qfusb_is_kernel_driver_installed(uint32_t serialNumber);

// Opens the module whose serial-number string is exactly the text: in libusb mode the first
// device in the context's list with the maker's vendor id, a module product id and that serial
// string, claiming its interface; in kernel mode the driver's node for the text. aErrNotFound
// when libusb finds no such module (also when libusb could not be initialised); aErrBusy when
// the module is held elsewhere or the handle is already open.
aErr qfusb_open_quillfern_device(qfusb_device* handle, const char* serial);
aErr qfusb_open_quillfern_USBlib_device(qfusb_device* handle, const char* serial);
aErr qfusb_open_quillfern_kernel_device(qfusb_device* handle, const char* serial);

// Sends the bytes.
// libusb mode: in chunks of at most the OUT endpoint's packet size (a chunk of exactly 512
// bytes goes as 511), each with a 50 ms time-out, advancing by what each transfer moved, until
// all is sent or ten transfers have failed. Kernel mode: ordinary writes of what remains, at
// most 1000 of them. Bytes left unsent are a failure; part of the data may have gone.
aErr qfusb_write_to_device(qfusb_device* handle, const char* data, size_t length);
aErr qfusb_write_to_USBlib_device(qfusb_device* handle, const char* data, size_t length);
aErr qfusb_write_to_kernel_device(qfusb_device* handle, const char* data, size_t length);

// Delivers one byte: aErrNone with *byte set, aErrNotReady when none is waiting.
// libusb mode: from the read buffer, refilled by one bulk IN transfer of up to 1024 bytes that
// waits at most QFUSB_GET_TIMEOUT_MS when the buffer is empty (qfusb_wait_for_input is the
// longer wait). Kernel mode: one read of one byte, which does not wait.
aErr qfusb_get_from_device(qfusb_device* handle, char* byte);
aErr qfusb_get_from_USBlib_device(qfusb_device* handle, char* byte);
aErr qfusb_get_from_kernel_device(qfusb_device* handle, char* byte);

// Waits at most timeoutMs for input (the reader's side, like get): aErrNone when get has a byte
// or will answer at once, aErrTimeout when nothing came in time, aErrIO when the handle has
// failed for good. In libusb mode the wait is one bulk IN transfer into the read buffer (at most
// 1000 ms of it); in kernel mode a poll of the node, where a hang-up (the node went away) is
// aErrIO.
aErr qfusb_wait_for_input(qfusb_device* handle, uint32_t timeoutMs);

// Closes the device: in libusb mode releases the interface and closes the device, in kernel
// mode closes the node. The handle stays, ready to be opened again or destroyed.
aErr qfusb_close_quillfern_device(qfusb_device* handle);
aErr qfusb_close_quillfern_USBlib_device(qfusb_device* handle);
aErr qfusb_close_quillfern_kernel_device(qfusb_device* handle);

// Library-internal: where the kernel driver's nodes live, as a path holding "%08X" exactly once
// (replaced by the serial number in upper-case hexadecimal, or by the serial text). The default,
// restored by null, is "/dev/quillfern.%08X"; tests point it at pseudo-terminals. A format
// without exactly one "%08X", or with any other "%", is refused. Change it only while no USB
// handle is being opened.
#define QFUSB_DEFAULT_NODE_FORMAT "/dev/quillfern.%08X"
aErr qfusb_set_kernel_node_format(const char* format);
