// The one libusb context of the process, shared by USB discovery and every USB device handle.
// It is made on first use and released only on request; the open device handles are counted.
// Every call here may come from any thread: one lock guards the context and the count.
#pragma once

#include <libusb.h>

// The process-wide context, made with libusb_init when absent. Null when libusb could not be
// initialised (the next call tries again): callers then find and open no device, and never fall
// back to libusb's default context.
libusb_context* Quillfern_libusb_context();

// The same as Quillfern_libusb_context (kept under this name for callers that "initialise").
libusb_context* Quillfern_libusb_init();

// Releases the context; the next user makes a fresh one, which sees devices that re-enumerated
// meanwhile. No USB handle or device list of the old context may be in use or used afterwards.
void Quillfern_libusb_exit();

// Releases the context as Quillfern_libusb_exit does, but only while no USB handle of it is
// open (a router module held over USB keeps it): true when it was released or there was none.
// The library's users reach it as aDiscovery_RefreshUSB (common/discover.h).
bool Quillfern_libusb_exit_when_unused();

// Library-internal: the USB driver counts the device handles it opens in the context and
// closes again, so that an unused context can be told from one in use.
void Quillfern_libusb_handle_opened();
void Quillfern_libusb_handle_closed();

// Library-internal: the procedure that makes the context (libusb_init unless replaced; null
// restores it). Lets tests see what happens when libusb cannot be initialised.
typedef int (*Quillfern_libusb_init_proc)(libusb_context** context);
void Quillfern_libusb_set_init_proc(Quillfern_libusb_init_proc proc);
