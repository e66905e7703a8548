#include "platform/Quillfern-C.h"

#include <mutex>

#include "common/discover.h"

namespace {

// Guards the making and the release of the context and the count of open handles.
std::mutex _libusbContextLock;
libusb_context* _libusbContext = nullptr;
int _openHandles = 0;
Quillfern_libusb_init_proc _libusbInit = libusb_init;

}  // namespace

libusb_context* Quillfern_libusb_context() {
  std::lock_guard<std::mutex> hold(_libusbContextLock);
  if (!_libusbContext && _libusbInit(&_libusbContext) != LIBUSB_SUCCESS) _libusbContext = nullptr;
  return _libusbContext;
}

libusb_context* Quillfern_libusb_init() { return Quillfern_libusb_context(); }

void Quillfern_libusb_exit() {
  std::lock_guard<std::mutex> hold(_libusbContextLock);
  if (_libusbContext) libusb_exit(_libusbContext);
  _libusbContext = nullptr;
}

void Quillfern_libusb_set_init_proc(Quillfern_libusb_init_proc proc) {
  std::lock_guard<std::mutex> hold(_libusbContextLock);
  _libusbInit = proc ? proc : libusb_init;
}

bool Quillfern_libusb_exit_when_unused() {
  std::lock_guard<std::mutex> hold(_libusbContextLock);
  if (_openHandles > 0) return false;
  if (_libusbContext) libusb_exit(_libusbContext);
  _libusbContext = nullptr;
  return true;
}

bool aDiscovery_RefreshUSB() { return Quillfern_libusb_exit_when_unused(); }

void Quillfern_libusb_handle_opened() {
  std::lock_guard<std::mutex> hold(_libusbContextLock);
  ++_openHandles;
}

void Quillfern_libusb_handle_closed() {
  std::lock_guard<std::mutex> hold(_libusbContextLock);
  if (_openHandles > 0) --_openHandles;
}
