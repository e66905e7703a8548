// Library-internal: what the USB layer reads out of the descriptors a module sends, once libusb
// has fetched and parsed them: the module interface's endpoints, and whether a serial-number
// string names the wanted module. Kept apart from the calls that fetch the descriptors so that
// the reading can be driven on its own.
#pragma once

#include <libusb.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace qfusbDescriptors {

struct ModuleEndpoints {
  uint8_t interface = 0;
  uint8_t inEndpoint = 0;
  uint8_t outEndpoint = 0;
  uint16_t inPacketSize = 0;
  uint16_t outPacketSize = 0;
};

// The maximum packet size libusb tells for an endpoint address; 0 or less when it cannot tell.
using PacketSize = std::function<int(uint8_t endpointAddress)>;

// Looks through every alternate setting of every interface of the configuration: one with the
// module interface's class, subclass and protocol sets the interface number, and each of its
// endpoints with attribute bit 1 (bulk, and interrupt) and a packet size becomes the IN or the OUT
// endpoint by its direction; a later match replaces an earlier one. Updates *found as it goes;
// true when both an IN and an OUT endpoint were found.
bool findEndpoints(const libusb_config_descriptor& config, const PacketSize& packetSize, ModuleEndpoints* found);

// Whether the serial-number string (`length` characters as libusb read it) names the wanted
// module: by value when both are eight hexadecimal digits (either case), else exactly.
bool sameSerial(const char* found, size_t length, const char* wanted);

}  // namespace qfusbDescriptors
