// How the maker's modules identify themselves on USB. Shared by the USB driver layer, USB
// discovery and the test fixtures that fake such modules, so that all of them agree on one value.
#pragma once

#include <cstdint>

// The maker's USB vendor id.
inline constexpr uint16_t QFUSB_VENDOR_ID = 0xE3A1;

// Module product ids lie below this value; the low byte of a module's product id is its model code.
inline constexpr uint16_t QFUSB_PRODUCT_ID_LIMIT = 0x8000;

// The module's vendor-specific interface, which carries one bulk IN and one bulk OUT endpoint.
inline constexpr uint8_t QFUSB_INTERFACE_CLASS = 0xFF;
inline constexpr uint8_t QFUSB_INTERFACE_SUBCLASS = 0x88;
inline constexpr uint8_t QFUSB_INTERFACE_PROTOCOL = 0x10;

// True for the vendor and product ids of one of the maker's modules.
inline constexpr bool qfusb_is_module_id(uint16_t vendorId, uint16_t productId) {
  return vendorId == QFUSB_VENDOR_ID && productId < QFUSB_PRODUCT_ID_LIMIT;
}
